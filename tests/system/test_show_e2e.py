"""A whole show on three boards: a master runs a schedule that plays a
playlist of paired (sequence + audio) entries and two remotes follow it.
A fourth namespace host receives the E1.31 output of all three, so what each
board shows is compared on one clock; the HTTP status of all three is
sampled at the same moments.  bench/bench_show.py runs the same stage longer
and reports figures."""

import bisect
import json
import os
import struct
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import demo_content  # noqa: E402
import harness  # noqa: E402
import e131  # noqa: E402

STEP_MS = 25
CHANNELS = 64
ALSA_NULL = "pcm.!default { type null }\n"
SUBNET = "10.204.0.%d"
BOARDS = ("master", "remote1", "remote2")
RX = 4  # the receiving host's last octet


def entry_lseq(number, seconds, media):
    """A sequence whose frame f carries f (bytes 0-3, big-endian) and the
    entry's number (byte 4), so any output packet tells what is shown."""
    frames = seconds * 1000 // STEP_MS
    out = bytearray(demo_content.lseq_header(CHANNELS, frames, STEP_MS, media))
    for f in range(frames):
        frame = bytearray((f + k) & 0xFF for k in range(CHANNELS))
        frame[0:4] = struct.pack(">I", f)
        frame[4] = number
        out += frame
    return bytes(out)


class Capture:
    """Every E1.31 packet as (arrival, universe, entry number, frame), from
    one listener per receiving address, on one clock."""

    class _One(e131.Listener):
        def __init__(self, host, address, packets):
            self.packets = packets
            super().__init__(host, address)

        def packet(self, now, pkt):
            if len(pkt) >= 131:
                self.packets.append((now, e131.universe_of(pkt), pkt[130], e131.frame_of(pkt)))

    def __init__(self, host, addresses):
        if isinstance(addresses, str):
            addresses = [addresses]
        self.listeners = [self._One(host, a, []) for a in addresses]

    def take(self):
        out = []
        for listener in self.listeners:
            with listener.lock:
                out += listener.packets
        return sorted(out)

    def close(self):
        for listener in self.listeners:
            listener.close()


class Stage:
    """A master, its remotes and a receiver on one LAN; every board has the
    same sequences and audio, the master has the playlist and its schedule.

    remotes: how many ("remote1", "remote2", ...; universe n + 1 each).
    relay: None, or the keyword arguments of harness.Relay: the master then
    sits on a bridge of its own, joined to the remotes' bridge through the
    relay, and the receiver has a leg on each bridge, so each board's output
    reaches it without crossing the relay."""

    def __init__(self, net, entries, seconds, repeat=1, remotes=2, relay=None):
        self.net = net
        self.entries = ["e%d" % (i + 1) for i in range(entries)]
        self.seconds = seconds
        self.boards = ("master",) + tuple("remote%d" % (i + 1) for i in range(remotes))
        self.hosts = {}
        self.relay = None
        master_bridge = "br1" if relay else "br0"
        rx_master, rx_remotes = SUBNET % RX, SUBNET % (RX + 1 if relay else RX)
        for i, name in enumerate(self.boards, start=1):
            n = i if i < RX else i + 2  # the receiver's two numbers stay free
            self.hosts[name] = self._host(name, [SUBNET % n], [master_bridge if i == 1 else "br0"])
        if relay:
            rx = self._host("rx", [rx_master, rx_remotes], ["br1", "br0"])
            # Two legs on one subnet: each answers ARP for its own address only.
            for k, v in (("all/arp_ignore", 1), ("all/arp_announce", 2), ("all/rp_filter", 0),
                         ("eth0/rp_filter", 0), ("eth1/rp_filter", 0)):
                rx.exec(["sh", "-c", "echo %d > /proc/sys/net/ipv4/conf/%s" % (v, k)])
            self.relay = harness.Relay(net, "relay", ["br1", "br0"], **relay)
        else:
            self._host("rx", [rx_master], ["br0"])
        wav = demo_content.tune_wav(seconds)
        for universe, name in enumerate(self.boards, start=1):
            h = self.hosts[name]
            cfg = demo_content.outputs(CHANNELS, rx_master if name == "master" else rx_remotes, CHANNELS)
            cfg["channelOutputs"][0]["universes"][0]["id"] = universe
            h.write_file("config/co-universes.json", cfg)
            for n, e in enumerate(self.entries, start=1):
                h.write_file("sequences/%s.lseq" % e, entry_lseq(n, seconds, e + ".wav"))
                h.write_file("music/%s.wav" % e, wav)
            with open(os.path.join(h.root, "asound-null.conf"), "w") as f:
                f.write(ALSA_NULL)
        self.master = self.hosts["master"]
        self.master.write_file("playlists/show.json", demo_content.playlist(
            "show", [demo_content.paired(e + ".lseq", e + ".wav") for e in self.entries], repeat=repeat))
        addresses = [rx_master] if rx_master == rx_remotes else [rx_master, rx_remotes]
        self.capture = Capture(self.hosts["rx"], addresses)
        self.daemons = {}

    def _host(self, name, addresses, bridges):
        h = self.net.add_host(name, addresses=[a + "/24" for a in addresses], bridges=bridges)
        # Boards get a broadcast address from DHCP; give the veth one too.
        for i, a in enumerate(addresses):
            h.exec(["ip", "addr", "del", a + "/24", "dev", "eth%d" % i])
            h.exec(["ip", "addr", "add", a + "/24", "brd", "+", "dev", "eth%d" % i])
        self.hosts[name] = h
        return h

    def schedule(self, start, end, stop_type="Hard", repeat=True):
        self.master.write_file("config/schedule.json",
                               [demo_content.schedule_entry("show", start, end, repeat=repeat, stop_type=stop_type)])

    def start(self, remote_args=("-f",), master_args=("-f",)):
        env = lambda h: {"ALSA_CONFIG_PATH": os.path.join(h.root, "asound-null.conf")}  # noqa: E731
        for name in self.boards[1:]:
            h = self.hosts[name]
            self.daemons[name] = h.start_daemon(list(remote_args), settings={"HostName": name, "lyrMode": "remote"},
                                                env=env(h))
        self.daemons["master"] = self.master.start_daemon(
            list(master_args), settings={"HostName": "master", "LockstepEnabled": "1"}, env=env(self.master))
        for name in self.boards:
            self.hosts[name].wait_http(timeout=60)

    def status_all(self):
        """/lyrd/status of every board, asked at the same moment."""
        out = {}

        def ask(name):
            try:
                _, _, body = self.hosts[name].http("GET", "/lyrd/status", timeout=5.0)
                out[name] = json.loads(body)
            except (OSError, ValueError) as exc:
                out[name] = {"error": str(exc)}

        threads = [threading.Thread(target=ask, args=(n,)) for n in self.boards]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return out

    def close(self):
        self.capture.close()
        if self.relay:
            self.relay_stats = self.relay.stop()


