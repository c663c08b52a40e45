#!/usr/bin/env python3
"""The proxy host with the Nuv plug-in beside the same host without it (--no-plugin), measured in
one run with wrk and small clients of our own against an origin on 127.0.0.1.

The protected user has a 1,000-entry blocked list, categories on and safe search on; every
measured URL has been classified once before (the response cache answers afterwards). Run by
bench/proxy-bench.sh, which prepares the prefix and the reputation stand-in.

Parts (--parts, all by default):
  table    throughput and latency, allowed and blocked requests
  trips    Wine server round trips per request (strace on the prefix's wineserver)
  soak     mixed traffic (allowed, blocked, chunked, 1 MiB) for --soak seconds; the host's RSS after
           the first fifth (the first minute of a 5-minute run) and at the end
  hostile  one client sending a header one byte per TCP segment and --idle idle connections: the
           host's RSS growth and an allowed request's latency beside them

Usage: proxy_bench.py <build folder> [--seconds N] [--soak N] [--trips N] [--idle N] [--parts LIST]
"""

import argparse
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import proxyenv  # noqa: E402

PARTS = ("table", "trips", "soak", "hostile")
BLOCKED = ["blocked.test"] + [f"listed{n:04d}.test" for n in range(999)]

# wrk's summary as one JSON line.
WRK_REPORT = """
done = function(summary, latency, requests)
  io.write(string.format('{"requests": %d, "bytes": %d, "micros": %d, "latency_us": %.1f, "errors": %d}\\n',
    summary.requests, summary.bytes, summary.duration, latency.mean,
    summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.status + summary.errors.timeout))
end
"""

# The soak's requests, in turn on each wrk thread: per 10, five 1 KiB pages, three blocked, one
# chunked page and one 1 MiB download. A blocked answer closes its connection; wrk opens another.
SOAK_MIX = [("/page", "allowed.test"), ("/page", "blocked.test"), ("/page", "allowed.test"),
            ("/chunked", "allowed.test"), ("/page", "blocked.test"), ("/page", "allowed.test"),
            ("/big", "allowed.test"), ("/page", "allowed.test"), ("/page", "blocked.test"),
            ("/page", "allowed.test")]
SOAK_REQUESTS = """
local mix = {%s}
local n = 0
request = function()
  n = n + 1
  local kind = mix[(n %% #mix) + 1]
  return wrk.format("GET", kind[1], {["Host"] = kind[2]})
end
""" % ", ".join('{"%s", "%s"}' % kind for kind in SOAK_MIX)


class Table:
    """Rows of "case, unit, no plug-in, plug-in, ratio", printed at the end."""

    def __init__(self):
        self.rows = []

    def heading(self, text):
        self.rows.append(("heading", text))

    def add(self, name, unit, plain, plugin, ratio="plugin/plain", digits=1):
        self.rows.append(("row", name, unit, plain, plugin, ratio, digits))

    def note(self, text):
        self.rows.append(("note", text))

    def print(self):
        print(f"{'case':<58} {'unit':>7} {'no plug-in':>12} {'plug-in':>12} {'ratio':>7}")
        for row in self.rows:
            if row[0] == "heading":
                print(row[1])
                continue
            if row[0] == "note":
                print(f"  ({row[1]})")
                continue
            _, name, unit, plain, plugin, ratio, digits = row
            if ratio == "plugin/plain":
                value = plugin / plain if plain else 0
            elif ratio == "plain/plugin":
                value = plain / plugin if plugin else 0
            else:
                value = None

            def cell(figure):
                return f"{'-':>12}" if figure is None else f"{figure:>12.{digits}f}"

            print(f"{name:<58} {unit:>7} {cell(plain)} {cell(plugin)} {'' if value is None else f'{value:>7.2f}'}")
        print("ratio: plug-in / no plug-in (latency: no plug-in / plug-in); 1.00 = no cost")


# -- clients ------------------------------------------------------------------------------------

