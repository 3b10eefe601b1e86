"""The Debian package (`make deb`) installed into this machine as apt would:
its files, the service account and the media directory; lintian; the unit
verified and its sandbox scored; the installed daemon run as lyr with the
unit's restrictions approximated (no systemd here: setpriv for the account,
no capabilities and no new privileges, a network namespace, a read-only
root with only the media directory and /run/lyrd writable, private /tmp, an
empty /home); an upgrade that keeps the show; remove; purge.

The tests run in file order on one installation and leave the machine as
they found it (package purged, account and its home removed), even when one
fails."""

import glob
import grp
import json
import os
import pwd
import re
import shutil
import signal
import socket
import stat
import subprocess
import time

import pytest

import e131
import harness
from cmdclient import CommandClient
from test_channelout import lseq_bytes
from test_install import NotifyListener
from test_media import ALSA_NULL, wav_bytes

SOURCE_DIR = os.path.abspath(harness.SOURCE_DIR)
BUILD_DIR = os.path.abspath(harness.BUILD_DIR)
PREFIX = "/usr/lib/lyrd"
MEDIA = "/home/lyr/media"
UNIT = "/lib/systemd/system/lyrd.service"
POINTER = "/etc/lyrd/media_root.txt"
DROPIN = "/etc/systemd/system/lyrd.service.d/media-dir.conf"
OTHER_MEDIA = "/var/tmp/lyrd-package-show"
SYNC_GROUP, SYNC_PORT = "239.70.80.80", 32320
BOARD, RX = "10.203.0.1", "10.203.0.2"


def sh(argv, timeout=300, check=True, env=None):
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                       text=True, timeout=timeout, env=env)
    if check:
        assert r.returncode == 0, "%s failed (%d):\n%s" % (" ".join(argv), r.returncode, r.stdout[-4000:])
    return r


def make_deb(*args):
    began = time.monotonic()
    out = sh(["make", "-C", SOURCE_DIR, "BUILD=" + BUILD_DIR, "deb"] + list(args), timeout=900).stdout
    m = re.findall(r"CPack: - package: (\S+\.deb) generated", out)
    assert m, out[-3000:]
    return m[-1], time.monotonic() - began


def field(deb, name):
    return sh(["dpkg-deb", "-f", deb, name]).stdout.strip()


def user_exists(name):
    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False


def group_exists(name):
    try:
        grp.getgrnam(name)
        return True
    except KeyError:
        return False


def package_state():
    r = sh(["dpkg-query", "-W", "-f", "${db:Status-Abbrev}", "lyrd"], check=False)
    return r.stdout.strip() if r.returncode == 0 else ""


def clean_machine():
    if package_state():
        sh(["dpkg", "--purge", "lyrd"], check=False)
    if user_exists("lyr"):
        sh(["deluser", "--system", "lyr"], check=False)
    if group_exists("lyr"):
        sh(["delgroup", "--system", "lyr"], check=False)
    shutil.rmtree("/home/lyr", ignore_errors=True)
    shutil.rmtree("/var/lib/lyrd", ignore_errors=True)
    shutil.rmtree(OTHER_MEDIA, ignore_errors=True)


@pytest.fixture(scope="module")
def debs():
    if os.geteuid() != 0 or not shutil.which("cpack") or not shutil.which("dpkg-deb"):
        pytest.skip("needs root, cpack and dpkg")
    if package_state() or user_exists("lyr") or os.path.exists("/home/lyr") or os.path.exists("/var/lib/lyrd"):
        pytest.skip("lyrd or the account lyr is already on this machine; not touching them")
    try:
        first, took = make_deb()
        version = field(first, "Version")
        # The same tree again with a higher version, for the upgrade.
        second, took2 = make_deb("DEB_VERSION=%s+1" % version)
        print("package build: %.1f s, rebuild with a new version: %.1f s" % (took, took2))
        yield first, second
    finally:
        clean_machine()


