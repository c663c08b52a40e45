#!/usr/bin/env python3
"""Real HTTP clients through the proxy host with the Nuv plug-in, to an origin on 127.0.0.1.

A protected user is signed in to the host's session with a blocked-sites list, the adult category
blocked and safe search on; the reputation stand-in (ctest's fixture) classifies. Every case says
what a person at the browser would see: the block page, the page unchanged, the safe search.

Usage: proxy_e2e.py <build folder> [--browser SCREENSHOT.png]
"""

import argparse
import concurrent.futures
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import proxyenv  # noqa: E402
import hostile_clients  # noqa: E402

BLOCK_PAGE_TEXT = b'class="blocked"'
UNIQUE = f"{os.getpid()}-{int(time.time())}"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def curl(proxy, url, *extra, via_proxy=True):
    """(status, headers text, body bytes) of one curl fetch."""
    try:
        return proxyenv.curl(url, *extra, proxy_port=proxy.port if via_proxy else None)
    except RuntimeError as error:
        raise Failure(str(error))


header = proxyenv.header
origin_records = proxyenv.origin_records
reputation_records = proxyenv.reputation_records


def origin_saw(origin, host):
    return [r for r in origin_records(origin) if (r.get("host") or "").split(":")[0] == host
            or f"//{host}/" in r.get("target", "")]


