#!/usr/bin/env python3
"""Origin web server for the end-to-end tests, the demo and the benchmark.

Plain HTTP/1.1 on 127.0.0.1 with keep-alive. Accepts origin-form ("/page") and absolute-form
("http://any.host/page") targets alike, so it can be reached through the proxy or directly.
Answers never depend on the Host header, so clients can checksum bodies.

  /page, *.html, */       1024-byte HTML page
  /big                    1 MiB of deterministic binary
  /big.html               1 MiB of deterministic HTML text (no absolute URLs in it)
  /chunked                ~50 KB of HTML, chunked, in chunks of varying sizes
  /search?...             HTML echoing the request target in <pre id="target">
  /upload (POST)          "<length> <sha256 hex>" of the request body
  /close                  HTML without Content-Length, ended by closing the connection
  /broken-chunked         HTML whose second chunk-size line is no number; the connection stays open
  /records[?clear=1]      JSON of the requests received (not through the proxy)
  anything else           404

Usage: origin.py --info FILE [--port N]
The info file gets "port pid" once the server listens. SIGTERM or SIGINT stops it.
"""

import argparse
import collections
import email.utils
import hashlib
import html
import http.server
import json
import os
import signal
import socket
import socketserver
import sys
import threading
import time
import urllib.parse

PAGE_SIZE = 1024
BIG_SIZE = 1 << 20
CHUNKED_SIZE = 50000
CHUNK_SIZES = (1, 100, 4096, 10000, 7, 16384, 333, 8192)  # the rest goes in the last chunk

# Bounded so that a long benchmark can't exhaust memory; tests clear the list before use.
MAX_RECORDS = 100000

# Above this, header and body go out through one sendmsg rather than being concatenated.
CONCAT_LIMIT = 64 * 1024