@pytest.fixture(scope="module")
def installed(debs):
    r = sh(["dpkg", "-i", debs[0]])
    return r.stdout


def test_package_is_named_and_versioned_from_the_tree_and_lintian_clean(debs):
    first, second = debs
    version = field(first, "Version")
    arch = sh(["dpkg", "--print-architecture"]).stdout.strip()
    assert os.path.basename(first) == "lyrd_%s_%s.deb" % (version, arch)
    # The version is the daemon's own (getLyrVersion) made into a Debian one.
    assert re.match(r"^\d+\.\d+\.\d+([+~.][0-9A-Za-z.+~]+)?$", version), version
    assert sh(["dpkg", "--compare-versions", field(second, "Version"), "gt", version], check=False).returncode == 0
    depends = field(first, "Depends")
    for lib in ("libvlc", "libjsoncpp", "libmicrohttpd", "adduser"):
        assert lib in depends, depends  # dpkg-shlibdeps found the libraries
    if not shutil.which("lintian"):
        pytest.skip("lintian not installed")
    r = sh(["lintian", "--no-tag-display-limit", "--allow-root", first], check=False, timeout=300)
    print(r.stdout)
    errors = [l for l in r.stdout.splitlines() if l.startswith("E:")]
    assert not errors, r.stdout


def test_install_lays_out_files_account_and_media(installed):
    assert "systemd is not running" in installed  # PID 1 is not systemd here: enabled, not started
    listed = set(sh(["dpkg", "-L", "lyrd"]).stdout.split())
    for f in (PREFIX + "/src/lyrd", PREFIX + "/scripts/get_uuid", PREFIX + "/www/media_root.txt", UNIT, POINTER,
              "/usr/share/doc/lyrd/changelog.gz", "/usr/share/doc/lyrd/copyright", "/usr/share/doc/lyrd/README.md"):
        assert f in listed, f
    # The whole www/ folder, whatever the web page brings.
    for d, _, files in os.walk(os.path.join(SOURCE_DIR, "www")):
        for name in files:
            rel = os.path.relpath(os.path.join(d, name), SOURCE_DIR)
            assert os.path.join(PREFIX, rel) in listed, rel
    st = os.stat(PREFIX + "/src/lyrd")
    assert (st.st_uid, stat.S_IMODE(st.st_mode)) == (0, 0o755)
    assert os.readlink(PREFIX + "/www/media_root.txt") == POINTER
    with open(POINTER) as f:
        assert f.read().strip() == MEDIA
    assert POINTER in sh(["dpkg-query", "--showformat=${Conffiles}", "-W", "lyrd"]).stdout

    user = pwd.getpwnam("lyr")
    assert user.pw_uid < 1000 and user.pw_dir == "/var/lib/lyrd" and user.pw_shell.endswith("nologin")
    groups = {g.gr_name for g in grp.getgrall() if "lyr" in g.gr_mem}
    assert "audio" in groups
    if group_exists("gpio"):
        assert "gpio" in groups
    for path, mode in ((MEDIA, 0o775), (MEDIA + "/settings", 0o664)):
        st = os.stat(path)
        assert (st.st_uid, stat.S_IMODE(st.st_mode)) == (user.pw_uid, mode), path
    wants = "/etc/systemd/system/multi-user.target.wants/lyrd.service"
    assert os.readlink(wants) == UNIT  # enabled for the next boot under systemd


def test_unit_is_verified_and_its_exposure_is_ok(installed):
    if not shutil.which("systemd-analyze"):
        pytest.skip("systemd-analyze not installed")
    r = sh(["systemd-analyze", "verify", UNIT], check=False, timeout=120)
    complaints = [l for l in r.stdout.splitlines() if "lyrd.service" in l]
    assert r.returncode == 0 and not complaints, r.stdout
    r = sh(["systemd-analyze", "security", "--offline=true", "--no-pager", UNIT], check=False, timeout=120)
    m = re.search(r"Overall exposure level for lyrd\.service: ([0-9.]+) (\S+)", r.stdout)
    assert m, r.stdout
    print("exposure %s %s" % (m.group(1), m.group(2)))
    assert float(m.group(1)) <= 2.5, r.stdout


