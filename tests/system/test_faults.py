"""Faults a board meets while it runs unattended: the media directory turning
read-only, a full disk under the files the daemon writes, an interface that
vanishes while a master plays, a broker that dies, a flood of junk on the sync
port.  Each daemon runs in private namespaces; every load loop is bounded.

A thousand idle HTTP connections are covered by
test_http_hardening.py::TestConnections::test_thousand_idle_connections_leave_the_api_answering.
"""

import errno
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import e131  # noqa: E402
from test_channelout import lseq_bytes, outputs_config, sync_packet  # noqa: E402

SYNC_PORT = 32320
STEP_MS = 25
MODEL_MAP = {"models": [{"Name": "Strip", "StartChannel": 1, "ChannelCount": 30, "ChannelCountPerNode": 3}]}
NEW_MAP = {"models": [{"Name": "Arch", "StartChannel": 31, "ChannelCount": 12, "ChannelCountPerNode": 3}]}
MAP_FILE = "config/model-overlays.json"


class FrameCounter(e131.Listener):
    """Counts E1.31 packets of one universe on a namespace address and keeps
    (arrival, frame index) where bytes 0-3 of the data hold the frame."""

    def __init__(self, host, address="127.0.0.1", universe=1):
        self.universe = universe
        self.frames = []
        super().__init__(host, address)

    def packet(self, now, pkt):
        if len(pkt) >= 130 and e131.universe_of(pkt) == self.universe:
            self.frames.append((now, e131.frame_of(pkt)))

    def since(self, t):
        with self.lock:
            return [(w, f) for w, f in self.frames if w >= t]

    def window(self, seconds):
        """Frames that arrive during the next `seconds`."""
        t = time.monotonic()
        time.sleep(seconds)
        return self.since(t)


TEST_LIMIT_S = 90


@pytest.fixture(autouse=True)
def time_limit():
    """Each test gets a bound of its own, so a hang ends as a failure of that test."""
    def expired(signum, frame):
        raise TimeoutError("test ran past its %d s limit" % TEST_LIMIT_S)
    old = signal.signal(signal.SIGALRM, expired)
    signal.alarm(TEST_LIMIT_S)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)


def expected_frames(seconds):
    return seconds * 1000.0 / STEP_MS


def command(host, name, *args):
    st, _, body = host.http("POST", "/command", body={"command": name, "args": list(args)})
    assert st == 200, body
    return body


def model_names(host):
    st, _, body = host.http("GET", "/models")
    assert st == 200, body
    return sorted(m["Name"] for m in json.loads(body))


def leftovers(directory):
    """Temporary files a failed write left behind."""
    return [n for n in os.listdir(directory) if ".tmp" in n]


def show_files(host, frames=800):
    host.write_file("config/co-universes.json", outputs_config([(1, 1, 64)]))
    host.write_file("sequences/show.lseq", lseq_bytes(64, frames, STEP_MS))
    host.write_file("playlists/show.json", {"name": "show", "repeat": 1, "mainPlaylist": [
        {"type": "sequence", "sequenceName": "show.lseq"}]})


# ---- read-only media directory


def in_mounts(pid, script):
    """Runs a shell script inside the daemon's own mount namespace."""
    return harness.run(["nsenter", "-t", str(pid), "-m", "sh", "-c", script], timeout=10)