def wrk(port, path, host, connections, seconds, script, headers=()):
    args = ["wrk", "-t", str(min(2, connections)), "-c", str(connections), "-d", f"{seconds}s", "-s", script,
            "-H", f"Host: {host}"]
    for header in headers:
        args += ["-H", header]
    args.append(f"http://127.0.0.1:{port}{path}")
    out = subprocess.run(args, capture_output=True, text=True, timeout=seconds + 60).stdout
    for line in out.splitlines():
        if line.startswith("{"):
            return json.loads(line)
    raise RuntimeError("wrk printed no summary:\n" + out)


def warm(port, path, host):
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", headers={"Host": host})
    try:
        urllib.request.urlopen(request, timeout=30).read()
    except OSError:
        pass


def read_response(sock, buffer=b""):
    """(status, rest of the stream) of one response with Content-Length or to the end; None when
    the connection ended first."""
    while b"\r\n\r\n" not in buffer:
        chunk = sock.recv(65536)
        if not chunk:
            return None, b""
        buffer += chunk
    head, body = buffer.split(b"\r\n\r\n", 1)
    lines = head.split(b"\r\n")
    status = int(lines[0].split()[1])
    length = None
    for line in lines[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    if length is None:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return status, b""
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            return None, b""
        body += chunk
    return status, body[length:]


def request_once(port, host, path="/page", timeout=30):
    """One request on a connection of its own: (status, seconds)."""
    started = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
        status, _ = read_response(sock)
    return status, time.perf_counter() - started


def requests_keepalive(port, host, count, path="/page"):
    """`count` requests on one connection (a new one when the host closes it)."""
    sock, rest = None, b""
    try:
        for _ in range(count):
            if sock is None:
                sock, rest = socket.create_connection(("127.0.0.1", port), timeout=30), b""
            sock.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
            status, rest = read_response(sock, rest)
            if status is None:
                sock.close()
                sock = None
    finally:
        if sock is not None:
            sock.close()


def rss_mb(process):
    with open(f"/proc/{process.pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


# -- the table --------------------------------------------------------------------------------

def run_table(table, plain, filtered, seconds, script):
    close = ("Connection: close",)
    cases = [
        # name, path, host, connections, unit, extra headers
        ("1 KiB page, keep-alive, 16 connections", "/page", "allowed.test", 16, "req/s", ()),
        ("1 MiB page, keep-alive, 4 connections", "/big", "allowed.test", 4, "MB/s", ()),
        ("1 KiB page, new connection each, 16 connections", "/page", "allowed.test", 16, "req/s", close),
        # Without the plug-in the same request is forwarded (also a connection each): what a
        # block page costs beside forwarding the page.
        ("blocked URL, new connection each, 16 connections", "/page", "blocked.test", 16, "req/s", close),
        ("latency of one 1 KiB request, 1 connection", "/page", "allowed.test", 1, "ms", ()),
        ("latency of one blocked request, new connection", "/page", "blocked.test", 1, "ms", close),
    ]
    table.heading("throughput and latency")
    for name, path, host, connections, unit, headers in cases:
        figures = []
        for proxy in (plain, filtered):
            warm(proxy.port, path, host)
            result = wrk(proxy.port, path, host, connections, seconds, script, headers)
            elapsed = result["micros"] / 1e6
            if unit == "req/s":
                figures.append(result["requests"] / elapsed)
            elif unit == "MB/s":
                figures.append(result["bytes"] / elapsed / 1e6)
            else:
                figures.append(result["latency_us"] / 1000)
            if result["errors"] and host != "blocked.test":
                table.note(f"{name}: {result['errors']} errors through {proxy.name}")
        if unit == "ms":
            table.add(name, unit, figures[0], figures[1], "plain/plugin", 3)
            if host != "blocked.test":  # a block page is no added step: it replaces the forwarding
                table.add("  added latency per request", unit, None, figures[1] - figures[0], None, 3)
        else:
            table.add(name, unit, figures[0], figures[1])


# -- Wine server round trips ------------------------------------------------------------------

def wineserver_pid(prefix):
    """The wineserver of the prefix: its working folder is named after the prefix's device and inode."""
    info = os.stat(prefix)
    name = "server-%x-%x" % (info.st_dev, info.st_ino)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.path.basename(os.readlink(f"/proc/{entry}/cwd")) == name:
                with open(f"/proc/{entry}/comm") as comm:
                    if comm.read().startswith("wineserver"):
                        return int(entry)
        except OSError:
            continue
    return None


def count_round_trips(server, action):
    """(round trips, system calls, seconds) of the wineserver while `action` runs. strace -C
    writes every call and the -c summary; a round trip is one reply: a write of the 64-byte reply
    header, or a writev when the reply carries data (a 16-byte write wakes a waiting thread and is
    no reply)."""
    with tempfile.TemporaryDirectory() as folder:
        trace = os.path.join(folder, "trace")
        tracer = subprocess.Popen(["strace", "-C", "-f", "-qq", "-o", trace, "-p", str(server)],
                                  stderr=subprocess.PIPE, text=True)
        # strace says nothing with -qq: wait until the trace file has its first line.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not (os.path.exists(trace) and os.path.getsize(trace) > 0):
            if tracer.poll() is not None:
                raise RuntimeError("strace failed: " + tracer.stderr.read())
            time.sleep(0.05)
        started = time.perf_counter()
        action()
        elapsed = time.perf_counter() - started
        tracer.send_signal(signal.SIGINT)
        tracer.wait(30)
        replies = calls = 0
        reply = re.compile(r"\bwrite\(\d+, .*, 64\) += 64$|\bwritev\(")
        total = re.compile(r"^100\.00\s+\S+\s+\S+\s+(\d+)")
        with open(trace, errors="replace") as lines:
            for line in lines:
                if reply.search(line):
                    replies += 1
                match = total.match(line)
                if match:
                    calls = int(match.group(1))
        return replies, calls, elapsed


def run_trips(table, plain, filtered, env, count):
    server = wineserver_pid(env.prefix)
    if server is None:
        table.note("no wineserver found for the prefix: round trips not counted")
        return
    # Both hosts share the server: what they do unasked (timers, the plug-in's threads) is taken
    # off, at the rate measured while nobody asks anything, once their start-up is over.
    for proxy in (plain, filtered):
        warm(proxy.port, "/page", "allowed.test")
        warm(proxy.port, "/page", "blocked.test")
    time.sleep(2)
    idle_trips, _, idle_seconds = count_round_trips(server, lambda: time.sleep(3))
    idle_rate = idle_trips / idle_seconds
    cases = [
        ("1 KiB page, keep-alive", lambda port: requests_keepalive(port, "allowed.test", count)),
        ("1 KiB page, new connection each",
         lambda port: [request_once(port, "allowed.test") for _ in range(count)]),
        ("blocked URL, new connection each (no plug-in: forwarded)",
         lambda port: [request_once(port, "blocked.test") for _ in range(count)]),
    ]
    table.heading(f"Wine server round trips per request ({count} requests, one at a time, under strace)")
    for name, action in cases:
        figures = []
        for proxy in (plain, filtered):
            action(proxy.port)  # warm: connections, caches, the block page's first load
            trips, _, seconds = count_round_trips(server, lambda: action(proxy.port))
            figures.append(max(0.0, trips - idle_rate * seconds) / count)
        table.add(name, "trips", figures[0], figures[1])
    table.note(f"both hosts idle: {idle_rate:.0f} round trips/s, taken off each figure")


# -- soak -------------------------------------------------------------------------------------

def run_soak(table, env, upstream, seconds, report):
    mark = seconds / 5
    with tempfile.TemporaryDirectory() as folder:
        script = os.path.join(folder, "soak.lua")
        with open(script, "w") as f:
            f.write(SOAK_REQUESTS + report)
        hosts = [env.start_proxy(upstream=upstream, plugin=False, name="soak-plain"),
                 env.start_proxy(proxyenv.protected_user_state(BLOCKED), upstream=upstream, name="soak-plugin")]
        try:
            for proxy in hosts:
                for path, host in SOAK_MIX:
                    warm(proxy.port, path, host)
            started = [rss_mb(proxy) for proxy in hosts]
            # Both hosts at once, each with its own wrk: side by side over the same minutes.
            runs = [subprocess.Popen(["wrk", "-t", "2", "-c", "8", "-d", f"{seconds}s", "-s", script,
                                      f"http://127.0.0.1:{proxy.port}/"],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                    for proxy in hosts]
            time.sleep(mark)
            at_mark = [rss_mb(proxy) for proxy in hosts]
            summaries = []
            for run in runs:
                out, _ = run.communicate(timeout=seconds + 120)
                lines = [line for line in out.splitlines() if line.startswith("{")]
                if not lines:
                    raise RuntimeError("wrk printed no summary:\n" + out)
                summaries.append(json.loads(lines[0]))
            at_end = [rss_mb(proxy) for proxy in hosts]
        finally:
            for proxy in hosts:
                proxy.stop()
    requests = [summary["requests"] for summary in summaries]
    blocked = SOAK_MIX.count(("/page", "blocked.test")) / len(SOAK_MIX)
    table.heading(f"soak: mixed traffic for {seconds} s, 8 connections each "
                  f"(per 10 requests: 5 x 1 KiB, 3 blocked, 1 chunked, 1 x 1 MiB)")
    table.add("requests", "", requests[0], requests[1], digits=0)
    table.add("host RSS at the start", "MB", started[0], started[1])
    table.add(f"host RSS after the first fifth ({mark:.0f} s)", "MB", at_mark[0], at_mark[1])
    table.add("host RSS at the end", "MB", at_end[0], at_end[1])
    table.add("  end / first fifth", "", at_end[0] / at_mark[0], at_end[1] / at_mark[1], None, 3)
    # Requests after the mark, about: the rate was steady.
    after_mark = [count * 4 / 5 for count in requests]
    table.add("  growth after the first fifth per 1,000 requests", "KB",
              (at_end[0] - at_mark[0]) * 1024 * 1000 / after_mark[0],
              (at_end[1] - at_mark[1]) * 1024 * 1000 / after_mark[1], None)
    table.add("  the same per blocked request (plug-in)", "B", None,
              (at_end[1] - at_mark[1]) * 1048576 / (after_mark[1] * blocked), None, 0)
    errors = [summary["errors"] for summary in summaries]
    if errors[0]:
        table.note(f"soak: {errors[0]} errors through the host without the plug-in")


# -- hostile clients --------------------------------------------------------------------------

def trickle(port, size, gap, outcome):
    """One request whose header (`size` bytes) goes out one byte per TCP segment, `gap` seconds
    apart; `outcome` gets the status (None: no answer) and the seconds it took."""
    header = f"GET /page HTTP/1.1\r\nHost: allowed.test\r\nX-Filler: ".encode()
    header += b"a" * max(0, size - len(header) - 4) + b"\r\n\r\n"
    started = time.perf_counter()
    status = None
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=60) as sock:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for byte in header:
                sock.send(bytes((byte,)))
                time.sleep(gap)
            status, _ = read_response(sock)
    except OSError as error:
        outcome["error"] = str(error)
    outcome["status"] = status
    outcome["seconds"] = time.perf_counter() - started
    outcome["bytes"] = len(header)


def latencies(port, count, until=None):
    """Milliseconds of allowed requests, each on a new connection, one at a time."""
    figures = []
    while len(figures) < count and (until is None or until()):
        status, seconds = request_once(port, "allowed.test")
        if status == 200:
            figures.append(seconds * 1000)
    return figures


def run_hostile(table, env, upstream, idle_count, trickle_size, gap):
    results = []
    for plugin in (False, True):
        state = proxyenv.protected_user_state(BLOCKED) if plugin else None
        proxy = env.start_proxy(state, upstream=upstream, plugin=plugin,
                                name="hostile-plugin" if plugin else "hostile-plain")
        idle = []
        try:
            # Past the host's start-up: the plug-in's first classifications and threads.
            latencies(proxy.port, 20)
            time.sleep(2)
            alone = latencies(proxy.port, 200)
            before = rss_mb(proxy)
            for _ in range(idle_count):
                idle.append(socket.create_connection(("127.0.0.1", proxy.port), timeout=30))
            outcome = {}
            sender = threading.Thread(target=trickle, args=(proxy.port, trickle_size, gap, outcome))
            sender.start()
            peak = rss_mb(proxy)
            beside = []
            while sender.is_alive():
                beside += latencies(proxy.port, 10, sender.is_alive)
                peak = max(peak, rss_mb(proxy))
            sender.join()
            peak = max(peak, rss_mb(proxy))
            # How many idle connections the host still holds open (it may close idle ones).
            open_idle = 0
            for sock in idle:
                sock.setblocking(False)
                try:
                    open_idle += 0 if sock.recv(1) == b"" else 1
                except BlockingIOError:
                    open_idle += 1
                except OSError:
                    pass
            results.append({"alone": statistics.median(alone), "beside": statistics.median(beside) if beside else None,
                            "before": before, "peak": peak, "outcome": outcome, "open_idle": open_idle})
        finally:
            for sock in idle:
                sock.close()
            proxy.stop()
    plain, filtered = results
    outcome = filtered["outcome"]
    table.heading(f"hostile clients: one sending a {outcome.get('bytes', trickle_size)}-byte header one byte per "
                  f"segment ({gap * 1000:.0f} ms apart), {idle_count} idle connections")
    table.add("host RSS before", "MB", plain["before"], filtered["before"])
    table.add("host RSS with them (peak)", "MB", plain["peak"], filtered["peak"])
    table.add("  growth", "MB", plain["peak"] - plain["before"], filtered["peak"] - filtered["before"], None)
    table.add("  growth per idle connection", "KB", (plain["peak"] - plain["before"]) * 1024 / idle_count,
              (filtered["peak"] - filtered["before"]) * 1024 / idle_count, None)
    table.add("allowed request, new connection, alone (median)", "ms", plain["alone"], filtered["alone"],
              "plain/plugin", 3)
    if plain["beside"] is not None and filtered["beside"] is not None:
        table.add("allowed request beside them (median)", "ms", plain["beside"], filtered["beside"],
                  "plain/plugin", 3)
        table.add("  beside / alone", "", plain["beside"] / plain["alone"], filtered["beside"] / filtered["alone"],
                  None, 2)
    table.add("idle connections still open at the end", "", plain["open_idle"], filtered["open_idle"], None, 0)
    for result, name in ((plain, "no plug-in"), (filtered, "plug-in")):
        got = result["outcome"]
        table.note(f"{name}: the slow header took {got.get('seconds', 0):.1f} s, answered "
                   f"{got.get('status') or 'nothing'}{' (' + got['error'] + ')' if 'error' in got else ''}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=int, default=5, help="per throughput measurement")
    parser.add_argument("--soak", type=int, default=60, help="seconds of mixed traffic (300: the 5-minute soak)")
    parser.add_argument("--trips", type=int, default=200, help="requests per round-trip count")
    parser.add_argument("--idle", type=int, default=256, help="idle connections of the hostile case")
    parser.add_argument("--trickle", type=int, default=4000, help="bytes of the header sent one per segment")
    parser.add_argument("--trickle-gap-ms", type=float, default=1.0, help="pause between the header's bytes")
    parser.add_argument("--parts", default=",".join(PARTS), help="comma-separated: " + ", ".join(PARTS))
    args = parser.parse_args()
    parts = set(args.parts.split(","))
    if parts - set(PARTS):
        parser.error("unknown parts: " + ", ".join(sorted(parts - set(PARTS))))
    env = proxyenv.prepared_env(args.build)
    if env is None:
        return 1
    table = Table()
    folder = tempfile.mkdtemp()
    script = os.path.join(folder, "report.lua")
    with open(script, "w") as f:
        f.write(WRK_REPORT)
    try:
        origin = env.start_origin()
        upstream = f"127.0.0.1:{origin.port}"
        if parts & {"table", "trips"}:
            plain = env.start_proxy(upstream=upstream, plugin=False, name="bench-plain")
            filtered = env.start_proxy(proxyenv.protected_user_state(BLOCKED), upstream=upstream, name="bench-plugin")
            if "table" in parts:
                run_table(table, plain, filtered, args.seconds, script)
            if "trips" in parts:
                run_trips(table, plain, filtered, env, args.trips)
            plain.stop()
            filtered.stop()
        if "soak" in parts and args.soak > 0:
            run_soak(table, env, upstream, args.soak, WRK_REPORT)
        if "hostile" in parts:
            run_hostile(table, env, upstream, args.idle, args.trickle, args.trickle_gap_ms / 1000)
    finally:
        env.stop_all()
    table.print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