# ---- the installed daemon under the unit's restrictions --------------------------------

# ProtectSystem=strict, ProtectHome=tmpfs + BindPaths=<media>, PrivateTmp,
# RuntimeDirectory=lyrd, StateDirectory=lyrd (the account's home), User=lyr, NoNewPrivileges, empty capability sets,
# LimitRTPRIO=20, in the board's network namespace.
SANDBOX = r'''set -e
stash=$1; run=$2; tmp=$3; shift 3
mount --make-rprivate /
mount --bind /home/lyr/media "$stash"
mount -t tmpfs -o mode=0755 tmpfs /home
mkdir -p /home/lyr/media
mount --bind "$stash" /home/lyr/media
mount -o remount,ro /home
mount -t tmpfs -o mode=0755,ro tmpfs /root
mount --bind /var/lib/lyrd /var/lib/lyrd
mount --bind "$tmp" /tmp
mount --bind "$run" /run
mount -o remount,bind,ro /
exec setpriv --reuid=lyr --regid=lyr --init-groups --no-new-privs --inh-caps=-all --bounding-set=-all -- "$@"
'''


def can_raise_rtprio():
    """LimitRTPRIO=20 needs a hard limit of 20 or the right to raise it,
    which a container may not give even to root."""
    return sh(["prlimit", "--rtprio=20", "true"], check=False).returncode == 0


def lyr_owned(path):
    user = pwd.getpwnam("lyr")
    for d, dirs, files in os.walk(path):
        for name in [d] + [os.path.join(d, f) for f in files]:
            os.chown(name, user.pw_uid, user.pw_gid)


def start_sandboxed(host, env):
    user = pwd.getpwnam("lyr")
    stash = os.path.join(host.root, "stash")
    os.makedirs(stash, exist_ok=True)
    runtime = os.path.join(host.run_dir, "lyrd")
    os.makedirs(runtime, exist_ok=True)
    os.chown(runtime, user.pw_uid, user.pw_gid)
    out_path = os.path.join(host.root, "installed.out")
    rt = ["prlimit", "--rtprio=20", "--"] if can_raise_rtprio() else []
    environment = dict(os.environ)
    environment.update({"HOME": user.pw_dir, "USER": "lyr", "LOGNAME": "lyr"})  # as systemd sets them
    environment.update(env)
    with open(out_path, "w") as out:
        proc = subprocess.Popen(["ip", "netns", "exec", host.netns, "unshare", "-m", "sh", "-c", SANDBOX, "sh",
                                 stash, host.run_dir, host.tmp] + rt + [PREFIX + "/src/lyrd", "-f"],
                                stdout=out, stderr=subprocess.STDOUT, env=environment)
    d = harness.Daemon(host, ["-f"], proc, out_path)
    host.daemons.append(d)
    return d


class Rx(e131.Listener):
    """The controller's E1.31 frames and, on a second socket, sync multicast."""

    def __init__(self, host):
        self.frames = []
        super().__init__(host, RX)
        self.sync = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sync.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sync.bind(("0.0.0.0", SYNC_PORT))
        self.sync.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                             socket.inet_aton(SYNC_GROUP) + socket.inet_aton(RX))
        self.sync.setblocking(False)

    def packet(self, now, pkt):
        if len(pkt) >= 130:
            self.frames.append(e131.frame_of(pkt))

    def sync_packets(self):
        got = []
        while True:
            try:
                data, (addr, _) = self.sync.recvfrom(2048)
            except BlockingIOError:
                return got
            got.append((addr, data))

    def close(self):
        super().close()
        self.sync.close()


def status(host):
    st, _, body = host.http("GET", "/lyrd/status")
    assert st == 200
    return json.loads(body)