def played(packets, universe):
    """Runs of (arrival, frame) per entry, from every packet of a universe
    (a frame seen again later in a new run of the same entry starts that run)."""
    out = []
    for t, u, e, f in packets:
        if u != universe or e == 0:
            continue
        if not out or out[-1]["entry"] != e or f + 40 < out[-1]["last"]:
            out.append({"entry": e, "seen": {}, "last": f})
        out[-1]["seen"].setdefault(f, t)
        out[-1]["last"] = f
    return out


def frame_offsets(master_runs, remote_runs):
    """Seconds between the master and a remote first showing the same frame
    of the same run, for runs the two have in common (paired by order)."""
    offsets = []
    for m, r in zip(master_runs, remote_runs):
        if m["entry"] != r["entry"]:
            continue
        for f, t in r["seen"].items():
            if f in m["seen"]:
                offsets.append(t - m["seen"][f])
    return offsets


def frame_differences(packets, master_universe, universe, tail=10):
    """For each packet of `universe`: the remote's frame minus the frame the
    master was showing at that moment (its latest packet), for packets where
    both show the same entry.  The last `tail` frames of every master entry
    are left out: there the master's lights follow its own media output as
    it ends (under ALSA's null device, libVLC ends early and its clock steps
    back by tens of milliseconds), which the remotes see only at the next
    sync packet.  Returns (differences, packets in an entry change)."""
    master = [(t, e, f) for t, u, e, f in packets if u == master_universe and e != 0]
    last_of_run, run_last, prev = [], {}, None
    run = -1
    for t, e, f in master:
        if prev is None or e != prev[0] or f + 40 < prev[1]:
            run += 1
        run_last[run] = f
        last_of_run.append(run)
        prev = (e, f)
    times = [t for t, _, _ in master]
    diffs, changes = [], 0
    for t, u, e, f in packets:
        if u != universe or e == 0:
            continue
        i = bisect.bisect_right(times, t) - 1
        if i < 0:
            continue
        _, me, mf = master[i]
        if mf >= run_last[last_of_run[i]] - tail:
            continue
        if me != e:
            changes += 1
            continue
        diffs.append(f - mf)
    return diffs, changes


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