def test_read_only_media_directory_keeps_the_show_and_refuses_writes(host):
    show_files(host)
    old_map = host.write_file(MAP_FILE, json.dumps(MODEL_MAP))
    with open(old_map, "rb") as f:
        old_bytes = f.read()
    counter = FrameCounter(host)
    try:
        d = host.start_daemon()
        host.wait_http()
        command(host, "Start Playlist", "show")
        assert len(counter.window(1.0)) > 0.5 * expected_frames(1.0)

        in_mounts(d.pid, 'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0"'.replace("$0", host.media))
        try:
            log_at = len(d.log())
            st, _, body = host.http("POST", "/models", body=NEW_MAP)
            assert st == 500, body
            assert "Could not open" in body
            st, _, body = host.http("POST", "/lyrd/volume/31")
            assert st == 200  # in effect now, only not kept for the next start
            d.wait_for_log("Could not save the volume", start=log_at, timeout=5)
            during = counter.window(2.0)
            assert len(during) > 0.6 * expected_frames(2.0), "output rate fell while the disk was read-only"
            assert len({f for _, f in during}) > 0.6 * expected_frames(2.0), "the show stopped advancing"
            assert model_names(host) == ["Strip"], "the running map is kept when its file cannot be written"
        finally:
            in_mounts(d.pid, 'umount "%s"' % host.media)

        with open(old_map, "rb") as f:
            assert f.read() == old_bytes
        assert leftovers(os.path.join(host.media, "config")) == []

        st, _, body = host.http("POST", "/models", body=NEW_MAP)
        assert st == 200, body
        assert json.loads(host.read_file(MAP_FILE)) == NEW_MAP
        assert model_names(host) == ["Arch"]
        assert host.http("POST", "/lyrd/volume/32")[0] == 200
        assert json.loads(host.read_file("config/volume.json"))["volume"] == 32
        assert len(counter.window(1.0)) > 0.5 * expected_frames(1.0)
        assert d.stop() == 0
    finally:
        counter.close()


# ---- full disk


@pytest.fixture
def small_disk(host):
    """The host's media directory on a 2 MB tmpfs of its own."""
    harness.run(["mount", "-t", "tmpfs", "-o", "size=2m,mode=0755", "tmpfs", host.media])
    yield host
    harness.run(["umount", "-l", host.media], check=False)


def fill(directory):
    """Fills the file system of `directory` to the last page; returns the filler's path."""
    path = os.path.join(directory, "filler")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        for size in (1 << 16, 1 << 12, 1):
            try:
                while True:
                    os.write(fd, b"\0" * size)
            except OSError as exc:
                assert exc.errno == errno.ENOSPC
    finally:
        os.close(fd)
    return path


def snapshot(host, relpaths):
    out = {}
    for p in relpaths:
        with open(os.path.join(host.media, p), "rb") as f:
            out[p] = f.read()
    return out


def test_full_disk_keeps_every_old_file_and_reports_the_failure(small_disk):
    host = small_disk
    # A legacy mode value makes the daemon rewrite its settings file at start.
    with open(os.path.join(host.media, "settings"), "w") as f:
        f.write('HostName = "full"\nlyrMode = "master"\n\nvolume = "40"\n')
    host.write_file(MAP_FILE, json.dumps(MODEL_MAP, indent=1))
    host.write_file("config/volume.json", '{\n\t"volume" : 40\n}\n')
    host.write_file("playlists/Evening Show.json", {"name": "Evening Show", "mainPlaylist": [
        {"type": "pause", "duration": 5}]})
    host.write_file("config/schedule.json", [{"playlist": "Evening Show", "day": 7, "startTime": "23:59:00",
                                              "endTime": "23:59:30", "repeat": True, "stopType": 0}])
    files = ["settings", MAP_FILE, "config/volume.json", "config/schedule.json"]
    before = snapshot(host, files)
    filler = fill(host.media)

    d = host.start_daemon()
    host.wait_http()
    log = d.wait_for_log("Unable to replace")  # the settings upgrade could not be written
    assert d.running()
    st, body = host.http_json("GET", "/lyrd/status")
    assert st == 200 and body["mode_name"] == "player", "the legacy mode still took effect in memory"

    st, _, body = host.http("POST", "/models", body=NEW_MAP)
    assert st == 500, body
    st, _, body = host.http("POST", "/models/raw", body="Arch,31,12,horizontal,TL,1,1\n")
    assert st == 500, body
    assert model_names(host) == ["Strip"]
    log_at = len(d.log())
    assert host.http("POST", "/lyrd/volume/55")[0] == 200
    d.wait_for_log("Could not save the volume", start=log_at, timeout=5)
    st, body = host.http_json("POST", "/lyrd/schedule", body={"command": "reload"})
    assert st == 200
    time.sleep(1.5)  # the reload happens on the scheduler's next pass
    st, body = host.http_json("GET", "/lyrd/schedule")
    assert [e["playlist"] for e in body["schedule"]["entries"]] == ["Evening Show"]

    assert snapshot(host, files) == before, "a file was changed on a full disk"
    assert leftovers(host.media) == [] and leftovers(os.path.join(host.media, "config")) == []
    assert not os.path.exists(os.path.join(host.media, "channelmemorymaps"))

    os.unlink(filler)
    st, _, body = host.http("POST", "/models", body=NEW_MAP)
    assert st == 200, body
    assert json.loads(host.read_file(MAP_FILE)) == NEW_MAP
    assert host.http("POST", "/lyrd/volume/56")[0] == 200
    assert json.loads(host.read_file("config/volume.json"))["volume"] == 56
    assert d.stop() == 0
    assert "Unable to replace" in log


