#!/usr/bin/env python3
"""Stand-in of the cloud reputation service, for tests and the demo.

HTTPS on 127.0.0.1 (certificate for DNS name "localhost", issued by the project's test CA, with
a CRL distribution point served by this process over plain HTTP), POST /1 only. Every request is
verified as the service would (path, headers, date, HMAC-SHA1 of the body under the shared key,
the body's fields) and recorded; a request that fails verification gets 400.

Answers depend on the URL's host only, so that test programs running in parallel never steer one
another (see ANSWERS and the mode hosts in answer_for). The statistics report answers 200, or 500
for the client id "stats-fail".

The plain-HTTP port also serves GET /records?key=K (the recorded requests of a URL, or of
"stats:" + client id) as JSON.

Usage: reputation_standin.py --ca-dir DIR --work DIR --key-header SigningKeyTables.h --info FILE
The info file gets "https_port control_port pid" once both servers listen.
"""

import argparse
import base64
import datetime
import email.utils
import hashlib
import hmac
import http.server
import json
import os
import re
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

KEY_ID = "xo-tandem-gravel"

# host -> (rep, categories or None for an answer record without "cat")
ANSWERS = {
    "allowed.test": (10, [101]),
    "games.test": (30, [101, 102]),
    "adult.test": (80, [116, 195]),
    "gambling.test": (70, [600]),
    "unknown-code.test": (5, [999, 998]),
    "nocat.test": (20, None),
    "emptycat.test": (20, []),
}

records = {}
records_lock = threading.Lock()


def load_key(header_path):
    text = open(header_path, encoding="utf-8").read()
    tables = []
    for name in ("kMaskedSigningKey", "kSigningKeyMask"):
        match = re.search(name + r"\[[^\]]*\]\s*=\s*\{([^}]*)\}", text)
        if not match:
            sys.exit("no table " + name + " in " + header_path)
        tables.append([int(v, 16) for v in re.findall(r"0x[0-9A-Fa-f]{2}", match.group(1))])
    return bytes(a ^ b for a, b in zip(tables[0], tables[1]))