@pytest.fixture
def stage(net):
    s = Stage(net, entries=2, seconds=10)
    yield s
    s.close()


def test_three_board_show_plays_in_step_and_stops_on_schedule(stage):
    now = time.time()
    start = int(now) + 10
    end = start + 25  # the second loop's first entry is cut by a hard stop
    stage.schedule(start, end, stop_type="Hard")
    stage.start()

    # Each board lists the other two.
    deadline = time.monotonic() + 15
    while True:
        lists = {}
        for name in BOARDS:
            st, doc = stage.hosts[name].http_json("GET", "/lyrd/lockstepSystems")
            assert st == 200
            lists[name] = sorted(s["hostname"] for s in doc["systems"] if s.get("local") == 0)
        if all(lists[n] == sorted(set(BOARDS) - {n}) for n in BOARDS):
            break
        assert time.monotonic() < deadline, "systems lists: %s" % lists
        time.sleep(0.3)

    # Sample the status of all three together while the show runs.
    samples = []
    while time.time() < end + 4:
        samples.append((time.time(), stage.status_all()))
        time.sleep(0.5)
    packets = stage.capture.take()
    final = stage.status_all()

    # The scheduler started the show on time and stopped it at its end.
    playing = [t for t, s in samples if s["master"].get("status_name") == "playing"]
    assert playing, "the master never played"
    assert start - 1 <= playing[0] <= start + 3, (playing[0] - start)
    assert end - 1 <= playing[-1] <= end + 2, "playing until %.1f s after the end time" % (playing[-1] - end)
    for name in BOARDS:
        assert final[name]["current_sequence"] == "" and final[name]["current_song"] == "", (name, final[name])
    assert final["master"]["status_name"] == "idle"

    # Every board shows every entry, in order: e1, e2, then e1 until the stop.
    master_runs = played(packets, 1)
    assert [r["entry"] for r in master_runs] == [1, 2, 1], [r["entry"] for r in master_runs]
    last_master = max(t for t, u, e, f in packets if u == 1 and e != 0)
    for universe, name in ((2, "remote1"), (3, "remote2")):
        remote_runs = played(packets, universe)
        assert [r["entry"] for r in remote_runs] == [1, 2, 1], (name, [r["entry"] for r in remote_runs])
        for m, r in zip(master_runs[:2], remote_runs[:2]):
            missing = set(m["seen"]) - set(r["seen"])
            assert len(missing) <= 2, "%s skipped %d frames of entry %d: %s" % (
                name, len(missing), m["entry"], sorted(missing)[:20])
        diffs, changes = frame_differences(packets, 1, universe)
        assert len(diffs) > 600, (name, len(diffs))
        # A busy CI core can hold one packet back by a second frame now and
        # then; a remote that drifts shows many such packets, or worse ones.
        far = [d for d in diffs if abs(d) > 2]
        assert not far, "%s more than two frames off the master on %d of %d packets: %s" % (
            name, len(far), len(diffs), sorted(set(far)))
        off = [d for d in diffs if abs(d) > 1]
        assert len(off) <= len(diffs) // 200, "%s more than a frame off the master on %d of %d packets: %s" % (
            name, len(off), len(diffs), sorted(set(off)))
        assert changes <= 6, "%s showed another entry than the master on %d packets" % (name, changes)
        # The remote stops with the master.
        last = max(t for t, u, e, f in packets if u == universe and e != 0)
        assert abs(last - last_master) < 0.5, (name, last - last_master)

    # The audio half plays on every board, the same song at the same time.
    for want in ("e1.wav", "e2.wav"):
        for name in BOARDS:
            assert any(s[name].get("current_song") == want for _, s in samples), (name, want)
    for t, s in samples:
        songs = {n: s[n].get("current_song") for n in BOARDS}
        secs = {n: int(s[n].get("seconds_elapsed", "0")) for n in BOARDS}
        # ALSA's null device takes a song's last second or so at once, so a
        # board's position jumps to the end early: the last two seconds are
        # left out.
        near_end = max(secs.values()) >= stage.seconds - 2
        if len(set(songs.values())) == 1 and songs["master"] and not near_end:
            assert max(secs.values()) - min(secs.values()) <= 1, (t - start, songs, secs)

    # No board raised a warning at any time.
    for t, s in samples + [(time.time(), final)]:
        for name in BOARDS:
            assert s[name].get("warnings", []) == [], (name, t - start, s[name].get("warnings"))
    for name in BOARDS:
        assert stage.daemons[name].running(), name
