"""Requests for blocked sites written as a hostile client writes them, through the proxy host with
the plug-in: each is judged like any request (block page) or ends the connection at once, and the
origin never sees it. Used by proxy_e2e.py, whose protected user has BLOCKED_SITES as blocked list.
"""

import socket
import time

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


CASES = [request_line_forms, refused_framing, site_spellings, request_without_host, pipelined_after_block,
         lost_framing_then_block]
