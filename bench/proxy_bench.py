#!/usr/bin/env python3
"""The proxy host with the Nuv plug-in beside the same host without it (--no-plugin), measured in
one run with wrk against an origin on 127.0.0.1.

The protected user has a 1,000-entry blocked list, categories on and safe search on; every
measured URL has been classified once before (the response cache answers afterwards). Run by
bench/proxy-bench.sh, which prepares the prefix and the reputation stand-in.

Usage: proxy_bench.py <build folder> [--seconds N]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import proxyenv  # noqa: E402

# wrk's summary as one JSON line.
WRK_REPORT = """
done = function(summary, latency, requests)
  io.write(string.format('{"requests": %d, "bytes": %d, "micros": %d, "latency_us": %.1f, "errors": %d}\\n',
    summary.requests, summary.bytes, summary.duration, latency.mean,
    summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.status + summary.errors.timeout))
end
"""


def wrk(port, path, host, connections, seconds, script):
    args = ["wrk", "-t", str(min(2, connections)), "-c", str(connections), "-d", f"{seconds}s", "-s", script, "-H", f"Host: {host}",
            f"http://127.0.0.1:{port}{path}"]
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=int, default=5)
    args = parser.parse_args()
    env = proxyenv.prepared_env(args.build)
    if env is None:
        return 1
    blocked = ["blocked.test"] + [f"listed{n:04d}.test" for n in range(999)]
    script = os.path.join(tempfile.mkdtemp(), "report.lua")
    with open(script, "w") as f:
        f.write(WRK_REPORT)
    try:
        origin = env.start_origin()
        upstream = f"127.0.0.1:{origin.port}"
        plain = env.start_proxy(upstream=upstream, plugin=False, name="bench-plain")
        filtered = env.start_proxy(proxyenv.protected_user_state(blocked), upstream=upstream, name="bench-plugin")
        cases = [
            # name, path, host, connections, figure
            ("1 KiB page, keep-alive, 16 connections", "/page", "allowed.test", 16, "req/s"),
            ("1 MiB page, keep-alive, 4 connections", "/big", "allowed.test", 4, "MB/s"),
            ("blocked URL (block page, new connection each)", "/page", "blocked.test", 16, "req/s"),
            ("latency of one 1 KiB request, 1 connection", "/page", "allowed.test", 1, "ms"),
        ]
        rows = []
        for name, path, host, connections, unit in cases:
            figures = []
            for proxy in (plain, filtered):
                warm(proxy.port, path, host)
                result = wrk(proxy.port, path, host, connections, args.seconds, script)
                seconds = result["micros"] / 1e6
                if unit == "req/s":
                    figures.append(result["requests"] / seconds)
                elif unit == "MB/s":
                    figures.append(result["bytes"] / seconds / 1e6)
                else:
                    figures.append(result["latency_us"] / 1000)
                if result["errors"] and host != "blocked.test":
                    print(f"  ({name}: {result['errors']} errors through {proxy.name})")
            rows.append((name, unit, figures[0], figures[1]))
    finally:
        env.stop_all()

    print(f"{'case':<50} {'unit':>6} {'no plug-in':>12} {'plug-in':>12} {'ratio':>7}")
    for name, unit, plain_figure, plugin_figure in rows:
        if unit == "ms":
            print(f"{name:<50} {unit:>6} {plain_figure:>12.3f} {plugin_figure:>12.3f} "
                  f"{plain_figure / plugin_figure if plugin_figure else 0:>7.2f}")
            print(f"{'  added latency per request':<50} {'ms':>6} {'':>12} {plugin_figure - plain_figure:>12.3f}")
        else:
            print(f"{name:<50} {unit:>6} {plain_figure:>12.1f} {plugin_figure:>12.1f} "
                  f"{plugin_figure / plain_figure if plain_figure else 0:>7.2f}")
    print("ratio: plug-in / no plug-in (for latency: no plug-in / plug-in); 1.00 = no cost")
    return 0


if __name__ == "__main__":
    sys.exit(main())