def run(*args, cwd=None):
    subprocess.run(args, check=True, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_server_certificate(ca_dir, work, crl_url):
    """A fresh key and certificate for localhost, and a CRL, both signed by the test CA."""
    os.makedirs(work, exist_ok=True)
    for name in ("index.txt",):
        open(os.path.join(work, name), "w").close()
    with open(os.path.join(work, "crlnumber"), "w") as f:
        f.write("01\n")
    config = os.path.join(work, "ca.cnf")
    with open(config, "w") as f:
        f.write(f"""[ca]
default_ca = test_ca
[test_ca]
database = {work}/index.txt
crlnumber = {work}/crlnumber
default_md = sha256
default_crl_days = 30
[server]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost
crlDistributionPoints = URI:{crl_url}
""")
    key = os.path.join(work, "server.key")
    csr = os.path.join(work, "server.csr")
    cert = os.path.join(work, "server.pem")
    run("openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
        "-subj", "/CN=localhost")
    run("openssl", "x509", "-req", "-in", csr, "-CA", os.path.join(ca_dir, "ca.pem"),
        "-CAkey", os.path.join(ca_dir, "ca.key"), "-set_serial", str(int(time.time() * 1000)),
        "-days", "30", "-sha256", "-extfile", config, "-extensions", "server", "-out", cert)
    crl_pem = os.path.join(work, "ca.crl.pem")
    run("openssl", "ca", "-gencrl", "-config", config, "-keyfile", os.path.join(ca_dir, "ca.key"),
        "-cert", os.path.join(ca_dir, "ca.pem"), "-out", crl_pem)
    crl_der = os.path.join(work, "ca.crl")
    run("openssl", "crl", "-in", crl_pem, "-outform", "DER", "-out", crl_der)
    return key, cert, open(crl_der, "rb").read()


def verify(handler, body, signing_key, https_port):
    """The problems of a request, as a list of texts (empty: a correct request)."""
    problems = []
    headers = handler.headers
    if handler.path != "/1":
        problems.append("path " + handler.path)
    if headers.get("Content-Type") != "application/json; charset=utf-8":
        problems.append("Content-Type " + str(headers.get("Content-Type")))
    if headers.get("Content-Length") != str(len(body)):
        problems.append("Content-Length " + str(headers.get("Content-Length")))
    if headers.get("Host") != "localhost:%d" % https_port:
        problems.append("Host " + str(headers.get("Host")))
    date = headers.get("Date", "")
    try:
        sent = email.utils.parsedate_to_datetime(date)
        if not date.endswith(" GMT") or abs((datetime.datetime.now(datetime.timezone.utc) - sent).total_seconds()) > 300:
            problems.append("Date " + date)
    except (TypeError, ValueError):
        problems.append("Date " + date)
    digest = base64.b64encode(hmac.new(signing_key, body, hashlib.sha1).digest()).decode()
    if headers.get("Authorization") != "TYVO %s : %s" % (KEY_ID, digest):
        problems.append("Authorization " + str(headers.get("Authorization")))
    try:
        text = body.decode("utf-8")
        request = json.loads(text)
    except (UnicodeDecodeError, ValueError):
        return problems + ["body is no JSON"], None
    if json.dumps(request, separators=(",", ":"), sort_keys=True, ensure_ascii=False) != text:
        problems.append("body is not compact with sorted members")
    ci = request.get("ci", {})
    expected_ci = {"affid": "0", "pev": 1, "prn": "Parental Control", "pv": "20.1.145.0", "sdkv": "1.0"}
    for name, value in expected_ci.items():
        if ci.get(name) != value:
            problems.append("ci.%s %r" % (name, ci.get(name)))
    if not isinstance(ci.get("rid"), int) or not -2**63 <= ci["rid"] < 2**63:
        problems.append("ci.rid %r" % ci.get("rid"))
    if not isinstance(ci.get("cliid"), str):
        problems.append("ci.cliid %r" % ci.get("cliid"))
    if set(ci) != set(expected_ci) | {"rid", "cliid"}:
        problems.append("ci members " + ",".join(sorted(ci)))
    if "q" in request:
        if set(request) != {"ci", "q"} or not isinstance(request["q"], list) or len(request["q"]) != 1:
            problems.append("q")
        else:
            query = request["q"][0]
            if query.get("catset") != 4 or query.get("op") != "url" or query.get("uop") != 64 \
                    or not isinstance(query.get("url"), str) or not set(query) <= {"catset", "op", "uop", "url", "qmd"}:
                problems.append("query %r" % query)
            if "qmd" in query:
                qmd = query["qmd"]
                if set(qmd) != {"pname", "psha256"} or not re.fullmatch(r"[0-9a-f]{64}", qmd.get("psha256", "")):
                    problems.append("qmd %r" % qmd)
                try:
                    base64.b64decode(qmd.get("pname", ""), validate=True)
                except ValueError:
                    problems.append("qmd.pname")
    elif "rpt" in request:
        gstat = request["rpt"].get("gstat", "") if isinstance(request["rpt"], dict) else ""
        if set(request) != {"ci", "rpt"} or len(gstat) != 8 or len(base64.b64decode(gstat)) != 5:
            problems.append("rpt %r" % request.get("rpt"))
    else:
        problems.append("neither q nor rpt")
    return problems, request


def answer_for(request):
    """(status, JSON answer or None to close without one, delay in seconds)."""
    rid = request["ci"]["rid"]
    if "rpt" in request:
        return (500, {"error": "report refused"}, 0) if request["ci"]["cliid"] == "stats-fail" else \
            (200, {"ci": {"rid": rid}}, 0)
    url = request["q"][0]["url"]
    host = url.split("/", 1)[0]
    delay = 0
    match = re.fullmatch(r"delay(\d+)\.test", host)
    if match:
        delay = int(match.group(1))
    ci = {"rid": rid}
    record = {"rep": 10, "cat": [101]}
    if host in ANSWERS:
        rep, cat = ANSWERS[host]
        record = {"rep": rep} if cat is None else {"rep": rep, "cat": cat}
    elif host == "status404.test":
        return 404, {"error": "not found"}, 0
    elif host == "refuse.test":
        return 0, None, 0
    elif host == "ridmismatch.test":
        ci["rid"] = rid + 1 if rid < 2**63 - 1 else rid - 1
    elif host == "rflag.test":
        ci.update({"rflag": 0x20000000, "err": 5})
    elif host == "err3.test":
        ci["err"] = 3
    elif host == "err0.test":
        ci["err"] = 0
    elif host == "errmsg.test":
        ci.update({"err": 0, "errmsg": "quota exceeded"})
    elif host == "emptya.test":
        return 200, {"ci": ci, "a": []}, 0
    elif host == "badrep.test":
        record = {"rep": "high"}
    elif host == "noci.test":
        return 200, {"a": [record]}, 0
    return 200, {"ci": ci, "a": [record], "extra": {"ignored": True}}, delay


class Service(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # A client that stalls holds only its own thread, and not for ever.
    timeout = 60

    def log_message(self, *args):
        pass

    def setup(self):
        # The TLS handshake runs here, on the connection's own thread: in the accepting thread a
        # client that never finishes it would stall every other one.
        self.request.settimeout(self.timeout)
        self.request.do_handshake()
        super().setup()

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or "0")
        body = self.rfile.read(length)
        problems, request = verify(self, body, self.server.signing_key, self.server.server_address[1])
        key = "?"
        if request is not None:
            if "q" in request and isinstance(request["q"], list) and request["q"]:
                key = str(request["q"][0].get("url"))
            elif "ci" in request:
                key = "stats:" + str(request["ci"].get("cliid"))
        with records_lock:
            records.setdefault(key, []).append({
                "path": self.path, "headers": dict(self.headers.items()),
                "body": body.decode("utf-8", "replace"), "problems": problems})
        if problems:
            return self.reply(400, {"problems": problems})
        status, answer, delay = answer_for(request)
        if delay:
            time.sleep(delay)
        if answer is None:
            self.close_connection = True
            self.connection.close()
            return
        self.reply(status, answer, "text/plain" if key.startswith("contenttype.test") else "application/json")

    def reply(self, status, answer, content_type="application/json"):
        data = json.dumps(answer).encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class Control(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        parsed = urllib.parse.urlparse(self.path)
        if parsed.path == "/ca.crl":
            data, content_type = self.server.crl, "application/pkix-crl"
        elif parsed.path == "/records":
            key = urllib.parse.parse_qs(parsed.query).get("key", [""])[0]
            with records_lock:
                data = json.dumps(records.get(key, [])).encode()
            content_type = "application/json"
        else:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class ThreadingServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that went away (a cancelled query, a failed handshake)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ca-dir", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--key-header", required=True)
    parser.add_argument("--info", required=True)
    args = parser.parse_args()

    control = ThreadingServer(("127.0.0.1", 0), Control)
    control_port = control.server_address[1]
    key, cert, crl = make_server_certificate(args.ca_dir, args.work, "http://localhost:%d/ca.crl" % control_port)
    control.crl = crl

    service = ThreadingServer(("127.0.0.1", 0), Service)
    service.signing_key = load_key(args.key_header)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    service.socket = context.wrap_socket(service.socket, server_side=True, do_handshake_on_connect=False)

    threading.Thread(target=control.serve_forever, daemon=True).start()
    temporary = args.info + ".tmp"
    with open(temporary, "w") as f:
        f.write("%d %d %d\n" % (service.server_address[1], control_port, os.getpid()))
    os.replace(temporary, args.info)
    service.serve_forever()


if __name__ == "__main__":
    main()
