"""The forwarding proxy host with the Nuv plug-in, and what it needs around it, for the demo, the
end-to-end tests and the proxy benchmark.

Everything runs in the build folder's Wine prefix (prepared and with its wineserver running, as
after scripts/prepare-test-prefix.sh): the plug-in registered for the proxy host, the install
folder (the build's bin folder, which holds Nuv.dll and NuvRes2.dll), the proxy host in a suite
folder of its own with the suite's MUI runtime beside it (where the plug-in finds it by name; the
test programs in bin must not), the reputation service's address, the search engines of safe
search. The
configuration service's users come from a state file given to the host process. Servers bind
127.0.0.1 on free ports and are stopped by process id.
"""

import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLUGIN_CLSID = "{08533142-6DAA-40C0-829F-098475E66646}"

# Safe search for the demo's and the tests' search engine: "safe=active" added to its queries.
SEARCH_ENGINES = (
    "[Finder]\r\nEnabledValue=active\r\nIdentifier=safe\r\nType=QueryString\r\n"
    "URL=www.finder.example/search|\r\n"
)

# The category the protected user may not reach: adult content (what the reputation stand-in
# answers for adult.test).
ADULT_MASK = "00000000040000000000000000000000"


def protected_user_state(blocked_sites, session=1, user="child", safe_search=True, category_mask=ADULT_MASK):
    """A configuration-service state: one protected user signed in to `session`."""
    lines = [
        f"user {user} {user}",
        f"setting {user} 199 text {user}",
        f"setting {user} 200 text {user}",
        f"setting {user} 315 bool true",
        f"setting {user} 310 bool {'true' if safe_search else 'false'}",
        f"setting {user} 311 text {category_mask}",
        f"setting {user} 312 int 0",
        f"setting {user} 313 text {' '.join(blocked_sites)}",
        f"signin {session} {user}",
    ]
    return "\n".join(lines) + "\n"


class Process:
    def __init__(self, name, popen, log, port, commands=None):
        self.name, self.popen, self.log, self.port = name, popen, log, port
        self.commands = commands

    def configure(self, *lines):
        """Lines for the configuration stand-in inside the proxy host (state lines, "event changed")."""
        with open(self.commands, "a") as f:
            f.write("".join(line + "\n" for line in lines))

    @property
    def pid(self):
        return self.popen.pid

    def stop(self, sig=signal.SIGINT, grace=20):
        """Asks the process to stop (SIGINT: Wine hands it to the console handler), then kills it."""
        if self.popen.poll() is None:
            try:
                os.kill(self.pid, sig)
                self.popen.wait(grace)
            except subprocess.TimeoutExpired:
                os.kill(self.pid, signal.SIGKILL)
                self.popen.wait(10)
            except ProcessLookupError:
                pass
        return self.popen.returncode


