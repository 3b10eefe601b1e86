"""Runs the built lyrd as a black box inside private namespaces.

Every daemon gets its own install tree (T/src/lyrd, T/www/settings.json,
T/www/media_root.txt), its own media directory, and runs in a fresh network
namespace (loopback up) and a private mount namespace whose /tmp and /run are
bind mounts of per-host folders, so tests can read what the daemon writes
there.  Hosts can be joined by veth pairs through a bridge living in a switch
namespace, giving each host addresses of its own.  Nothing here touches the
machine's own network namespace.

Sockets for talking to a host (HTTP, UDP) are created inside the host's
network namespace with setns(2) on a short-lived thread; a socket keeps its
namespace for life, so the test can use it from any thread afterwards.

    net = Network()
    host = net.add_host("a", addresses=["10.200.1.1/24"])
    d = host.start_daemon(settings={"LockstepEnabled": "1"})
    status, body = host.http("GET", "/lyrd/status")
    net.close()
"""

import ctypes
import http.client
import itertools
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)
_counter = itertools.count(1)

BUILD_DIR = os.environ.get(
    "LYRD_BUILD_DIR",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build"))
SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
HTTP_PORT = 32322

# Sanitizer reports of a daemon go to files in its host's /tmp (the runtime
# appends the pid), where the test fixtures look for them after each test;
# the daemon's own output would bury them.
SANITIZER_LOG = "lyrd-sanitizer"
SANITIZER_OPTION_VARS = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS")


def poll(fn, timeout=15.0, interval=0.2):
    """Calls fn until it returns something true or the time is up; its last value."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = fn()
        if last:
            return last
        time.sleep(interval)
    return last


def wait_until(cond, timeout=20.0, what="condition", interval=0.05):
    """cond's first true value; fails the test when the time is up."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        v = cond()
        if v:
            return v
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + what)