def direct(origin, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{origin.port}{path}", timeout=30) as answer:
        return answer.read()


def read_response(reader):
    """One response with a Content-Length, as raw bytes."""
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        line = reader.readline()
        check(line, "the connection closed in a header block")
        head += line
    length = [int(line.split(b":")[1]) for line in head.split(b"\r\n") if line.lower().startswith(b"content-length:")]
    check(length, f"no Content-Length in {head!r}")
    body = reader.read(length[0])
    check(len(body) == length[0], "the connection closed in a body")
    return head + body


def expect_block_page(status, head, body, what):
    check(status == 200, f"{what}: status {status}")
    check(header(head, "Content-Length") == str(len(body)),
          f"{what}: Content-Length {header(head, 'Content-Length')} for {len(body)} bytes")
    check((header(head, "Content-Type") or "").startswith("text/html"), f"{what}: {header(head, 'Content-Type')}")
    check(BLOCK_PAGE_TEXT in body, f"{what}: not the block page: {body[:200]!r}")


# -- cases ----------------------------------------------------------------------------------------

def blocked_list_site(env, origin, proxy):
    origin_records(origin, clear=True)
    status, head, body = curl(proxy, "http://blocked.test/page")
    expect_block_page(status, head, body, "explicit proxy")
    # A client sent to the host without knowing it (origin-form and a Host header).
    status, head, body = curl(proxy, f"http://127.0.0.1:{proxy.port}/page", "-H", "Host: blocked.test",
                              via_proxy=False)
    expect_block_page(status, head, body, "transparent")
    check(not origin_saw(origin, "blocked.test"), "the origin saw the blocked request")
    return f"block page, {len(body)} bytes; the origin saw nothing"


def blocked_category(env, origin, proxy):
    path = f"/adult-{UNIQUE}.html"
    key = "adult.test" + path
    status, head, body = curl(proxy, "http://adult.test" + path)
    expect_block_page(status, head, body, "first fetch")
    first = len(reputation_records(env, key))
    check(first == 1, f"{first} reputation requests for {key} after the first fetch")
    status, head, body = curl(proxy, "http://adult.test" + path)
    expect_block_page(status, head, body, "second fetch")
    second = len(reputation_records(env, key))
    check(second == 1, f"the second fetch asked the reputation service again ({second} requests)")
    check(not origin_saw(origin, "adult.test"), "the origin saw the blocked request")
    return "blocked after one reputation request; the second fetch used the cache"


def allowed_pages(env, origin, proxy):
    figures = []
    for path, raw in (("/page", False), ("/big", False), ("/big.html", False), ("/chunked", True)):
        extra = ("--raw",) if raw else ()
        status, head, body = curl(proxy, "http://allowed.test" + path, *extra)
        _, _, expected = curl(proxy, f"http://127.0.0.1:{origin.port}{path}", *extra, via_proxy=False)
        check(status == 200, f"{path}: status {status}")
        check(body == expected, f"{path}: {len(body)} bytes differ from the origin's {len(expected)}")
        if raw:
            check(header(head, "Transfer-Encoding") == "chunked", f"{path}: not chunked through the proxy")
        figures.append(f"{path} {len(body)} B")
    return "byte-identical: " + ", ".join(figures)


def safe_search(env, origin, proxy):
    origin_records(origin, clear=True)
    status, _, body = curl(proxy, "http://www.finder.example/search?q=kittens")
    check(status == 200, f"status {status}")
    seen = [r["target"] for r in origin_records(origin) if "/search" in r["target"]]
    check(len(seen) == 1 and "safe=active" in seen[0], f"the origin got {seen}")
    check(b"safe=active" in body, "the page does not show the forced parameter")
    return f"the origin got {seen[0]}"


def pipelined_block(env, origin, proxy):
    origin_records(origin, clear=True)
    requests = (b"GET /page HTTP/1.1\r\nHost: allowed.test\r\n\r\n"
                b"GET /page HTTP/1.1\r\nHost: blocked.test\r\n\r\n")
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as client:
        client.sendall(requests)
        reader = client.makefile("rb")
        received = read_response(reader) + read_response(reader)
    page = direct(origin, "/page")
    check(received.count(b"HTTP/1.1 200") == 2, f"two answers expected: {received[:300]!r}")
    check(page in received, "the allowed page is missing")
    check(received.index(page) < received.index(BLOCK_PAGE_TEXT), "the answers are out of order")
    check(not origin_saw(origin, "blocked.test"), "the pipelined blocked request reached the origin")
    check(len(origin_saw(origin, "allowed.test")) == 1, "the allowed request did not reach the origin once")
    return "the allowed page, then the block page; the origin saw only the allowed request"


def large_post(env, origin, proxy):
    body = os.urandom(5 * 1024 * 1024 + 123)
    with tempfile.NamedTemporaryFile() as upload:
        upload.write(body)
        upload.flush()
        status, _, answer = curl(proxy, "http://allowed.test/upload", "--data-binary", "@" + upload.name,
                                 "-H", "Content-Type: application/octet-stream")
    check(status == 200, f"status {status}")
    expected = f"{len(body)} {proxyenv.sha256(body)}".encode()
    check(answer.strip() == expected, f"the origin got {answer[:100]!r}, expected {expected!r}")
    return f"{len(body)} bytes arrived intact"


def parallel_connections(env, origin, proxy, count=200):
    page = direct(origin, "/page")

    def fetch(index):
        with socket.create_connection(("127.0.0.1", proxy.port), timeout=60) as client:
            client.sendall(b"GET /page HTTP/1.1\r\nHost: allowed.test\r\nConnection: close\r\n\r\n")
            received = b""
            while True:
                data = client.recv(65536)
                if not data:
                    return received
                received += data

    with concurrent.futures.ThreadPoolExecutor(count) as pool:
        answers = list(pool.map(fetch, range(count)))
    complete = sum(1 for answer in answers if answer.startswith(b"HTTP/1.1 200") and answer.endswith(page))
    check(complete == count, f"{complete} of {count} connections got the page")
    return f"{count} of {count} connections complete"


def settings_change(env, origin, proxy):
    url = "http://later.test/page"
    status, _, body = curl(proxy, url)
    check(status == 200 and BLOCK_PAGE_TEXT not in body, "not blocked before the change")
    # The parent edits the child's blocked sites; the service tells the plug-in.
    proxy.configure("setting child 313 text " + " ".join(BLOCKED_SITES + ["later.test"]), "event changed")
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        status, head, body = curl(proxy, url)
        if BLOCK_PAGE_TEXT in body:
            expect_block_page(status, head, body, "after the change")
            return "blocked once the configuration service announced the change"
        time.sleep(0.2)
    raise Failure("still not blocked 15 s after the change")


def week_blocking_now(minutes=15):
    """A week (one character per five minutes from Sunday 00:00) blocking the coming minutes."""
    now = time.localtime()
    first = ((now.tm_wday + 1) % 7) * 288 + now.tm_hour * 12 + now.tm_min // 5
    week = ["1"] * 2016
    for block in range(first, first + minutes // 5 + 1):
        week[block % 2016] = "0"
    return "".join(week)


def poll(what, probe, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if probe():
            return
        time.sleep(0.3)
    raise Failure(f"{what} within {seconds} s")


def time_limit(env, origin):
    """A user whose week blocks the present: failed connections, and the firewall rule."""
    state = proxyenv.protected_user_state(["blocked.test"]) + f"setting child 210 text {week_blocking_now()}\n"
    proxy = env.start_proxy(state, upstream=f"127.0.0.1:{origin.port}", name="e2e-time")

    def fetch_fails():
        try:
            curl(proxy, "http://allowed.test/page")
            return False
        except Failure:
            return True

    def rule_users():
        try:
            text = open(proxy.firewall_state).read()
        except OSError:
            return None
        rules = [line for line in text.splitlines() if line.startswith("rule ") and "VYX Time Restriction" in line]
        return rules[0].split("| users")[1].split("|")[0].split() if rules else []

    try:
        poll("the blocked week did not fail the connections", fetch_fails)
        users = rule_users()
        check(users, f"no user in the firewall's time-restriction rule: {users}")
        # The parent allows the whole week; the service tells the plug-in.
        proxy.configure("setting child 210 text " + "1" * 2016, "event changed")
        poll("the allowed week did not let the connections through", lambda: not fetch_fails())
        poll("the firewall rule was not lifted", lambda: rule_users() in (None, []))
        return f"failed connections while blocked (rule users {' '.join(users)}), through again once allowed"
    finally:
        proxy.stop()
        env.processes.remove(proxy)


# -- CONNECT tunnels: the CONNECT, the host's answer and the requests inside go through the plug-in

def open_tunnel(proxy, authority):
    """A client socket through the proxy whose CONNECT was answered 200, and its reader."""
    client = socket.create_connection(("127.0.0.1", proxy.port), timeout=30)
    client.sendall(f"CONNECT {authority} HTTP/1.1\r\nHost: {authority}\r\n\r\n".encode())
    reader = client.makefile("rb")
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        line = reader.readline()
        check(line, f"CONNECT {authority}: the connection closed after {head!r}")
        head += line
    check(head.startswith(b"HTTP/1.1 200 "), f"CONNECT {authority}: {head!r}")
    return client, reader


def get_through_tunnel(proxy, authority, host):
    client, reader = open_tunnel(proxy, authority)
    with client, reader:
        client.sendall(f"GET /page HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        return read_response(reader)


def connect_tunnel(env, origin, proxy):
    authority = f"127.0.0.1:{origin.port}"
    page = direct(origin, "/page")
    routed = env.start_proxy(proxyenv.protected_user_state(["blocked.test"]), name="e2e-connect")
    try:
        for label, through in (("with --upstream", proxy), ("routed to the authority", routed)):
            answer = get_through_tunnel(through, authority, "allowed.test")
            check(answer.startswith(b"HTTP/1.1 200") and answer.split(b"\r\n\r\n", 1)[1] == page,
                  f"{label}: the allowed page through the tunnel differs: {answer[:200]!r}")
        for label, through in (("with --upstream", proxy), ("routed to the authority", routed)):
            origin_records(origin, clear=True)
            answer = get_through_tunnel(through, authority, "blocked.test")
            check(BLOCK_PAGE_TEXT in answer, f"{label}: a blocked site inside the tunnel got {answer[:200]!r}")
            check(not origin_saw(origin, "blocked.test"), f"{label}: the origin saw the blocked request")
    finally:
        routed.stop()
        env.processes.remove(routed)
    return "allowed page byte-identical and blocked site's block page inside tunnels, with and without --upstream"


BLOCKED_SITES = ["blocked.test"] + hostile_clients.BLOCKED_SITES

CURL_CASES = [blocked_list_site, blocked_category, allowed_pages, safe_search, pipelined_block, large_post,
              parallel_connections, *hostile_clients.CASES, settings_change, connect_tunnel]


def browser(env, origin, proxy, screenshot):
    os.makedirs(os.path.dirname(screenshot), exist_ok=True)
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browse_with_chromium.py")
    result = subprocess.run([sys.executable, script, "--proxy", f"127.0.0.1:{proxy.port}",
                             "--page", "http://allowed.test/page", "Origin page",
                             "--page", "http://blocked.test/page", "Blocked: on the blocked list",
                             "--screenshot-of", "http://blocked.test/page", "--screenshot", screenshot],
                            capture_output=True, text=True, timeout=600)
    print(result.stdout, end="")
    check(result.returncode == 0, "the browser's pages are not as expected: " + result.stderr[-2000:])
    return f"screenshot of the block page in {screenshot}"


def plugin_log_tail(env, lines=60):
    folder = env.drive_c("ProgramData", "Oberix", "QVLOGS", "Nuv", "Nuv")
    try:
        newest = max((os.path.join(folder, name) for name in os.listdir(folder) if name.endswith(".log")),
                     key=os.path.getmtime)
        text = open(newest, "rb").read().decode("utf-16-le", "replace")
    except (OSError, ValueError):
        return "(none)"
    return "\n".join(text.splitlines()[-lines:])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--browser", metavar="SCREENSHOT")
    args = parser.parse_args()
    env = proxyenv.prepared_env(args.build)
    if env is None:
        return 1
    failures = 0
    try:
        origin = env.start_origin()
        proxy = env.start_proxy(proxyenv.protected_user_state(BLOCKED_SITES),
                                upstream=f"127.0.0.1:{origin.port}", name="e2e-browser" if args.browser else "e2e")
        cases = [lambda e, o, p: browser(e, o, p, os.path.abspath(args.browser))] if args.browser else CURL_CASES
        names = ["browser"] if args.browser else [case.__name__ for case in CURL_CASES]
        if not args.browser:
            names.append("time_limit")
            cases.append(lambda e, o, p: time_limit(e, o))
        for name, case in zip(names, cases):
            start = time.monotonic()
            try:
                print(f"ok   {name}: {case(env, origin, proxy)} ({time.monotonic() - start:.1f} s)", flush=True)
            except Exception as error:  # a failed case must not hide the others
                failures += 1
                print(f"FAIL {name}: {error}", flush=True)
    finally:
        code = None
        for process in list(env.processes):
            if process.name.startswith("e2e"):
                code = process.stop()
        env.stop_all()
        if failures:
            print("proxy host log:\n" + open(os.path.join(env.work, ("e2e-browser" if args.browser else "e2e") + ".log"),
                                             errors="replace").read()[-3000:])
            print("plug-in log (last lines):\n" + plugin_log_tail(env))
    if code not in (0, None):
        print(f"FAIL the proxy host exited with {code}")
        failures += 1
    print(f"{failures} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