class Env:
    def __init__(self, build_dir):
        self.build = os.path.abspath(build_dir)
        self.bin = os.path.join(self.build, "bin")
        self.prefix = os.environ.get("WINEPREFIX") or os.path.join(self.build, "wineprefix")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
        self.work = os.path.join(self.build, "proxy-e2e")
        self.suite = os.path.join(self.work, "suite")
        os.makedirs(self.work, exist_ok=True)
        self.processes = []

    # -- Wine ---------------------------------------------------------------------------------
    def wine(self, *args, env=None, timeout=120):
        run_env = dict(self.env, **(env or {}))
        return subprocess.run(["wine", *args], env=run_env, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=timeout)

    def windows_path(self, path):
        # The prefix maps Z: to the root of the file system: no Wine process is needed for that
        # (one full run saw winepath fail at the start of the end-to-end test).
        drive_z = os.path.join(self.prefix, "dosdevices", "z:")
        if os.path.islink(drive_z) and os.readlink(drive_z) == "/":
            return "Z:" + os.path.abspath(path).replace("/", "\\")
        result = subprocess.run(["winepath", "-w", path], env=self.env, capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"winepath -w {path} exited with {result.returncode}: {result.stderr.strip()}")
        return result.stdout.strip()

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    def reputation_host(self):
        """"localhost:<port>" of the running reputation stand-in, or None."""
        info = os.path.join(self.build, "reputation-standin", "info.txt")
        try:
            https_port, control_port, _ = open(info).read().split()
        except (OSError, ValueError):
            return None
        self.reputation_control = int(control_port)
        return f"localhost:{https_port}"

    def prepare_machine(self):
        """The machine as the suite's and the product's installers leave it."""
        host = self.wine(os.path.join(self.bin, "QvProxyHost.exe"), "install-plugin", PLUGIN_CLSID, "NUV", "1")
        if host.returncode != 0:
            raise RuntimeError("cannot list the plug-in for the proxy host: " + host.stdout + host.stderr)
        reputation = self.reputation_host()
        lines = ["REGEDIT4", "", r"[HKEY_LOCAL_MACHINE\SOFTWARE\Oberix\NUV]",
                 '"Install Dir"="%s"' % self.windows_path(self.bin).replace("\\", "\\\\"), ""]
        if reputation:
            lines += [r"[HKEY_LOCAL_MACHINE\SOFTWARE\Oberix\NUV\Settings\default]", f'"ReputationHost"="{reputation}"', ""]
        # The host firewall's control library (its stand-in), named in the 32-bit registry view.
        lines += [r"[HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\Oberix\Kernova]",
                  '"szInstallDir64"="%s"' % self.windows_path(os.path.join(self.bin, "hostfirewall")).replace("\\", "\\\\"), ""]
        reg = os.path.join(self.work, "machine.reg")
        with open(reg, "w", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        result = self.wine("regedit", "/S", self.windows_path(reg))
        if result.returncode != 0:
            raise RuntimeError("regedit failed: " + result.stderr)
        os.makedirs(self.suite, exist_ok=True)
        for source in (os.path.join(self.bin, "QvProxyHost.exe"), os.path.join(self.bin, "rtmui", "QvRtMui.dll")):
            shutil.copyfile(source, os.path.join(self.suite, os.path.basename(source)))
        data = self.drive_c("ProgramData", "Oberix", "NUV")
        os.makedirs(data, exist_ok=True)
        with open(os.path.join(data, "searchengines.ini"), "w", newline="") as f:
            f.write(SEARCH_ENGINES)

    # -- servers ------------------------------------------------------------------------------
    def _wait_for(self, predicate, timeout, what, process):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = predicate()
            if value:
                return value
            if process.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError(f"{what} did not start")

    def start_origin(self):
        info = os.path.join(self.work, f"origin-{os.getpid()}.txt")
        if os.path.exists(info):
            os.remove(info)
        log = open(os.path.join(self.work, "origin.log"), "w")
        popen = subprocess.Popen([sys.executable, os.path.join(ROOT, "suite", "origin", "origin.py"), "--info", info],
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)

        def port():
            try:
                return int(open(info).read().split()[0])
            except (OSError, ValueError, IndexError):
                return None

        process = Process("origin", popen, log.name, self._wait_for(port, 30, "the origin", popen))
        self.processes.append(process)
        return process

    def start_proxy(self, state_text=None, upstream=None, plugin=True, session=1, name="proxy", idle_timeout_ms=None):
        """The proxy host serving on a free port; the configuration service starts with `state_text`.
        `idle_timeout_ms`: when it closes a client connection on which nothing moves (its default: 60 s)."""
        env = dict(self.env)
        if state_text is not None:
            state = os.path.join(self.work, f"{name}-state.txt")
            with open(state, "w") as f:
                f.write(state_text)
            env["QvPSConfig_STATE"] = self.windows_path(state)
        # What the host firewall's stand-in inside the host holds, after every change.
        firewall_state = os.path.join(self.work, f"{name}-firewall.txt")
        if os.path.exists(firewall_state):
            os.remove(firewall_state)
        env["ZRTFW_STANDIN_STATE"] = self.windows_path(firewall_state)
        commands = os.path.join(self.work, f"{name}-commands.txt")
        open(commands, "w").close()
        env["QvPSConfig_COMMANDS"] = self.windows_path(commands)
        args = ["wine", os.path.join(self.suite, "QvProxyHost.exe"), "serve", "--port", "0", "--session", str(session)]
        if upstream:
            args += ["--upstream", upstream]
        if not plugin:
            args.append("--no-plugin")
        if idle_timeout_ms is not None:
            args += ["--idle-timeout-ms", str(idle_timeout_ms)]
        log_path = os.path.join(self.work, f"{name}.log")
        log = open(log_path, "w")
        popen = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                 start_new_session=True)

        def port():
            for line in open(log_path, errors="replace"):
                if line.startswith("listening 127.0.0.1:"):
                    return int(line.split(":")[1])
            return None

        try:
            listening = self._wait_for(port, 120, "the proxy host", popen)
        except RuntimeError:
            popen.kill()
            raise RuntimeError("the proxy host did not start:\n" + open(log_path, errors="replace").read())
        process = Process(name, popen, log_path, listening, commands)
        process.firewall_state = firewall_state
        self.processes.append(process)
        return process

    def stop_all(self):
        for process in reversed(self.processes):
            process.stop()
        self.processes.clear()


def prepared_env(build_dir):
    """An Env with the machine prepared, or None (said why) when the reputation stand-in does not run."""
    env = Env(build_dir)
    if env.reputation_host() is None:
        print("the reputation service's stand-in does not run (scripts/reputation-standin.sh, or ctest's fixture)")
        return None
    env.prepare_machine()
    return env


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def curl(url, *extra, proxy_port=None):
    """(status, header block, body) of one fetch with curl, through the proxy when a port is given."""
    with tempfile.TemporaryDirectory() as folder:
        headers, body = os.path.join(folder, "h"), os.path.join(folder, "b")
        args = ["curl", "-sS", "--max-time", "60", "-D", headers, "-o", body]
        if proxy_port is not None:
            args += ["-x", f"http://127.0.0.1:{proxy_port}"]
        result = subprocess.run(args + list(extra) + [url], capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"curl {url} failed ({result.returncode}): {result.stderr.strip()}")
        # The last header block: an upload first gets "100 Continue".
        head = open(headers, "rb").read().decode("latin-1").strip("\r\n").split("\r\n\r\n")[-1]
        return int(head.split()[1]), head, open(body, "rb").read()


def header(head, name):
    for line in head.split("\r\n"):
        if line.lower().startswith(name.lower() + ":"):
            return line.split(":", 1)[1].strip()
    return None


def origin_records(origin, clear=False):
    """What the origin received (suite/origin/origin.py), asked directly."""
    url = f"http://127.0.0.1:{origin.port}/records" + ("?clear=1" if clear else "")
    with urllib.request.urlopen(url, timeout=10) as answer:
        return json.loads(answer.read())


def reputation_records(env, key):
    """The reputation stand-in's requests for a URL (after Env.reputation_host())."""
    url = f"http://127.0.0.1:{env.reputation_control}/records?key={urllib.parse.quote(key, safe='')}"
    with urllib.request.urlopen(url, timeout=10) as answer:
        return json.loads(answer.read())
