#!/usr/bin/env python3
"""Load pages in headless Chromium through the filtering proxy and check what
the browser actually rendered.

    browse_with_chromium.py --proxy 127.0.0.1:PORT \
        --page http://blocked.test/page "Access denied" \
        --page http://allowed.test/ "Welcome" \
        --screenshot out.png --screenshot-of http://blocked.test/page

Exit status: 0 all checks passed, 1 some check failed, 2 Chromium missing.
"""

import argparse
import html
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
MIN_SCREENSHOT_BYTES = 2048
WINDOW = (1024, 768)

# The test network is closed: anything Chromium does on its own (updates,
# sync, safe browsing...) gets refused and only adds noise and delay.
BASE_FLAGS = [
    "--headless",
    "--no-sandbox",  # required when running as root
    "--disable-gpu",
    "--disable-quic",  # the proxy only speaks TCP
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-extensions",
    "--no-default-browser-check",
    # Still queries a time server through the proxy on every launch
    # otherwise, which muddies the proxy's own logs.
    "--disable-features=NetworkTimeServiceQuerying",
]


def leftover_pids(pgid, marker):
    """Live processes from one launch: those still in its process group, and
    helpers that left it (the crash handler starts its own session) but name
    our temp dir in their arguments."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(b")") + 2:].split()
        state, pgrp = fields[0], int(fields[2])
        if state in (b"Z", b"X"):
            continue
        if pgrp == pgid or marker in cmdline:
            found.append(int(entry))
    return found


def kill_leftovers(pgid, tmp, grace=5.0):
    """Make sure nothing from the launch is still writing into tmp."""
    deadline = time.monotonic() + grace
    while True:
        pids = leftover_pids(pgid, tmp.encode())
        if not pids or time.monotonic() > deadline:
            return pids
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.05)


def run_chromium(chromium, proxy, extra_args, timeout):
    """Run one browser instance with a throwaway profile.

    Returns (returncode or None on timeout, stdout bytes, stderr text, seconds).
    """
    with tempfile.TemporaryDirectory(prefix="e2e-chromium-") as tmp:
        profile = os.path.join(tmp, "profile")
        out_path = os.path.join(tmp, "stdout")
        err_path = os.path.join(tmp, "stderr")
        cmd = [chromium, *BASE_FLAGS,
               f"--user-data-dir={profile}",
               f"--proxy-server=http://{proxy}",
               *extra_args]
        # The crash handler keeps its database under the user's config dir
        # whatever --user-data-dir says; keep that inside the throwaway dir
        # too, so runs leave nothing behind in the real home.
        env = dict(os.environ, HOME=tmp,
                   XDG_CONFIG_HOME=os.path.join(tmp, "config"),
                   XDG_CACHE_HOME=os.path.join(tmp, "cache"))
        started = time.monotonic()
        # Files rather than pipes: helper processes that outlive the browser
        # would otherwise keep the pipe open and stall us until the timeout.
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, env=env,
                                    start_new_session=True)
            try:
                rc = proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                rc = None
            elapsed = time.monotonic() - started
            if rc is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            # Helpers linger after the browser exits; stop them all before
            # the profile is removed under their feet.
            stuck = kill_leftovers(proc.pid, tmp)
            if stuck:
                print(f"warning: chromium processes {stuck} would not die",
                      file=sys.stderr)
        with open(out_path, "rb") as f:
            stdout = f.read()
        with open(err_path, "rb") as f:
            stderr = f.read().decode("utf-8", "replace")
    return rc, stdout, stderr, elapsed


def interesting_stderr(stderr, limit=5):
    """The few stderr lines that explain a failure (dbus chatter is not it)."""
    lines = [l for l in stderr.splitlines()
             if l.strip() and "dbus" not in l and "unexpected operator" not in l]
    failed = [l for l in lines if "Page load failed" in l or "net::ERR_" in l]
    return failed or lines[-limit:]


def describe_failure(rc, stderr, timeout):
    if rc is None:
        print(f"  chromium timed out after {timeout:.0f} s and was killed")
    elif rc != 0:
        print(f"  chromium exited with status {rc}")
    for line in interesting_stderr(stderr):
        print(f"  stderr: {line}")


def check_page(chromium, proxy, url, expected, timeout, verbose):
    rc, out, err, elapsed = run_chromium(chromium, proxy, ["--dump-dom", url],
                                         timeout)
    dom = out.decode("utf-8", "replace")
    if verbose:
        print(f"  ({elapsed:.1f} s, exit {rc})")
    # The DOM comes back serialised, so '&' or '<' in the expected text
    # appear escaped.
    found = expected in dom or html.escape(expected, quote=False) in dom
    if rc == 0 and found:
        print(f"ok {url} ({len(out)} bytes of DOM)")
        return True
    if found:
        print(f"FAIL {url}: expected text found but chromium did not finish cleanly")
    else:
        print(f"FAIL {url}: expected text not found")
        print(f"  expected: {expected!r}")
        print(dom[:400] if dom else "  (empty DOM: the page did not load)")
    describe_failure(rc, err, timeout)
    return False


def png_size(data):
    """Width and height from the IHDR chunk, or None if it is not there."""
    if len(data) < 24 or data[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", data[16:24])


def png_colour_count(data, limit=2):
    """Distinct pixel colours (stopping at limit) in an 8-bit, non-interlaced
    RGB/RGBA PNG, which is what Chromium writes; None for anything else."""
    pos, idat, ihdr = 8, [], None
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
        pos += 12 + length
    if not ihdr:
        return None
    width, height, depth, colour_type, _, _, interlace = ihdr
    if depth != 8 or interlace or colour_type not in (2, 6):
        return None
    bpp = 3 if colour_type == 2 else 4
    stride = width * bpp
    raw = zlib.decompress(b"".join(idat))
    prev = bytearray(stride)
    colours = set()
    for y in range(height):
        ftype = raw[y * (stride + 1)]
        row = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = row[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if ftype == 1:
                row[i] = (row[i] + a) & 0xFF
            elif ftype == 2:
                row[i] = (row[i] + b) & 0xFF
            elif ftype == 3:
                row[i] = (row[i] + ((a + b) >> 1)) & 0xFF
            elif ftype == 4:
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                row[i] = (row[i] + pred) & 0xFF
        colours.update(bytes(row[i:i + bpp]) for i in range(0, stride, bpp))
        if len(colours) >= limit:
            return len(colours)
        prev = row
    return len(colours)


def take_screenshot(chromium, proxy, url, path, timeout, verbose):
    path = os.path.abspath(path)
    # A file left over from an earlier run must not pass for this one.
    if os.path.exists(path):
        os.remove(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    rc, _, err, elapsed = run_chromium(
        chromium, proxy,
        [f"--screenshot={path}", f"--window-size={WINDOW[0]},{WINDOW[1]}",
         "--hide-scrollbars", url],
        timeout)
    if verbose:
        print(f"  ({elapsed:.1f} s, exit {rc})")
    problem = None
    data = b""
    if not os.path.isfile(path):
        problem = "no file written"
    else:
        with open(path, "rb") as f:
            data = f.read()
        if not data.startswith(PNG_SIGNATURE):
            problem = "not a PNG file"
        elif len(data) <= MIN_SCREENSHOT_BYTES:
            # A blank or error-only render compresses to almost nothing.
            problem = f"only {len(data)} bytes, too small to show a page"
        elif png_size(data) != WINDOW:
            problem = f"unexpected image size {png_size(data)}"
        elif png_colour_count(data) == 1:
            problem = "the image is one flat colour, nothing was rendered"
        elif rc != 0:
            problem = f"chromium exited with status {rc}"
    if problem:
        print(f"FAIL screenshot {path} of {url}: {problem}")
        describe_failure(rc, err, timeout)
        return False
    print(f"screenshot {path} ({len(data)} bytes)")
    return True


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--proxy", required=True, metavar="HOST:PORT",
                    help="HTTP proxy every request goes through")
    ap.add_argument("--page", action="append", nargs=2, default=[],
                    metavar=("URL", "EXPECTED_TEXT"),
                    help="load URL and require EXPECTED_TEXT in its DOM "
                         "(repeatable)")
    ap.add_argument("--screenshot", metavar="OUT.png",
                    help="where to save the screenshot")
    ap.add_argument("--screenshot-of", metavar="URL",
                    help="page to screenshot into --screenshot")
    ap.add_argument("--chromium", default=os.environ.get("CHROMIUM", "chromium"),
                    help="browser binary (default: chromium, or $CHROMIUM)")
    ap.add_argument("--timeout", type=float, default=60.0,
                    help="seconds allowed per browser launch (default 60)")
    ap.add_argument("-v", "--verbose", action="store_true",
                    help="print time and exit status of each launch")
    args = ap.parse_args(argv)

    if bool(args.screenshot) != bool(args.screenshot_of):
        ap.error("--screenshot and --screenshot-of go together")
    if not args.page and not args.screenshot:
        ap.error("nothing to do: give --page and/or --screenshot")
    if ":" not in args.proxy or "://" in args.proxy:
        ap.error("--proxy is HOST:PORT, without a scheme")

    chromium = shutil.which(args.chromium)
    if not chromium:
        print(f"chromium not found ({args.chromium!r}); install it with "
              "'apt-get install -y --no-install-recommends chromium'",
              file=sys.stderr)
        return 2

    ok = True
    for url, expected in args.page:
        ok = check_page(chromium, args.proxy, url, expected, args.timeout,
                        args.verbose) and ok
    if args.screenshot:
        ok = take_screenshot(chromium, args.proxy, args.screenshot_of,
                             args.screenshot, args.timeout, args.verbose) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
