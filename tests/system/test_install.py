"""`make install` lays out the tree the daemon finds its files in, with a
systemd unit; the installed daemon starts from that tree in a namespace, serves
its API, and tells a service manager (a datagram socket this test listens on)
that it is ready, alive, and stopping."""

import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import time

import pytest

import harness
from cmdclient import CommandClient

SOURCE_DIR = os.path.abspath(harness.SOURCE_DIR)
BUILD_DIR = os.path.abspath(harness.BUILD_DIR)


def make(*args, env=None):
    r = subprocess.run(["make", "-C", SOURCE_DIR, "BUILD=" + BUILD_DIR] + list(args),
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600, env=env)
    assert r.returncode == 0, r.stdout[-4000:]
    return r.stdout


def tree(root):
    """Every file below root, as paths relative to it."""
    found = set()
    for d, _, files in os.walk(root):
        for f in files:
            found.add(os.path.relpath(os.path.join(d, f), root))
    return found


def read(path):
    with open(path) as f:
        return f.read()


def unit_values(text):
    """key -> value of the unit file's assignments (the last one wins)."""
    values = {}
    for line in text.splitlines():
        line = line.strip()
        if line and not line.startswith(("#", "[")) and "=" in line:
            k, v = line.split("=", 1)
            values[k] = v
    return values


@pytest.fixture
def stage():
    root = os.path.join("/var/tmp", "lyrd-install-%d" % os.getpid())
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    yield root
    shutil.rmtree(root, ignore_errors=True)