def html_page(title, inner, size):
    """HTML document of exactly `size` bytes, padded with a comment."""
    head = ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>%s</title></head>\n'
            '<body>\n%s\n<!-- ' % (title, inner)).encode()
    tail = b" -->\n</body></html>\n"
    pad = size - len(head) - len(tail)
    assert pad >= 0
    filler = b"padding " * (pad // 8 + 1)
    return head + filler[:pad] + tail


def make_page():
    return html_page("Origin page",
                     "<h1>Origin page</h1>\n<p>Static content served identically to every client.</p>",
                     PAGE_SIZE)


def make_big():
    # sha256 in counter mode: stable across runs and Python versions.
    return b"".join(hashlib.sha256(b"origin-big-%d" % i).digest() for i in range(BIG_SIZE // 32))


def make_text_html(title, size):
    """Deterministic printable HTML of exactly `size` bytes, with no URL in it."""
    head = ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>%s</title></head>\n'
            '<body>\n<h1>%s</h1>\n' % (title, title)).encode()
    tail = b"</body></html>\n"
    words = (b"alpha", b"bravo", b"charlie", b"delta", b"echo", b"foxtrot", b"golf", b"hotel",
             b"india", b"juliet", b"kilo", b"lima", b"mike", b"november", b"oscar", b"papa")
    out = [head]
    used = len(head) + len(tail)
    line_number = 0
    while True:
        digest = hashlib.sha256(b"line-%d" % line_number).digest()
        text = b" ".join(words[b & 15] for b in digest[:12])
        line = b'<p class="l%d">%06d %s</p>\n' % (digest[12] & 7, line_number, text)
        # Leave room for the closing comment ("<!--" + " -->\n" is 9 bytes).
        if used + len(line) + 9 > size:
            break
        out.append(line)
        used += len(line)
        line_number += 1
    pad = size - used - 9
    out.append(b"<!--" + (b"x" * pad) + b" -->\n")
    out.append(tail)
    body = b"".join(out)
    assert len(body) == size and b"http://" not in body and b"https://" not in body
    return body


def make_chunks():
    """The encoded chunks of the /chunked body, without the last (zero) chunk."""
    body = make_text_html("Origin chunked page", CHUNKED_SIZE)
    chunks = []
    offset = 0
    for n in CHUNK_SIZES:
        chunks.append(body[offset:offset + n])
        offset += n
    chunks.append(body[offset:])
    return [b"%x\r\n%s\r\n" % (len(c), c) for c in chunks if c]


class Fixed:
    """A response whose headers (but Date and Connection) and body are built once."""

    def __init__(self, status, content_type, body):
        self.status = ("HTTP/1.1 %s\r\n" % status).encode()
        self.headers = ("Content-Type: %s\r\nContent-Length: %d\r\n" % (content_type, len(body))).encode()
        self.body = body


PAGE = Fixed("200 OK", "text/html; charset=utf-8", make_page())
BIG = Fixed("200 OK", "application/octet-stream", make_big())
BIG_HTML = Fixed("200 OK", "text/html; charset=utf-8", make_text_html("Origin big page", BIG_SIZE))
NOT_FOUND = Fixed("404 Not Found", "text/plain; charset=utf-8", b"Not found\n")
FIXED = {"/page": PAGE, "/big": BIG, "/big.html": BIG_HTML}

CHUNKED_HEAD = b"HTTP/1.1 200 OK\r\n"
CHUNKED_HEADERS = b"Content-Type: text/html; charset=utf-8\r\nTransfer-Encoding: chunked\r\n"
CHUNKED_FRAMES = make_chunks()

CLOSE_BODY = (b'<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Origin close</title></head>\n'
              b"<body><p>Body ended by closing the connection.</p></body></html>\n")

records = collections.deque(maxlen=MAX_RECORDS)
records_lock = threading.Lock()

_date_cache = [0, b""]


def date_line():
    now = int(time.time())
    if now != _date_cache[0]:
        # Two threads may both refresh it; either result is right.
        _date_cache[1] = ("Date: %s\r\n" % email.utils.formatdate(now, usegmt=True)).encode()
        _date_cache[0] = now
    return _date_cache[1]


class BadRequest(Exception):
    pass


class Headers:
    """What this server uses of email.message.Message, at a fraction of the parsing cost."""

    __slots__ = ("_items", "_first")

    def __init__(self, items):
        self._items = items
        self._first = {}
        for name, value in items:
            self._first.setdefault(name.lower(), value)

    def get(self, name, default=None):
        return self._first.get(name.lower(), default)

    def __getitem__(self, name):
        return self._first.get(name.lower())

    def __contains__(self, name):
        return name.lower() in self._first

    def items(self):
        return list(self._items)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "Origin/1"
    # Reap connections a client abandoned without closing.
    timeout = 300

    def log_message(self, *args):
        pass

    def parse_request(self):
        # The stock parser goes through the email package and costs about half of a small
        # request's time; this one does the same job for well-formed HTTP/1.x.
        self.command = None
        self.request_version = "HTTP/1.0"  # so that an error answer gets a status line
        self.close_connection = True
        self.requestline = line = str(self.raw_requestline, "iso-8859-1").rstrip("\r\n")
        words = line.split()
        if len(words) != 3:
            self.send_error(400, "Bad request line")
            return False
        command, target, version = words
        if version not in ("HTTP/1.0", "HTTP/1.1"):
            self.send_error(505 if version.startswith("HTTP/") else 400, "Bad HTTP version")
            return False
        self.command, self.path, self.request_version = command, target, version

        items = []
        while True:
            raw = self.rfile.readline(65537)
            if len(raw) > 65536 or len(items) > 100:
                self.send_error(431)
                return False
            if raw in (b"\r\n", b"\n", b""):
                break
            text = raw.decode("iso-8859-1")
            if text[0] in " \t" and items:  # obsolete line folding
                name, value = items[-1]
                items[-1] = (name, value + " " + text.strip())
                continue
            if ":" not in text:
                self.send_error(400, "Bad header line")
                return False
            name, value = text.split(":", 1)
            if not name or name != name.strip():
                self.send_error(400, "Bad header line")
                return False
            items.append((name, value.strip()))
        self.headers = headers = Headers(items)

        tokens = [t.strip().lower() for t in headers.get("Connection", "").split(",")]
        if version == "HTTP/1.1":
            self.close_connection = "close" in tokens
        else:
            self.close_connection = "keep-alive" not in tokens
        if version == "HTTP/1.1" and headers.get("Expect", "").lower() == "100-continue":
            return self.handle_expect_100()
        return True

    # ---- request body

    def read_body(self, sink):
        """Reads the request body into sink(bytes); returns its length."""
        encoding = self.headers.get("Transfer-Encoding")
        if encoding is not None:
            if encoding.strip().lower() != "chunked":
                raise BadRequest("unsupported transfer coding")
            return self.read_chunked(sink)
        length = self.headers.get("Content-Length")
        if length is None:
            return 0
        try:
            remaining = int(length.strip())
        except ValueError:
            raise BadRequest("bad Content-Length")
        if remaining < 0:
            raise BadRequest("bad Content-Length")
        self.read_exactly(remaining, sink)
        return remaining

    def read_exactly(self, remaining, sink):
        while remaining:
            data = self.rfile.read(min(remaining, 256 * 1024))
            if not data:
                raise ConnectionError("body cut short")
            sink(data)
            remaining -= len(data)

    def read_chunked(self, sink):
        total = 0
        while True:
            line = self.rfile.readline(65537)
            if not line:
                raise ConnectionError("body cut short")
            try:
                size = int(line.split(b";", 1)[0].strip(), 16)
            except ValueError:
                raise BadRequest("bad chunk size")
            if size == 0:
                break
            self.read_exactly(size, sink)
            total += size
            if self.rfile.readline(3) not in (b"\r\n", b"\n"):
                raise BadRequest("bad chunk end")
        while True:  # trailers
            line = self.rfile.readline(65537)
            if not line:
                raise ConnectionError("body cut short")
            if line in (b"\r\n", b"\n"):
                return total

    # ---- response

    def connection_line(self):
        if self.close_connection:
            return b"Connection: close\r\n"
        if self.request_version == "HTTP/1.0":
            return b"Connection: keep-alive\r\n"
        return b""

    def send(self, status, headers, body):
        """One write for the whole response (sendmsg for a large body)."""
        head = status + date_line() + headers + self.connection_line() + b"\r\n"
        if self.command == "HEAD" or not body:
            self.wfile.write(head)
        elif len(body) <= CONCAT_LIMIT:
            self.wfile.write(head + body)
        else:
            self.send_vector(head, body)

    def send_vector(self, head, body):
        sock = self.connection
        if not hasattr(sock, "sendmsg"):
            self.wfile.write(head)
            self.wfile.write(body)
            return
        sent = sock.sendmsg([head, body])
        if sent < len(head):
            sock.sendall(memoryview(head)[sent:])
            sent = len(head)
        if sent - len(head) < len(body):
            sock.sendall(memoryview(body)[sent - len(head):])

    def send_fixed(self, fixed):
        self.send(fixed.status, fixed.headers, fixed.body)

    def send_built(self, status, content_type, body):
        self.send(("HTTP/1.1 %s\r\n" % status).encode(),
                  ("Content-Type: %s\r\nContent-Length: %d\r\n" % (content_type, len(body))).encode(),
                  body)

    def send_chunked(self):
        head = CHUNKED_HEAD + date_line() + CHUNKED_HEADERS + self.connection_line() + b"\r\n"
        if self.command == "HEAD":
            self.wfile.write(head)
            return
        # Separate writes so that chunk boundaries fall across reads on the other side.
        self.wfile.write(head + CHUNKED_FRAMES[0])
        for frame in CHUNKED_FRAMES[1:]:
            self.wfile.write(frame)
        self.wfile.write(b"0\r\n\r\n")

    def send_broken_chunked(self):
        # A server whose framing a client cannot follow: the rest of the stream is garbage, and
        # the connection stays open for more requests.
        head = CHUNKED_HEAD + date_line() + CHUNKED_HEADERS + self.connection_line() + b"\r\n"
        self.wfile.write(head if self.command == "HEAD" else head + b"5\r\nhello\r\nzz\r\nnot a chunk\r\n")

    def send_close(self):
        self.close_connection = True
        head = (b"HTTP/1.1 200 OK\r\n" + date_line()
                + b"Content-Type: text/html; charset=utf-8\r\nConnection: close\r\n\r\n")
        self.wfile.write(head if self.command == "HEAD" else head + CLOSE_BODY)

    # ---- dispatch

    def handle_request(self):
        target = self.path
        if "://" in target.split("?", 1)[0]:
            split = urllib.parse.urlsplit(target)
            path, query = split.path or "/", split.query
        else:
            path, query = (target.split("?", 1) + [""])[:2]

        upload = path == "/upload"
        digest = hashlib.sha256() if upload else None
        try:
            length = self.read_body(digest.update if upload else (lambda data: None))
        except BadRequest:
            self.close_connection = True
            self.send_built("400 Bad Request", "text/plain; charset=utf-8", b"Bad request\n")
            return

        if path == "/records":
            with records_lock:
                if urllib.parse.parse_qs(query).get("clear") == ["1"]:
                    records.clear()
                data = json.dumps(list(records)).encode()
            self.send_built("200 OK", "application/json", data)
            return

        headers = {}
        for name, value in self.headers.items():
            headers[name] = headers[name] + ", " + value if name in headers else value
        host = self.headers.get("Host")
        if host is None and "://" in target:
            host = urllib.parse.urlsplit(target).netloc
        with records_lock:
            records.append({"method": self.command, "target": target, "host": host or "",
                            "length": length, "headers": headers})

        fixed = FIXED.get(path)
        if fixed is not None:
            self.send_fixed(fixed)
        elif upload:
            self.send_built("200 OK", "text/plain; charset=utf-8",
                            ("%d %s" % (length, digest.hexdigest())).encode())
        elif path == "/search":
            body = ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Origin search</title>'
                    '</head>\n<body>\n<pre id="target">%s</pre>\n</body></html>\n'
                    % html.escape(target, quote=True)).encode()
            self.send_built("200 OK", "text/html; charset=utf-8", body)
        elif path == "/chunked":
            self.send_chunked()
        elif path == "/close":
            self.send_close()
        elif path == "/broken-chunked":
            self.send_broken_chunked()
        elif path.endswith(".html") or path.endswith("/"):
            self.send_fixed(PAGE)
        else:
            self.send_fixed(NOT_FOUND)

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_OPTIONS = do_PATCH = handle_request


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    request_queue_size = 1024
    allow_reuse_address = True

    def server_bind(self):
        # HTTPServer.server_bind resolves the host name, which can stall without DNS.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def get_request(self):
        sock, address = super().get_request()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock, address

    def handle_error(self, request, client_address):
        error = sys.exc_info()[1]
        if isinstance(error, (ConnectionError, TimeoutError)):
            return  # a client that went away
        super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--info", required=True)
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())

    server = Server(("127.0.0.1", args.port), Handler)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()

    temporary = "%s.tmp.%d" % (args.info, os.getpid())
    with open(temporary, "w") as f:
        f.write("%d %d\n" % (server.server_address[1], os.getpid()))
    os.replace(temporary, args.info)

    while not stop.wait(0.5):
        pass
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