def build_sanitizers():
    """The sanitizers the daemon under test was built with ("" for none)."""
    try:
        with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("LYRD_SANITIZE:"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return ""


SANITIZED = build_sanitizers() != ""


def sanitizer_environment(environment, files_dir=None):
    """environment with every sanitizer's reports sent to the host's /tmp.

    Suppression files are copied to files_dir: the daemon's /tmp is the
    host's own, so a source tree below the machine's /tmp is out of its sight.
    """
    env = dict(environment)
    for var in SANITIZER_OPTION_VARS:
        opts = []
        for o in env.get(var, "").split(":"):
            if not o or o.startswith("log_path="):
                continue
            if o.startswith("suppressions=") and files_dir:
                src = o.split("=", 1)[1]
                if os.path.exists(src):
                    os.makedirs(files_dir, exist_ok=True)
                    dst = os.path.join(files_dir, os.path.basename(src))
                    shutil.copy2(src, dst)
                    o = "suppressions=" + dst
            opts.append(o)
        opts.append("log_path=/tmp/" + SANITIZER_LOG)
        env[var] = ":".join(opts)
    return env


def run(cmd, check=True, **kw):
    return subprocess.run(cmd, check=check, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def in_namespace(netns, fn):
    """Runs fn() on a thread that has joined the named network namespace."""
    result = {}

    def body():
        fd = os.open("/run/netns/" + netns, os.O_RDONLY)
        try:
            if _libc.setns(fd, CLONE_NEWNET) != 0:
                err = ctypes.get_errno()
                raise OSError(err, "setns failed: " + os.strerror(err))
            result["value"] = fn()
        except BaseException as exc:  # re-raised on the caller's thread
            result["error"] = exc
        finally:
            os.close(fd)

    t = threading.Thread(target=body)
    t.start()
    t.join()
    if "error" in result:
        raise result["error"]
    return result.get("value")


class Daemon:
    """One lyrd process inside a host's namespaces."""

    def __init__(self, host, args, proc, stdout_path):
        self.host = host
        self.args = args
        self.proc = proc
        self.stdout_path = stdout_path

    @property
    def pid(self):
        return self.proc.pid

    def log(self):
        try:
            with open(self.stdout_path, "r", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_for_log(self, text, timeout=10.0, start=0):
        """Waits until `text` appears in the output (after offset `start`)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            out = self.log()
            if text in out[start:]:
                return out
            if self.proc.poll() is not None:
                out = self.log()
                if text in out[start:]:
                    return out
                raise AssertionError("lyrd exited (%s) before logging %r:\n%s" % (self.proc.returncode, text, out[-4000:]))
            time.sleep(0.05)
        raise AssertionError("timed out waiting for %r in lyrd output:\n%s" % (text, self.log()[-4000:]))

    def wait_ready(self, timeout=15.0):
        return self.wait_for_log("Starting main processing loop", timeout)

    def running(self):
        return self.proc.poll() is None

    def signal(self, sig):
        if self.running():
            os.kill(self.proc.pid, sig)

    def wait_exit(self, timeout=15.0):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("lyrd did not exit within %ss:\n%s" % (timeout, self.log()[-4000:]))

    def stop(self, timeout=15.0):
        """SIGTERM, then SIGKILL if it does not end in time; returns the exit code."""
        if not self.running():
            return self.proc.returncode
        self.signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=5)
            raise AssertionError("lyrd ignored SIGTERM:\n%s" % self.log()[-4000:])


class Host:
    """A network namespace with its own install tree and media directory."""

    def __init__(self, net, name, addresses, bridges=None):
        self.net = net
        self.name = name
        self.netns = "%s-%s" % (net.prefix, name)
        self.addresses = [a.split("/")[0] for a in addresses if a]
        self.root = os.path.join(net.root, name)
        self.install = os.path.join(self.root, "install")
        self.media = os.path.join(self.root, "media")
        self.tmp = os.path.join(self.root, "tmp")    # the daemon's /tmp
        self.run_dir = os.path.join(self.root, "run")  # the daemon's /run
        self.daemons = []
        self.procs = []
        for d in (self.install, self.media, self.tmp, self.run_dir):
            os.makedirs(d, exist_ok=True)
        os.chmod(self.tmp, 0o1777)
        self._make_install_tree()
        run(["ip", "netns", "add", self.netns])
        self.exec(["ip", "link", "set", "lo", "up"])
        for i, addr in enumerate(addresses):
            net.attach(self, "eth%d" % i, addr, bridges[i] if bridges else "br0")

    def _make_install_tree(self):
        os.makedirs(os.path.join(self.install, "src"), exist_ok=True)
        os.makedirs(os.path.join(self.install, "www"), exist_ok=True)
        os.makedirs(os.path.join(self.install, "scripts"), exist_ok=True)
        shutil.copy2(os.path.join(BUILD_DIR, "src", "lyrd"), os.path.join(self.install, "src", "lyrd"))
        settings_json = os.path.join(BUILD_DIR, "www", "settings.json")
        if not os.path.exists(settings_json):
            settings_json = os.path.join(SOURCE_DIR, "www", "settings.json")
        shutil.copy2(settings_json, os.path.join(self.install, "www", "settings.json"))
        # The web page's files need no build: the source tree's are current.
        shutil.copytree(os.path.join(SOURCE_DIR, "www", "ui"), os.path.join(self.install, "www", "ui"))
        shutil.copy2(os.path.join(SOURCE_DIR, "scripts", "get_uuid"), os.path.join(self.install, "scripts", "get_uuid"))
        with open(os.path.join(self.install, "www", "media_root.txt"), "w") as f:
            f.write(self.media + "\n")

    # ---- files of the media directory
    def write_settings(self, values):
        """Writes the media directory's settings file (name = "value" lines)."""
        with open(os.path.join(self.media, "settings"), "w") as f:
            for k, v in values.items():
                f.write('%s = "%s"\n' % (k, v))

    def write_file(self, relpath, content, mode=None):
        path = os.path.join(self.media, relpath)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = json.dumps(content, indent=2) if isinstance(content, (dict, list)) else content
        with open(path, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)
        if mode is not None:
            os.chmod(path, mode)
        return path

    def read_file(self, relpath):
        with open(os.path.join(self.media, relpath), "r", errors="replace") as f:
            return f.read()

    # ---- processes
    def command(self, argv):
        """argv wrapped to run inside this host's namespaces."""
        script = ('mount --make-rprivate / && mount --bind "$1" /tmp && mount --bind "$2" /run && '
                  'shift 2 && exec "$@"')
        return ["ip", "netns", "exec", self.netns, "unshare", "-m", "sh", "-c", script, "sh",
                self.tmp, self.run_dir] + list(argv)

    def exec(self, argv, check=True, timeout=30, **kw):
        """Runs a command in the network namespace (shared mounts) and waits."""
        return run(["ip", "netns", "exec", self.netns] + list(argv), check=check, timeout=timeout, **kw)

    def spawn(self, argv, **kw):
        """Starts a helper process (broker, server) in this host's namespaces."""
        p = subprocess.Popen(self.command(argv), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
        self.procs.append(p)
        return p

    def start_daemon(self, args=("-f",), settings=None, wait=True, env=None, timeout=15.0):
        if settings is not None:
            self.write_settings(settings)
        stdout_path = os.path.join(self.root, "lyrd-%d.out" % len(self.daemons))
        out = open(stdout_path, "w")
        environment = dict(os.environ)
        environment.update(env or {})
        environment = sanitizer_environment(environment, os.path.join(self.root, "sanitizers"))
        proc = subprocess.Popen(self.command([os.path.join(self.install, "src", "lyrd")] + list(args)),
                                stdout=out, stderr=subprocess.STDOUT, env=environment)
        out.close()
        d = Daemon(self, args, proc, stdout_path)
        self.daemons.append(d)
        if wait:
            d.wait_ready(timeout)
        return d

    def run_lyrd(self, args, timeout=15):
        """Runs lyrd to completion (for options that exit) and returns the result."""
        return run(self.command([os.path.join(self.install, "src", "lyrd")] + list(args)), check=False,
                   timeout=timeout, env=sanitizer_environment(os.environ, os.path.join(self.root, "sanitizers")))

    def sanitizer_reports(self):
        """(file name, text) of every sanitizer report a daemon of this host wrote."""
        reports = []
        for name in sorted(os.listdir(self.tmp)):
            if name.startswith(SANITIZER_LOG):
                with open(os.path.join(self.tmp, name), "r", errors="replace") as f:
                    reports.append((name, f.read()))
        return reports

    # ---- sockets inside the namespace
    def socket(self, family=socket.AF_INET, type=socket.SOCK_STREAM):
        return in_namespace(self.netns, lambda: socket.socket(family, type))

    def connect(self, port=HTTP_PORT, address="127.0.0.1", timeout=10.0):
        def do():
            s = socket.create_connection((address, port), timeout=timeout)
            return s
        return in_namespace(self.netns, do)

    def http(self, method, path, body=None, headers=None, timeout=10.0, address="127.0.0.1"):
        """One HTTP request to the daemon; returns (status, content type, body text)."""
        conn = http.client.HTTPConnection(address, HTTP_PORT, timeout=timeout)
        conn.sock = self.connect(HTTP_PORT, address, timeout)
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        conn.request(method, path, body=body, headers=headers or {})
        resp = conn.getresponse()
        data = resp.read().decode("utf-8", errors="replace")
        ctype = resp.getheader("Content-Type", "")
        conn.close()
        return resp.status, ctype, data

    def http_json(self, method, path, body=None, timeout=10.0):
        status, _, data = self.http(method, path, body, timeout=timeout)
        return status, json.loads(data) if data else None

    def wait_http(self, path="/lyrd/status", timeout=15.0):
        """Polls until the HTTP API answers; returns (status, body)."""
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            try:
                st, _, data = self.http("GET", path, timeout=2.0)
                return st, data
            except OSError as exc:
                last = exc
                time.sleep(0.1)
        raise AssertionError("HTTP API did not answer %s: %s" % (path, last))

    def stop_daemons(self):
        for d in self.daemons:
            if d.running() and SANITIZED:
                # An orderly stop lets the sanitizers check the shutdown path
                # and look for leaks; a killed daemon reports nothing.
                d.signal(signal.SIGTERM)
                try:
                    d.proc.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    pass
            if d.running():
                d.proc.kill()
                d.proc.wait(timeout=5)

    def close(self):
        self.stop_daemons()
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait(timeout=5)
        run(["ip", "netns", "del", self.netns], check=False)


class Network:
    """A set of hosts; hosts with addresses share one bridge in a switch namespace."""

    def __init__(self):
        self.prefix = "lyrd%d-%d" % (os.getpid(), next(_counter))
        base = os.environ.get("LYRD_TEST_TMP", "/var/tmp")
        self.root = tempfile.mkdtemp(prefix="lyrd-test-", dir=base)
        os.chmod(self.root, 0o755)
        self.hosts = {}
        self.switch = None
        self._veth = itertools.count(1)

    def add_host(self, name, addresses=(), bridges=None):
        """A host with one interface per address (None: an interface without
        one), each on the bridge of the same index in bridges (default: all
        on "br0")."""
        h = Host(self, name, list(addresses), list(bridges) if bridges else None)
        self.hosts[name] = h
        return h

    def _ensure_switch(self, bridge="br0"):
        if not self.switch:
            self.switch = self.prefix + "-sw"
            self.bridges = set()
            run(["ip", "netns", "add", self.switch])
        if bridge in self.bridges:
            return
        run(["ip", "netns", "exec", self.switch, "ip", "link", "add", bridge, "type", "bridge"])
        run(["ip", "netns", "exec", self.switch, "ip", "link", "set", bridge, "up"])
        self.bridges.add(bridge)

    def attach(self, host, ifname, address, bridge="br0"):
        """Joins host to a bridge with a veth pair named ifname on the host's
        side; address None leaves the interface without one."""
        self._ensure_switch(bridge)
        n = next(self._veth)
        outer = "v%d" % n
        run(["ip", "link", "add", ifname, "netns", host.netns, "type", "veth", "peer", "name", outer,
             "netns", self.switch])
        run(["ip", "netns", "exec", self.switch, "ip", "link", "set", outer, "master", bridge])
        run(["ip", "netns", "exec", self.switch, "ip", "link", "set", outer, "up"])
        if address:
            host.exec(["ip", "addr", "add", address, "dev", ifname])
        host.exec(["ip", "link", "set", ifname, "up"])

    def link(self, host_name, ifname):
        return self.hosts[host_name], ifname

    def close_daemons(self):
        for h in self.hosts.values():
            h.stop_daemons()

    def sanitizer_reports(self):
        """(host name, file name, text) of every sanitizer report written so far."""
        return [(h.name, name, text) for h in self.hosts.values() for name, text in h.sanitizer_reports()]

    def close(self):
        for h in self.hosts.values():
            h.close()
        if self.switch:
            run(["ip", "netns", "del", self.switch], check=False)
        shutil.rmtree(self.root, ignore_errors=True)


class Relay:
    """bench/lossy_relay.py in a host of its own with one leg on each of two
    bridges: hosts on either bridge share one LAN, and UDP on the chosen
    ports crosses with the given delay, jitter and loss."""

    def __init__(self, net, name, bridges, delay_ms=1.0, jitter_ms=0.5, loss_percent=1.0,
                 ports=(32320, 5568), seed=1):
        self.host = net.add_host(name, addresses=[None, None], bridges=bridges)
        self.stats_path = os.path.join(self.host.tmp, "relay-stats.json")
        script = os.path.join(SOURCE_DIR, "bench", "lossy_relay.py")
        argv = ["/usr/bin/python3", script, "--legs", "eth0", "eth1", "--delay-ms", str(delay_ms),
                "--jitter-ms", str(jitter_ms), "--loss-percent", str(loss_percent), "--seed", str(seed),
                "--stats", "/tmp/relay-stats.json", "--ports"] + [str(p) for p in ports]
        self.proc = self.host.spawn(argv)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.stats_path):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("the relay did not start (exit %s)" % self.proc.poll())
            time.sleep(0.05)

    def stats(self):
        with open(self.stats_path) as f:
            return json.load(f)

    def stop(self):
        """Ends the relay; returns its final counts."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        return self.stats()


def can_run():
    """True when this machine lets us make namespaces (root with iproute2)."""
    return os.geteuid() == 0 and shutil.which("ip") is not None and shutil.which("unshare") is not None


# ---- what /proc tells of a daemon, for benchmarks and long runs ----

def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_ticks(pid):
    """utime + stime, in clock ticks."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])
