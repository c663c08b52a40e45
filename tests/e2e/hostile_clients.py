"""Requests for blocked sites written as a hostile client writes them, through the proxy host with
the plug-in: each is judged like any request (block page) or ends the connection at once, and the
origin never sees it. Clients that cost the host: a header sent one byte per segment, hundreds of
connections that send nothing. Used by proxy_e2e.py, whose protected user has BLOCKED_SITES as
blocked list.
"""

import selectors
import socket
import threading
import time
import urllib.request

import proxyenv

BLOCK_PAGE_TEXT = b'class="blocked"'
# The blocked-sites list these cases need besides "blocked.test".
BLOCKED_SITES = ["allowed.test/banned/page.html", "127.0.0.2"]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def exchange(proxy, data, seconds=15):
    """Sends data on a new connection and reads until the host closes it (or the time is up):
    (bytes received, whether the connection ended, seconds taken)."""
    start = time.monotonic()
    received = b""
    ended = False
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=seconds) as client:
        client.sendall(data)
        client.settimeout(0.5)
        while time.monotonic() - start < seconds:
            try:
                chunk = client.recv(65536)
            except socket.timeout:
                continue
            except ConnectionResetError:
                ended = True
                break
            if not chunk:
                ended = True
                break
            received += chunk
    return received, ended, time.monotonic() - start


def saw(origin, marker):
    """The origin's records whose target or host holds the marker."""
    return [r for r in proxyenv.origin_records(origin)
            if marker in r.get("target", "") or marker in (r.get("host") or "")]


def expect_blocked(origin, proxy, request, marker, what):
    received, ended, _ = exchange(proxy, request)
    check(BLOCK_PAGE_TEXT in received, f"{what}: no block page: {received[:200]!r}")
    check(ended, f"{what}: the connection stayed open after the block page")
    check(not saw(origin, marker), f"{what}: the origin saw the request")


def expect_ended(origin, proxy, request, marker, what):
    received, ended, took = exchange(proxy, request)
    check(ended and took < 5, f"{what}: the connection did not end at once ({took:.1f} s)")
    check(b"HTTP/" not in received, f"{what}: answered: {received[:200]!r}")
    check(not saw(origin, marker), f"{what}: the origin saw the request")
    return took


def request_line_forms(env, origin, proxy):
    """A TAB after the method, the special method's line, a NUL in the method."""
    expect_blocked(origin, proxy, b"GET\thttp://blocked.test/tab-form HTTP/1.1\r\nHost: blocked.test\r\n\r\n",
                   "tab-form", "TAB after the method")
    expect_blocked(origin, proxy, b"X-AOLIAC /aoliac-form HTTP/1.1\r\nHost: blocked.test\r\n\r\n",
                   "aoliac-form", "special-method line")
    expect_ended(origin, proxy, b"G\0ET http://blocked.test/nul-form HTTP/1.1\r\nHost: blocked.test\r\n\r\n",
                 "nul-form", "NUL in the method")
    return "TAB and special method judged (block page); NUL in the method ends the connection"


def refused_framing(env, origin, proxy):
    took = expect_ended(origin, proxy,
                        b"POST /framing-te-cl HTTP/1.1\r\nHost: allowed.test\r\nContent-Length: 4\r\n"
                        b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
                        "framing-te-cl", "Transfer-Encoding with Content-Length")
    return f"the client's connection ended after {took:.2f} s, nothing reached the origin"


def site_spellings(env, origin, proxy):
    """Spellings of listed sites that servers decode: a long host, escapes, dot segments, an IPv4
    literal as one number."""
    long_host = "a" * 285 + ".blocked.test"
    expect_blocked(origin, proxy, f"GET http://{long_host}/long HTTP/1.1\r\nHost: {long_host}\r\n\r\n".encode(),
                   "aaaaaaaa.blocked.test", f"a {len(long_host)}-character host under a blocked domain")
    expect_blocked(origin, proxy, b"GET /escaped-host HTTP/1.1\r\nHost: %62locked.test\r\n\r\n",
                   "escaped-host", "percent-encoded host")
    expect_blocked(origin, proxy, b"GET /%62anned/page.html?escaped HTTP/1.1\r\nHost: allowed.test\r\n\r\n",
                   "escaped", "percent-encoded path")
    expect_blocked(origin, proxy, b"GET /x/../banned/page.html?dots HTTP/1.1\r\nHost: allowed.test\r\n\r\n",
                   "dots", "dot segments")
    expect_blocked(origin, proxy, b"GET http://2130706434/decimal HTTP/1.1\r\nHost: 2130706434\r\n\r\n",
                   "decimal", "decimal IPv4 literal of a listed address")
    return "long host, escaped host and path, dot segments and a decimal address: all blocked"