# ---- an interface goes away while a master plays


@pytest.fixture
def stage(net):
    from test_lockstep_show import Capture, outputs
    hosts = {}
    for i, name in enumerate(["master", "remote", "rx"], start=1):
        h = net.add_host(name, addresses=["10.204.0.%d/24" % i])
        set_broadcast_address(h, "10.204.0.%d/24" % i)
        hosts[name] = h
    for name, universe in (("master", 1), ("remote", 2)):
        h = hosts[name]
        show_files(h, frames=1600)
        h.write_file("config/co-universes.json", outputs(universe, "10.204.0.3"))
    cap = Capture(hosts["rx"], "10.204.0.3")
    yield net, hosts, cap
    cap.close()


def set_broadcast_address(h, address):
    h.exec(["ip", "addr", "flush", "dev", "eth0"])
    h.exec(["ip", "addr", "add", address, "brd", "+", "dev", "eth0"])


def recreate_link(net, h, address):
    """Deletes the host's interface (its veth pair goes with it) and plugs in a new one."""
    h.exec(["ip", "link", "del", "eth0"])
    time.sleep(1.0)
    net.attach(h, "eth0", address)
    set_broadcast_address(h, address)


def remote_follows(cap, seconds=2.0, settle=4.0):
    """True once the remote shows the master's frame (within one) for `seconds` in a row."""
    from test_lockstep_show import compare
    began = time.monotonic()
    deadline = began + settle + seconds
    last = None
    while time.monotonic() < deadline:
        time.sleep(0.5)
        master, remote, offsets = compare(cap.take(), time.monotonic() - seconds)
        last = (len(master), len(remote), offsets[-10:])
        if len(remote) > 0.5 * expected_frames(seconds) and offsets and all(abs(o) <= 1 for o in offsets):
            print("remote in step for %.0f s, %.1f s after the change" % (seconds, time.monotonic() - began))
            return True, last
    return False, last


def test_remote_resumes_after_links_go_down_and_are_replaced(stage):
    net, hosts, cap = stage
    master, remote = hosts["master"], hosts["remote"]
    dr = remote.start_daemon(settings={"HostName": "remote", "lyrMode": "remote"})
    dm = master.start_daemon(settings={"HostName": "master", "LockstepEnabled": "1"})
    master.wait_http()
    remote.wait_http()
    command(master, "Start Playlist", "show")
    ok, last = remote_follows(cap)
    assert ok, "remote never followed: %s" % (last,)

    remote.exec(["ip", "link", "set", "eth0", "down"])
    time.sleep(2.0)
    remote.exec(["ip", "link", "set", "eth0", "up"])
    ok, last = remote_follows(cap)
    assert ok, "remote did not resume after its link came back: %s" % (last,)

    recreate_link(net, master, "10.204.0.1/24")
    ok, last = remote_follows(cap)
    assert ok, "remote did not resume after the master's interface was replaced: %s" % (last,)

    recreate_link(net, remote, "10.204.0.2/24")
    ok, last = remote_follows(cap)
    assert ok, "remote did not resume after its own interface was replaced: %s" % (last,)
    assert dm.running() and dr.running()
    assert dm.stop() == 0 and dr.stop() == 0


# ---- the MQTT broker dies and returns


MQTT_PORT = 18833


