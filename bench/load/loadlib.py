"""Shared pieces of the load scripts: a throw-away gateway setup, the peer, wrk runs.

Everything listens on 127.0.0.1 only and lives in one temporary directory.
"""

import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
API_KEY = "load-key-6c1e0b9d"


def log(*args):
    print(*args, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def find_gateway(build_dir):
    path = os.path.join(build_dir, "src", "tolvan", "tolvan")
    if not os.access(path, os.X_OK):
        sys.exit(f"no gateway program at {path}: build the 'tolvan' target first "
                 f"(cmake --build {build_dir} --target tolvan)")
    return path


def build_bare_spawn(out_dir):
    exe = os.path.join(out_dir, "bare_spawn")
    subprocess.run(["g++", "-O2", "-std=c++20", "-pthread", os.path.join(HERE, "bare_spawn.cpp"),
                    "-o", exe], check=True)
    return exe


class Gateway:
    """One gateway process with its own configuration in a temporary directory."""

    def __init__(self, exe, workdir, aliases, max_runs=64, name="gw"):
        self.exe = exe
        self.dir = os.path.join(workdir, name)
        self.port = free_port()
        for sub in ("aliases.d", "auth.d", "shared", "logs"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        for alias_name, text in aliases.items():
            self.write(f"aliases.d/{alias_name}.yaml", text)
        self.write_auth(list(aliases))
        self.app_log = os.path.join(self.dir, "logs", "app.log")
        self.audit_log = os.path.join(self.dir, "logs", "audit.log")
        self.conf = self.write("tolvan.conf", "\n".join([
            "ListenAddress 127.0.0.1",
            f"ListenPort {self.port}",
            f"AliasDir {self.dir}/aliases.d",
            f"AuthDir {self.dir}/auth.d",
            f"SharedDir {self.dir}/shared",
            f"LogDir {self.dir}/logs",
            f"PidFile {self.dir}/tolvan.pid",
            f"AppLog {self.app_log} warn",
            f"AuditLog {self.audit_log}",
            f"MaxConcurrentRuns {max_runs}",
            "",
        ]))
        self.proc = None

    def write(self, rel, text):
        path = os.path.join(self.dir, rel)
        with open(path, "w") as f:
            f.write(text)
        return path

    def write_auth(self, aliases):
        self.write("auth.d/users.yaml",
                   f"- username: load\n  api_keys: [{API_KEY}]\n  aliases: [{', '.join(aliases)}]\n")

    def url(self, alias):
        return f"http://127.0.0.1:{self.port}/run/{alias}"

    def start(self):
        self.stderr = open(os.path.join(self.dir, "stderr.log"), "w")
        self.proc = subprocess.Popen([self.exe, "--config", self.conf], cwd=self.dir,
                                     stdout=self.stderr, stderr=subprocess.STDOUT)
        wait_http(f"http://127.0.0.1:{self.port}/health", self.proc, "gateway")
        return self

    @property
    def pid(self):
        return self.proc.pid

    def stop(self):
        stop_process(self.proc)


class Webhook:
    """The peer: one hook that runs `/bin/sh -c 'echo hello'`, guarded by the same API key."""

    def __init__(self, workdir):
        self.dir = os.path.join(workdir, "peer")
        os.makedirs(self.dir, exist_ok=True)
        self.port = free_port()
        self.hooks = os.path.join(self.dir, "hooks.json")
        with open(self.hooks, "w") as f:
            f.write('[{"id": "hello", "execute-command": "/bin/sh",'
                    ' "pass-arguments-to-command": [{"source": "string", "name": "-c"},'
                    ' {"source": "string", "name": "echo hello"}],'
                    ' "include-command-output-in-response": true,'
                    ' "trigger-rule": {"match": {"type": "value", "value": "%s",'
                    ' "parameter": {"source": "header", "name": "X-API-Key"}}}}]\n' % API_KEY)
        self.proc = None

    def url(self):
        return f"http://127.0.0.1:{self.port}/hooks/hello"

    def start(self):
        self.out = open(os.path.join(self.dir, "webhook.log"), "w")
        self.proc = subprocess.Popen(["webhook", "-hooks", self.hooks, "-ip", "127.0.0.1",
                                      "-port", str(self.port)],
                                     stdout=self.out, stderr=subprocess.STDOUT)
        wait_http(f"http://127.0.0.1:{self.port}/hooks/none", self.proc, "webhook",
                  any_status=True)
        return self

    def stop(self):
        stop_process(self.proc)


def wait_http(url, proc, what, any_status=False, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit(f"{what} exited with status {proc.returncode} before answering")
        try:
            with urllib.request.urlopen(url, timeout=2) as r:
                if r.status == 200:
                    return
        except urllib.error.HTTPError:
            if any_status:
                return
        except OSError:
            pass
        time.sleep(0.1)
    stop_process(proc)
    sys.exit(f"{what} did not answer {url} within {timeout} s")


def stop_process(proc):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=15)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def post(url, timeout=10):
    req = urllib.request.Request(url, data=b"", method="POST", headers={"X-API-Key": API_KEY})
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


UNITS = {"us": 0.001, "ms": 1.0, "s": 1000.0, "m": 60000.0}


def to_ms(text):
    m = re.fullmatch(r"([0-9.]+)(us|ms|s|m)", text)
    return float(m.group(1)) * UNITS[m.group(2)] if m else float("nan")


def wrk(url, conns, seconds, script="post.lua", threads=None, env_extra=None, timeout_s=10):
    """One wrk run. Returns a dict: rps, p50, p99 (ms), requests, errors, check (text)."""
    threads = threads or min(2, conns)
    env = dict(os.environ, LOAD_API_KEY=API_KEY, LOAD_THREADS=str(threads))
    env.update(env_extra or {})
    cmd = ["wrk", f"-t{threads}", f"-c{conns}", f"-d{seconds}s", f"--timeout={timeout_s}s",
           "--latency", "-s", os.path.join(HERE, script), url]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True,
                         timeout=seconds + 60).stdout
    res = {"rps": float("nan"), "p50": float("nan"), "p99": float("nan"), "requests": 0,
           "errors": 0, "non2xx": 0, "check": "", "raw": out}
    if m := re.search(r"Requests/sec:\s+([0-9.]+)", out):
        res["rps"] = float(m.group(1))
    if m := re.search(r"^\s+50%\s+(\S+)", out, re.M):
        res["p50"] = to_ms(m.group(1))
    if m := re.search(r"^\s+99%\s+(\S+)", out, re.M):
        res["p99"] = to_ms(m.group(1))
    if m := re.search(r"(\d+) requests in ([0-9.]+)(\w+)", out):
        res["requests"] = int(m.group(1))
        res["elapsed_s"] = to_ms(m.group(2) + m.group(3)) / 1000.0
    if m := re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out):
        res["errors"] = sum(int(x) for x in m.groups())
    if m := re.search(r"Non-2xx or 3xx responses: (\d+)", out):
        res["non2xx"] = int(m.group(1))
    if m := re.search(r"^check: .*$", out, re.M):
        res["check"] = m.group(0)
    return res


def median(values):
    values = [v for v in values if v == v]
    return statistics.median(values) if values else float("nan")


def proc_sample(pid):
    """(open descriptors, resident memory in KiB) of a process."""
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return fds, rss


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def workdir():
    return tempfile.mkdtemp(prefix="tolvan-load-")


HELLO_ALIAS = """name: hello
type: process
mode: inline
command: echo hello
output:
  single_value:
    source: "%stdOut"
    content-type: text/plain
"""