def request_without_host(env, origin, proxy):
    took = expect_ended(origin, proxy, b"GET /no-host-at-all HTTP/1.0\r\n\r\n", "no-host-at-all", "no Host")
    return f"refused: the connection ended after {took:.2f} s"


def pipelined_after_block(env, origin, proxy, count=1000):
    """Every tenth of many pipelined requests is blocked: the answers up to the first block, the
    block page, then the connection closes."""
    requests = b"".join(
        f"GET /pipe-{i}/ HTTP/1.1\r\nHost: {'blocked.test' if i % 10 == 9 else 'allowed.test'}\r\n\r\n".encode()
        for i in range(count))
    received, ended, took = exchange(proxy, requests, seconds=30)
    check(ended, f"the connection stayed open ({len(received)} bytes in {took:.1f} s)")
    answers = received.count(b"HTTP/1.1 200")
    check(answers == 10, f"{answers} answers instead of the nine pages and the block page")
    check(received.rstrip().endswith(b"</html>") and BLOCK_PAGE_TEXT in received, "the block page is not last")
    reached = [r for r in proxyenv.origin_records(origin) if "/pipe-" in r.get("target", "")]
    check(len(reached) == 9, f"the origin saw {len(reached)} of the pipelined requests")
    return f"9 pages, the block page, then the close after {took:.2f} s; the origin saw 9 requests"


def lost_framing_then_block(env, origin, proxy):
    """A response whose framing is lost, with a blocked request pipelined behind its request."""
    requests = (b"GET /broken-chunked HTTP/1.1\r\nHost: allowed.test\r\n\r\n"
                b"GET /after-broken HTTP/1.1\r\nHost: blocked.test\r\n\r\n")
    received, ended, took = exchange(proxy, requests)
    check(b"hello" in received, f"the part released before the fault is missing: {received[:200]!r}")
    check(BLOCK_PAGE_TEXT in received, f"no block page: {received[-300:]!r}")
    check(b"not a chunk" not in received, "the unframed rest reached the client")
    check(ended, f"the connection stayed open ({took:.1f} s)")
    check(not saw(origin, "after-broken"), "the origin saw the blocked request")
    return f"the released part, the block page, then the close after {took:.2f} s"


def host_memory_kib(proxy):
    """The host's private memory in KiB: the anonymous resident memory of its Wine process."""
    with open(f"/proc/{proxy.pid}/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    raise Failure(f"no RssAnon for process {proxy.pid}")


def one_byte_segments(env, origin, proxy, padding=600, most_growth_kib=4096):
    """A header sent one byte per segment, which the plug-in holds until it is whole: answered, and
    each byte costs the host its byte and its bookkeeping, not a receive buffer (about 50 KiB each
    under Wine once, some 30 MiB here). A host of its own: a fresh heap shows what the held packets
    take."""
    request = (b"GET /page HTTP/1.1\r\nHost: allowed.test\r\nX-Slow: " + b"s" * padding +
               b"\r\nConnection: close\r\n\r\n")
    page = urllib.request.urlopen(f"http://127.0.0.1:{origin.port}/page", timeout=30).read()
    host = env.start_proxy(proxyenv.protected_user_state(BLOCKED_SITES), upstream=f"127.0.0.1:{origin.port}",
                           name="e2e-slow")
    try:
        # The paths a request takes are paged in before the count starts.
        received, _, _ = exchange(host, b"GET /page HTTP/1.1\r\nHost: allowed.test\r\nConnection: close\r\n\r\n")
        check(received.endswith(page), f"the first request was not answered: {received[:200]!r}")
        with socket.create_connection(("127.0.0.1", host.port), timeout=30) as client:
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            before = host_memory_kib(host)
            # All but the blank line: the header is not whole yet, every packet is still held.
            for byte in request[:-2]:
                client.send(bytes([byte]))
                time.sleep(0.001)
            grown = host_memory_kib(host) - before
            client.sendall(request[-2:])
            received = b""
            while chunk := client.recv(65536):
                received += chunk
    finally:
        host.stop()
        env.processes.remove(host)
    check(received.startswith(b"HTTP/1.1 200") and received.endswith(page),
          f"the slow request was not answered with the page: {received[:200]!r}")
    check(grown <= most_growth_kib,
          f"the host grew by {grown} KiB while holding a {len(request)}-byte header sent byte by byte")
    return f"answered; the host grew by {grown} KiB holding {len(request) - 2} one-byte packets"


class CountingOrigin:
    """A server that counts the connections it accepts and answers each one's request with a page."""

    PAGE = b"<html><body><p>counted</p></body></html>\n"

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=1024)
        self.port = self.listener.getsockname()[1]
        self.accepted = 0
        self.lock = threading.Lock()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.accepted += 1
            threading.Thread(target=self._answer, args=(connection,), daemon=True).start()

    def _answer(self, connection):
        with connection:
            connection.settimeout(30)
            data = b""
            try:
                while b"\r\n\r\n" not in data:
                    chunk = connection.recv(4096)
                    if not chunk:
                        return
                    data += chunk
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                                   b"Connection: close\r\n\r\n%s" % (len(self.PAGE), self.PAGE))
            except OSError:
                return

    def close(self):
        # Wakes the accepting thread.
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()