def proc_status(pid):
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            k, _, v = line.partition(":")
            values[k] = v.strip()
    return values


def test_installed_daemon_plays_as_lyr_in_the_sandbox(installed, net):
    board = net.add_host("board", addresses=[BOARD + "/24"])
    rx_host = net.add_host("rx", addresses=[RX + "/24"])
    with open(os.path.join(MEDIA, "settings"), "w") as f:
        f.write('HostName = "board"\nLockstepEnabled = "1"\nLockstepMulticast = "1"\n')
    files = {
        "config/co-universes.json": json.dumps({"channelOutputs": [{"type": "universes", "enabled": 1,
            "universes": [{"active": 1, "id": 1, "startChannel": 1, "channelCount": 64, "address": RX}]}]}),
        "sequences/show.lseq": lseq_bytes(64, 100, 40),
        "music/song.wav": wav_bytes(4000),
        "scripts/whoami.sh": "#!/bin/sh\nid -un > /home/lyr/media/ran-as\n",
        "playlists/show.json": json.dumps({"name": "show", "mainPlaylist": [
            {"type": "script", "scriptName": "whoami.sh", "blocking": True},
            {"type": "both", "sequenceName": "show.lseq", "mediaName": "song.wav"}]}),
    }
    for rel, content in files.items():
        path = os.path.join(MEDIA, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb" if isinstance(content, bytes) else "w") as f:
            f.write(content)
    os.chmod(os.path.join(MEDIA, "scripts/whoami.sh"), 0o755)
    lyr_owned(MEDIA)
    alsa = os.path.join(board.root, "asound-null.conf")
    with open(alsa, "w") as f:
        f.write(ALSA_NULL)

    listener = NotifyListener(os.path.join(board.root, "notify"))
    os.chmod(listener.path, 0o777)
    rx = Rx(rx_host)
    try:
        d = start_sandboxed(board, {"NOTIFY_SOCKET": listener.path, "WATCHDOG_USEC": "1000000",
                                    "ALSA_CONFIG_PATH": alsa})
        ready = listener.wait_for("READY=1", timeout=30)
        d.wait_ready()
        s = proc_status(d.pid)
        assert s["Uid"].split()[0] == str(pwd.getpwnam("lyr").pw_uid)
        assert s["CapEff"] == s["CapBnd"] == "0000000000000000" and s["NoNewPrivs"] == "1"
        board.wait_http()
        # Nothing in the read-only tree had to be written.
        assert "not recorded in" not in d.log() and "Unable to open" not in d.log(), d.log()[-3000:]

        # The command socket in /run/lyrd, answering a client of another account.
        c = CommandClient(board)
        os.chmod(c.path, 0o777)
        c.wait_ready()
        assert os.stat(c.server).st_uid == pwd.getpwnam("lyr").pw_uid
        reply = c.ask("s")
        assert reply.count(",") >= 4, reply  # mode,status,volume,...

        st, _, body = board.http("POST", "/command", body={"command": "Start Playlist", "args": ["show"]})
        assert st == 200, body
        harness.wait_until(lambda: status(board).get("current_song") == "song.wav", what="the media half playing")
        harness.wait_until(lambda: len(set(rx.frames)) > 20, what="E1.31 frames advancing at the controller")
        # Real-time priority for the output thread where the limit allows it,
        # else a line that says how to get it.
        if can_raise_rtprio():
            assert "without real-time priority" not in d.log(), d.log()[-3000:]
        else:
            assert "LimitRTPRIO=20" in d.log(), d.log()[-3000:]
        with open(os.path.join(MEDIA, "ran-as")) as f:
            assert f.read().strip() == "lyr"  # the playlist's script ran as the account
        synced = harness.wait_until(rx.sync_packets, what="sync packets by multicast")
        assert all(addr == BOARD for addr, _ in synced)
        listener.collect(1.5)
        feeds = [m for _, m in listener.messages[ready:] if m == "WATCHDOG=1"]
        assert feeds, listener.states()

        # Restart by re-executing in place keeps the account and the sandbox.
        c.send("restart")
        reloading = listener.wait_for("RELOADING=1", timeout=20)
        listener.wait_for("READY=1", start=reloading, timeout=40)
        assert proc_status(d.pid)["NoNewPrivs"] == "1" and d.running()

        # A crash report: gdb's stacks of every thread in the log, the crash
        # log in the private /tmp, the archive in the media directory.
        harness.wait_until(lambda: "Starting main processing loop" in d.log()[d.log().find("Performing Restart"):],
                 timeout=30, what="the restarted main loop")
        d.signal(signal.SIGUSR1)
        assert d.wait_exit(timeout=40) == 0
        assert os.path.exists(os.path.join(board.tmp, "lyrd_crash.log"))
        log = d.log()
        stacks = log[log.find("Stack:"):] if "Stack:" in log else ""
        assert re.search(r"Thread \d+ \(Thread 0x", stacks), log[-4000:]  # gdb attached as lyr
        assert glob.glob(os.path.join(MEDIA, "crashes", "*.zip")), os.listdir(MEDIA)
    finally:
        rx.close()
        listener.close()


# ---- upgrade, remove, purge ----------------------------------------------------------------

def test_upgrade_keeps_media_settings_and_the_media_directory_choice(installed, debs):
    with open(os.path.join(MEDIA, "settings"), "w") as f:
        f.write('HostName = "porch"\n')
    with open(os.path.join(MEDIA, "sequences", "kept.lseq"), "wb") as f:
        f.write(lseq_bytes(8, 4, 50))
    with open(POINTER, "w") as f:
        f.write(OTHER_MEDIA + "\n")
    r = sh(["dpkg", "-i", debs[1]])
    assert package_state() == "ii"
    assert sh(["dpkg-query", "-W", "-f", "${Version}", "lyrd"]).stdout == field(debs[1], "Version")
    with open(POINTER) as f:
        assert f.read() == OTHER_MEDIA + "\n"  # the administrator's conffile, kept without a question
    assert os.readlink(PREFIX + "/www/media_root.txt") == POINTER
    with open(os.path.join(MEDIA, "settings")) as f:
        assert f.read() == 'HostName = "porch"\n'
    assert os.path.exists(os.path.join(MEDIA, "sequences", "kept.lseq"))
    # The new choice exists, belongs to lyr and is writable for the service.
    assert pwd.getpwuid(os.stat(OTHER_MEDIA).st_uid).pw_name == "lyr"
    with open(DROPIN) as f:
        assert "BindPaths=" + OTHER_MEDIA in f.read(), r.stdout


def test_remove_keeps_the_show_and_purge_keeps_only_the_show(installed):
    sh(["dpkg", "--remove", "lyrd"])
    assert package_state() == "rc"
    assert not os.path.exists(PREFIX + "/src/lyrd") and not os.path.exists(UNIT)
    assert os.path.exists(os.path.join(MEDIA, "settings")) and os.path.isdir(OTHER_MEDIA)
    assert user_exists("lyr") and os.path.exists(POINTER)

    r = sh(["dpkg", "--purge", "lyrd"])
    assert "show files in %s were kept" % OTHER_MEDIA in r.stdout, r.stdout
    assert package_state() == ""
    assert not user_exists("lyr") and not group_exists("lyr")
    for gone in (PREFIX, "/etc/lyrd", DROPIN, "/var/lib/lyrd", "/etc/systemd/system/multi-user.target.wants/lyrd.service"):
        assert not os.path.lexists(gone), gone
    assert not glob.glob("/var/lib/systemd/deb-systemd-helper-*/*lyrd*")
    with open(os.path.join(MEDIA, "settings")) as f:
        assert f.read() == 'HostName = "porch"\n'
    assert os.path.exists(os.path.join(MEDIA, "sequences", "kept.lseq"))