def start_broker(host):
    host.write_file("mosquitto.conf", "listener %d 127.0.0.1\nallow_anonymous true\n" % MQTT_PORT)
    return host.spawn(["/usr/sbin/mosquitto", "-c", os.path.join(host.media, "mosquitto.conf")])


def probe_latencies(host, client, seconds):
    """Worst answer time of the command socket (served by the main loop) and of HTTP."""
    worst_cmd = worst_http = 0.0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t = time.monotonic()
        reply = client.ask("s", timeout=5)
        assert reply
        worst_cmd = max(worst_cmd, time.monotonic() - t)
        t = time.monotonic()
        assert host.http("GET", "/lyrd/status", timeout=5)[0] == 200
        worst_http = max(worst_http, time.monotonic() - t)
        time.sleep(0.1)
    return worst_cmd, worst_http


@pytest.mark.skipif(not os.path.exists("/usr/sbin/mosquitto"), reason="needs mosquitto (Debian package mosquitto)")
def test_broker_restart_reconnects_without_stalling_the_show(host):
    from cmdclient import CommandClient
    from test_playlist_show import Mqtt
    show_files(host)
    counter = FrameCounter(host)
    client = None
    try:
        # No broker yet: the daemon starts anyway and connects once it is there.
        d = host.start_daemon(settings={"MQTTHost": "127.0.0.1", "MQTTPort": str(MQTT_PORT), "MQTTPrefix": "t",
                                        "HostName": "box"})
        host.wait_http()
        assert "MQTT connected" not in d.log()
        broker = start_broker(host)
        d.wait_for_log("MQTT connected", timeout=15)
        client = CommandClient(host, "faults")
        client.wait_ready()
        command(host, "Start Playlist", "show")
        time.sleep(0.5)

        broker.kill()
        broker.wait(timeout=5)
        d.wait_for_log("MQTT connection lost", timeout=10)
        t = time.monotonic()
        # Status changes publish while the broker is away.
        command(host, "Stop Now")
        command(host, "Start Playlist", "show")
        worst_cmd, worst_http = probe_latencies(host, client, 3.0)
        frames = counter.since(t + 0.5)
        span = time.monotonic() - (t + 0.5)
        assert worst_cmd < 1.0 and worst_http < 1.0, "main loop or API stalled: %.2fs %.2fs" % (worst_cmd, worst_http)
        assert len(frames) > 0.6 * expected_frames(span), "output rate fell while the broker was down"

        connects = d.log().count("MQTT connected")
        broker = start_broker(host)
        deadline = time.monotonic() + 20
        while d.log().count("MQTT connected") == connects:
            assert time.monotonic() < deadline, "client never reconnected:\n" + d.log()[-2000:]
            time.sleep(0.2)
        watcher = Mqtt(host, MQTT_PORT)
        watcher.subscribe("t/lyrd/box/#")
        seen = dict(watcher.messages(2))
        assert seen.get("t/lyrd/box/availability") == "online", seen
        # Subscriptions came back too: a stop through MQTT is obeyed and reported.
        watcher.publish("t/lyrd/box/set/playlist/show/stop/now")
        got = {}
        for topic, payload in watcher.messages(5):
            got[topic] = payload
            if got.get("t/lyrd/box/status") == "idle":
                break
        assert got.get("t/lyrd/box/status") == "idle", got
        assert d.stop() == 0
    finally:
        if client:
            client.close()
        counter.close()


# ---- a flood of bad datagrams on the sync port


def made_up_ping(i):
    """A well-formed ping of a system that does not exist, a new one for every i."""
    b = bytearray(176)
    b[0:7] = b"LYRD" + struct.pack("<BH", 4, 169)
    b[7:15] = bytes([1, 0, 1]) + struct.pack(">HH", 9, 1) + bytes([0])
    b[15:19] = bytes([10, 100 + (i >> 16) % 100, (i >> 8) & 255, (i & 255) or 1])
    name = ("ghost%d" % i).encode()
    b[19:19 + len(name)] = name
    return bytes(b)


