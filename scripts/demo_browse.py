#!/usr/bin/env python3
"""The filter demo: a protected child browses through the proxy host with the Nuv plug-in.

Prints, for each page fetched with curl, what the child got and what reached the web site. With
--keep the proxy host goes on serving until Ctrl-C, for a browser pointed at it.

Usage: demo_browse.py <build folder> [--keep]
"""

import argparse
import os
import signal
import sys
import time

import proxyenv

BLOCKED_SITES = ["blocked.test", "casino.test"]


def line(label, text):
    print(f"  {label:<34} {text}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    env = proxyenv.prepared_env(args.build)
    if env is None:
        return 1
    try:
        origin = env.start_origin()
        proxy = env.start_proxy(proxyenv.protected_user_state(BLOCKED_SITES), upstream=f"127.0.0.1:{origin.port}",
                                name="demo")
        print(f"Web site (origin) on 127.0.0.1:{origin.port}; proxy host with Nuv on 127.0.0.1:{proxy.port}.")
        print("The child signed in to the host's session: blocked sites " + ", ".join(BLOCKED_SITES) +
              "; web category 'adult' blocked; safe search on.\n")

        def fetch(url, *extra):
            return proxyenv.curl(url, *extra, proxy_port=proxy.port)

        def reached(host):
            return [r["target"] for r in proxyenv.origin_records(origin)
                    if (r.get("host") or "").split(":")[0] == host or f"//{host}/" in r["target"]]

        def show_block(url, why):
            status, head, body = fetch(url)
            host = url.split("/")[2]
            length = proxyenv.header(head, "Content-Length")
            blocked = b'class="blocked"' in body
            print(url)
            line("child got", (f"the block page ({why}), " if blocked else "NOT the block page, ") +
                 f"status {status}, Content-Length {length} for {len(body)} bytes of UTF-8")
            line("the web site got", ", ".join(reached(host)) or "nothing")
            return body

        show_block("http://blocked.test/page", "on the blocked-sites list")
        path = f"/video-{int(time.time())}.html"
        show_block("http://adult.test" + path, "web category adult")
        line("reputation service asked", f"{len(proxyenv.reputation_records(env, 'adult.test' + path))} time(s)")
        fetch("http://adult.test" + path)
        line("... and after a second fetch", f"{len(proxyenv.reputation_records(env, 'adult.test' + path))} time(s)"
             " (the answer is cached)")

        for path in ("/page", "/big", "/chunked"):
            url = "http://allowed.test" + path
            extra = ("--raw",) if path == "/chunked" else ()
            _, _, body = fetch(url, *extra)
            _, _, direct = proxyenv.curl(f"http://127.0.0.1:{origin.port}{path}", *extra)
            print(url)
            line("child got", f"{len(body)} bytes, " + ("byte-identical to the web site's"
                                                        if body == direct else "DIFFERENT from the web site's"))

        url = "http://www.finder.example/search?q=kittens"
        fetch(url)
        print(url)
        line("the search engine got", ", ".join(reached("www.finder.example")) + " (safe search forced)")

        print(f"\nProduct log: {os.path.join(env.prefix, 'drive_c', 'ProgramData', 'Oberix', 'QVLOGS', 'Nuv')}")
        if args.keep:
            print(f"\nServing until Ctrl-C. Point a browser at the proxy, for instance:\n"
                  f"  chromium --proxy-server=http://127.0.0.1:{proxy.port} --user-data-dir=$(mktemp -d) "
                  f"http://blocked.test/page http://allowed.test/page\n"
                  f"(every host name goes to the demo's web site; the filter decides by the name)")
            try:
                signal.pause()
            except KeyboardInterrupt:
                pass
        else:
            print("\nTo browse yourself: NUV_DEMO_KEEP=1 bash scripts/demo.sh, then point a browser at the proxy "
                  "host it names.")
    finally:
        env.stop_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