def idle_clients(env, origin, proxy, count=300, idle_timeout_ms=3000, bound=10):
    """Hundreds of clients that connect and send nothing, to a host with a short idle time-out and a
    fixed upstream: no upstream connection for them, an allowed request still answered, and every
    idle client cut once the time-out has passed."""
    counting = CountingOrigin()
    try:
        host = env.start_proxy(proxyenv.protected_user_state(BLOCKED_SITES), upstream=f"127.0.0.1:{counting.port}",
                               name="e2e-idle", idle_timeout_ms=idle_timeout_ms)
    except Exception:
        counting.close()
        raise
    idle = []
    try:
        opened = time.monotonic()
        for _ in range(count):
            idle.append(socket.create_connection(("127.0.0.1", host.port), timeout=30))
        start = time.monotonic()
        received, ended, took = exchange(host, b"GET /page HTTP/1.1\r\nHost: allowed.test\r\nConnection: close\r\n\r\n",
                                         seconds=bound)
        check(ended and received.startswith(b"HTTP/1.1 200") and received.endswith(CountingOrigin.PAGE),
              f"the allowed request beside {count} idle clients: {received[:200]!r} after {took:.1f} s")
        answered = time.monotonic() - start
        check(counting.accepted == 1,
              f"the origin accepted {counting.accepted} connections: the idle clients opened upstream connections")

        # Each idle client gets its end once the time-out has passed.
        selector = selectors.DefaultSelector()
        for client in idle:
            client.setblocking(False)
            selector.register(client, selectors.EVENT_READ)
        cut = 0
        deadline = opened + idle_timeout_ms / 1000 + bound
        while cut < count and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=0.5):
                try:
                    data = key.fileobj.recv(1)
                except BlockingIOError:
                    continue
                except ConnectionResetError:
                    data = b""
                check(not data, f"an idle client got {data!r}")
                selector.unregister(key.fileobj)
                cut += 1
        last_cut = time.monotonic() - opened
        selector.close()
        check(cut == count, f"{count - cut} of {count} idle clients still open {last_cut:.1f} s after they connected")
        check(counting.accepted == 1, f"the origin accepted {counting.accepted} connections")
    finally:
        for client in idle:
            client.close()
        host.stop()
        env.processes.remove(host)
        counting.close()
    served = [line.strip() for line in open(host.log, errors="replace") if line.startswith("served ")]
    return (f"{count} idle clients: 1 upstream connection, the allowed request answered in {answered:.2f} s, "
            f"all cut within {last_cut:.1f} s (time-out {idle_timeout_ms / 1000:g} s); "
            + (served[0] if served else "no counters printed"))


CASES = [request_line_forms, refused_framing, site_spellings, request_without_host, pipelined_after_block,
         lost_framing_then_block, one_byte_segments, idle_clients]