def bad_datagrams(count):
    """Bounded stream of malformed sync datagrams of several kinds, and pings
    of systems that do not exist."""
    good = sync_packet(2, "show.lseq", 10, 0.25)
    kinds = [
        b"",
        b"\xff" * 7,
        b"LYRD",
        b"LYRE" + good[4:],
        b"LYRD" + struct.pack("<BH", 1, 4000) + good[7:],       # length beyond the datagram
        b"LYRD" + struct.pack("<BH", 99, len(good) - 7) + good[7:],  # unknown packet type
        good[:-1].replace(b"show", b"\xff\xfe\xfd\xfc") + b"x" * 300,  # name without its end
        b"LYRD" + struct.pack("<BH", 1, 11) + struct.pack("<BBif", 77, 9, -5, float("nan")),
        os.urandom(1400),
    ]
    for i in range(count):
        yield made_up_ping(i) if i % 2 else kinds[(i // 2) % len(kinds)]


def test_sync_port_flood_keeps_the_frame_rate_and_good_packets_still_count(host):
    frames = 400  # 10 s
    host.write_file("config/co-universes.json", outputs_config([(1, 1, 64)]))
    host.write_file("sequences/show.lseq", lseq_bytes(64, frames, STEP_MS))
    counter = FrameCounter(host)
    master = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
    flooder = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
    to = ("127.0.0.1", SYNC_PORT)
    try:
        d = host.start_daemon(settings={"lyrMode": "remote"})
        host.wait_http()
        master.sendto(sync_packet(3, "show.lseq"), to)
        time.sleep(0.1)
        t0 = time.monotonic()
        master.sendto(sync_packet(0, "show.lseq"), to)
        flood = {"sent": 0, "start": None, "end": None}

        def run_flood():
            time.sleep(1.0)
            flood["start"] = time.monotonic()
            for pkt in bad_datagrams(100000):
                try:
                    flooder.sendto(pkt, to)
                    flood["sent"] += 1
                except OSError:
                    pass  # a full socket buffer drops some; the count is bounded either way
                if time.monotonic() - flood["start"] > 20:
                    break
            flood["end"] = time.monotonic()

        flood_thread = threading.Thread(target=run_flood)
        flood_thread.start()
        # Like a master: a sync packet every tenth frame, at that frame's time.
        for frame in range(10, frames - 40, 10):
            time.sleep(max(0.0, t0 + frame * STEP_MS / 1000.0 - time.monotonic()))
            master.sendto(sync_packet(2, "show.lseq", frame, frame * STEP_MS / 1000.0), to)
        flood_thread.join(timeout=30)
        assert flood["sent"] > 90000, flood
        assert flood["end"] < time.monotonic() - 1.0, "the flood outlasted the show; cannot judge"

        during = [(w, f) for w, f in counter.since(flood["start"]) if w <= flood["end"]]
        span = flood["end"] - flood["start"]
        print("flood: %d datagrams in %.2f s; %d frames sent meanwhile, %.0f expected" %
              (flood["sent"], span, len(during), expected_frames(span)))
        assert len(during) > 0.6 * expected_frames(span), \
            "%d frames in %.1fs of flood (%d datagrams)" % (len(during), span, flood["sent"])
        # After the flood the remote is still where the master is.
        synced_until = t0 + (frames - 45) * STEP_MS / 1000.0
        late = [(w, f) for w, f in counter.since(flood["end"] + 0.5) if w < synced_until]
        assert len(late) > 20, "no output after the flood"
        for w, f in late:
            master_frame = (w - t0) * 1000.0 / STEP_MS
            assert abs(f - master_frame) < 4, "remote frame %d, master at %.1f" % (f, master_frame)
        st, body = host.http_json("GET", "/lyrd/status")
        assert st == 200 and d.running()
        # The made-up systems fill the table only up to its bound.
        st, body = host.http_json("GET", "/lyrd/lockstepSystems")
        ghosts = [s for s in body["systems"] if s["hostname"].startswith("ghost")]
        print("made-up systems kept: %d" % len(ghosts))
        assert 1000 < len(ghosts) <= 4096
        assert d.stop() == 0
    finally:
        master.close()
        flooder.close()
        counter.close()