class TestStagedInstall:
    def test_layout_unit_reinstall_and_uninstall(self, stage):
        dest = os.path.join(stage, "dest")
        make("install", "DESTDIR=" + dest)
        www = {"opt/lyrd/www/" + f for f in tree(os.path.join(SOURCE_DIR, "www"))}  # the whole folder
        assert "opt/lyrd/www/settings.json" in www
        assert tree(dest) == www | {
            "opt/lyrd/src/lyrd", "opt/lyrd/www/media_root.txt",
            "opt/lyrd/scripts/get_uuid", "etc/systemd/system/lyrd.service", "home/lyr/media/settings"}
        for exe in ("opt/lyrd/src/lyrd", "opt/lyrd/scripts/get_uuid"):
            assert os.stat(os.path.join(dest, exe)).st_mode & stat.S_IXUSR, exe
        assert read(os.path.join(dest, "opt/lyrd/www/settings.json")) == read(
            os.path.join(SOURCE_DIR, "www/settings.json"))
        # The pointer names the media directory as the board will see it, without the staging root.
        assert read(os.path.join(dest, "opt/lyrd/www/media_root.txt")).strip() == "/home/lyr/media"

        unit = read(os.path.join(dest, "etc/systemd/system/lyrd.service"))
        v = unit_values(unit)
        assert v["Type"] == "notify"
        assert v["ExecStart"] == "/opt/lyrd/src/lyrd -f"
        assert v["Restart"] == "on-failure"
        assert v["KillSignal"] == "SIGTERM"
        assert int(v["WatchdogSec"].rstrip("s")) >= 10
        assert int(v["TimeoutStopSec"].rstrip("s")) >= 15
        assert v["WantedBy"] == "multi-user.target"
        assert not re.search(r"@[A-Z_]+@", unit)  # every placeholder filled in
        # The service account, and the media directory it may write.
        assert v["User"] == "lyr" and v["ProtectSystem"] == "strict" and v["BindPaths"] == "/home/lyr/media"

        # A reinstall upgrades the program but keeps the user's media pointer and settings.
        with open(os.path.join(dest, "opt/lyrd/www/media_root.txt"), "w") as f:
            f.write("/srv/show\n")
        with open(os.path.join(dest, "home/lyr/media/settings"), "w") as f:
            f.write('HostName = "porch"\n')
        make("install", "DESTDIR=" + dest)
        assert read(os.path.join(dest, "opt/lyrd/www/media_root.txt")) == "/srv/show\n"
        assert read(os.path.join(dest, "home/lyr/media/settings")) == 'HostName = "porch"\n'
        assert os.path.isdir(os.path.join(dest, "srv/show"))  # the media directory it names

        make("uninstall", "DESTDIR=" + dest)
        left = tree(dest)
        assert not any(p.startswith(("opt/", "etc/")) for p in left), left
        assert "home/lyr/media/settings" in left  # the show stays
        assert not os.path.exists(os.path.join(dest, "opt/lyrd"))

    def test_prefix_and_unit_folder_are_honoured(self, stage):
        dest = os.path.join(stage, "dest")
        make("install", "DESTDIR=" + dest, "PREFIX=/usr/local/lyrd", "MEDIA_DIR=/srv/lights",
             "UNIT_DIR=/lib/systemd/system")
        files = tree(dest)
        assert "usr/local/lyrd/src/lyrd" in files
        assert "lib/systemd/system/lyrd.service" in files
        assert "srv/lights/settings" in files
        unit = unit_values(read(os.path.join(dest, "lib/systemd/system/lyrd.service")))
        assert unit["ExecStart"] == "/usr/local/lyrd/src/lyrd -f"
        assert unit["BindPaths"] == "/srv/lights"
        assert read(os.path.join(dest, "usr/local/lyrd/www/media_root.txt")).strip() == "/srv/lights"

    def test_systemd_accepts_the_unit(self, stage):
        if not shutil.which("systemd-analyze"):
            pytest.skip("systemd-analyze not installed")
        prefix = os.path.join(stage, "opt", "lyrd")
        units = os.path.join(stage, "units")
        make("install", "PREFIX=" + prefix, "MEDIA_DIR=" + os.path.join(stage, "media"), "UNIT_DIR=" + units)
        r = subprocess.run(["systemd-analyze", "verify", os.path.join(units, "lyrd.service")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
        complaints = [l for l in r.stdout.splitlines() if "lyrd.service" in l]
        assert r.returncode == 0 and not complaints, r.stdout


class NotifyListener:
    """The service manager's end of NOTIFY_SOCKET: collects (time, message)."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.messages = []

    def _receive(self, timeout):
        self.sock.settimeout(max(0.01, timeout))
        try:
            data = self.sock.recv(4096)
        except socket.timeout:
            return False
        self.messages.append((time.monotonic(), data.decode()))
        return True

    def wait_for(self, text, start=0, timeout=20.0):
        """Index of the first message from `start` on that carries the line `text`."""
        deadline = time.monotonic() + timeout
        checked = start
        while True:
            for i in range(checked, len(self.messages)):
                if text in self.messages[i][1].split("\n"):
                    return i
            checked = max(checked, len(self.messages))
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r from the daemon; got %r" % (text, self.states()))
            self._receive(left)

    def collect(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self._receive(deadline - time.monotonic())

    def states(self):
        return [m.split("\n")[0] for _, m in self.messages]

    def close(self):
        self.sock.close()


def start_installed(host, prefix, env):
    """Runs <prefix>/src/lyrd -f in the host's namespaces, as the unit would."""
    out_path = os.path.join(host.root, "installed.out")
    out = open(out_path, "w")
    environment = dict(os.environ)
    environment.update(env)
    proc = subprocess.Popen(host.command([os.path.join(prefix, "src", "lyrd"), "-f"]), stdout=out,
                            stderr=subprocess.STDOUT, env=environment)
    out.close()
    d = harness.Daemon(host, ["-f"], proc, out_path)
    host.daemons.append(d)
    return d


def test_installed_daemon_serves_and_talks_to_the_service_manager(host):
    prefix = os.path.join(host.root, "opt", "lyrd")
    media = os.path.join(host.root, "board-media")
    make("install", "PREFIX=" + prefix, "MEDIA_DIR=" + media, "UNIT_DIR=" + os.path.join(host.root, "units"))
    listener = NotifyListener(os.path.join(host.root, "notify"))
    try:
        d = start_installed(host, prefix, {"NOTIFY_SOCKET": listener.path, "WATCHDOG_USEC": "1000000"})
        ready = listener.wait_for("READY=1")
        out = d.wait_ready()
        # Paths come from the install tree: settings description, media pointer, UUID.
        for complaint in ("Attempted to load settings file", "settings.json", "Couldn't find UUID"):
            assert complaint not in out, out[-3000:]
        assert os.path.isdir(os.path.join(media, "playlists"))
        st, body = host.wait_http("/lyrd/status")
        assert st == 200 and '"status_name"' in body

        # Fed from the loop at half the interval: 0.5 s apart over a few seconds.
        listener.collect(3.0)
        feeds = [t for t, m in listener.messages[ready:] if m == "WATCHDOG=1"]
        assert len(feeds) >= 4, listener.states()
        gaps = [b - a for a, b in zip(feeds, feeds[1:])]
        assert all(g > 0.3 for g in gaps), gaps  # paced, not once per loop turn

        began = time.monotonic()
        d.signal(signal.SIGTERM)
        listener.wait_for("STOPPING=1")
        assert d.wait_exit(timeout=25) == 0
        # The unit's TimeoutStopSec must cover the orderly tear-down.
        print("tear-down took %.2f s" % (time.monotonic() - began))
        states = listener.states()
        assert states.index("READY=1") < states.index("STOPPING=1")
        assert "RELOADING=1" not in states
    finally:
        listener.close()


def test_restart_in_place_reports_reloading_then_ready_again(host):
    prefix = os.path.join(host.root, "opt", "lyrd")
    make("install", "PREFIX=" + prefix, "MEDIA_DIR=" + os.path.join(host.root, "board-media"),
         "UNIT_DIR=" + os.path.join(host.root, "units"))
    listener = NotifyListener(os.path.join(host.root, "notify"))
    try:
        d = start_installed(host, prefix, {"NOTIFY_SOCKET": listener.path, "WATCHDOG_USEC": "2000000"})
        listener.wait_for("READY=1")
        c = CommandClient(host)
        c.wait_ready()
        c.send("restart")
        reloading = listener.wait_for("RELOADING=1")
        listener.wait_for("READY=1", start=reloading, timeout=30)
        assert "READY=1" in listener.states()[reloading:], listener.states()
        assert "STOPPING=1" not in listener.states()  # a service manager would otherwise stop it
        assert d.running()
        c.close()
        assert d.stop() == 0
    finally:
        listener.close()


def test_a_stalled_main_loop_stops_feeding_the_watchdog(host):
    # The command socket's "q" holds the main loop for about three seconds
    # while a playlist plays (stop, wait, shut down, wait): a watchdog fed from
    # anywhere but the loop would keep being fed through that.
    prefix = os.path.join(host.root, "opt", "lyrd")
    make("install", "PREFIX=" + prefix, "MEDIA_DIR=" + os.path.join(host.root, "board-media"),
         "UNIT_DIR=" + os.path.join(host.root, "units"))
    listener = NotifyListener(os.path.join(host.root, "notify"))
    try:
        d = start_installed(host, prefix, {"NOTIFY_SOCKET": listener.path, "WATCHDOG_USEC": "600000"})
        listener.wait_for("READY=1")
        d.wait_ready()
        playlists = os.path.join(host.root, "board-media", "playlists")
        with open(os.path.join(playlists, "long.json"), "w") as f:
            f.write('{"name": "long", "mainPlaylist": [{"type": "pause", "duration": 60}]}')
        st, _, body = host.http("POST", "/command", body={"command": "Start Playlist", "args": ["long"]})
        assert st == 200, body
        listener.collect(1.0)
        c = CommandClient(host)
        c.wait_ready()
        c.send("q")
        stopping = listener.wait_for("STOPPING=1", start=len(listener.messages))
        c.close()
        assert d.wait_exit(timeout=25) == 0
        feeds = [t for t, m in listener.messages[:stopping + 1] if m in ("WATCHDOG=1", "STOPPING=1")]
        gaps = [b - a for a, b in zip(feeds, feeds[1:])]
        assert max(gaps) > 2.0, gaps  # far beyond the 0.3 s feeding pace
        assert sorted(gaps)[-2] < 1.5, gaps  # and only across the stall
    finally:
        listener.close()
