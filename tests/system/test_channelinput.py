"""Live sACN and Art-Net input of the running daemon.  A desk host sends
(the npm `sacn` Sender, OLA, or packets built here where no outside sender
can make them: preview, terminate, out of order, malformed), a board host
runs lyrd with config/ci-universes.json, and a lights host receives the
board's E1.31 output; the three are namespace hosts on one bridge."""

import json
import os
import random
import shutil
import socket
import struct
import subprocess
import threading
import time

import pytest

import e131
import harness
from test_channelout import lseq_bytes

DESK, BOARD, LIGHTS = "10.210.0.1", "10.210.0.2", "10.210.0.3"
OUT_UNIVERSE = 100
HERE = os.path.dirname(os.path.abspath(__file__))
SENDER_JS = os.path.join(HERE, "sacn_sender.js")
NODE_SACN = os.path.join(HERE, "..", "js", "node_modules", "sacn")


def cid(n):
    return bytes([n] * 16)


def inputs_config(universes, interface="eth0"):
    """universes: (protocol, id, startChannel, channelCount[, universeCount])."""
    return {"channelInputs": [{"enabled": 1, "interface": interface, "universes": [
        dict(zip(("protocol", "id", "startChannel", "channelCount", "universeCount"), u), active=1)
        for u in universes]}]}


def outputs_config(channels=64):
    return {"channelOutputs": [{"type": "universes", "enabled": 1, "universes": [
        {"active": 1, "id": OUT_UNIVERSE, "startChannel": 1, "channelCount": channels, "address": LIGHTS}]}]}


class Lights(e131.Listener):
    """Every packet of the output universe: (arrival, data)."""

    def __init__(self, host):
        self.got = []
        super().__init__(host, LIGHTS)

    def packet(self, now, pkt):
        if e131.universe_of(pkt) == OUT_UNIVERSE:
            self.got.append((now, bytes(pkt[126:])))

    def frames(self, since=0.0):
        with self.lock:
            return [(t, d) for t, d in self.got if t >= since]

    def wait(self, cond, timeout=5.0, what="output"):
        """Waits for an output packet whose data satisfies cond; returns its arrival."""
        deadline = time.monotonic() + timeout
        seen = 0
        while time.monotonic() < deadline:
            with self.lock:
                new = self.got[seen:]
                seen = len(self.got)
            for t, d in new:
                if cond(d):
                    return t
            time.sleep(0.01)
        raise AssertionError("timed out waiting for %s; last: %r" % (what, self.got[-1:]))


@pytest.fixture
def stage(net):
    desk = net.add_host("desk", addresses=[DESK + "/24"])
    board = net.add_host("board", addresses=[BOARD + "/24"])
    lights = net.add_host("lights", addresses=[LIGHTS + "/24"])
    for h, addr in ((desk, DESK), (board, BOARD)):
        # A broadcast address on the link, as a DHCP lease gives one: Art-Net polls are broadcast.
        h.exec(["ip", "addr", "del", addr + "/24", "dev", "eth0"])
        h.exec(["ip", "addr", "add", addr + "/24", "brd", "+", "dev", "eth0"])
        h.exec(["ip", "route", "add", "239.0.0.0/8", "dev", "eth0"])
    rx = Lights(lights)
    yield desk, board, rx
    rx.close()


def udp(host):
    s = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((DESK, 0))
    return s


def stats(board):
    st, body = board.http_json("GET", "/lyrd/e131stats")
    assert st == 200, body
    return body


def universe_stats(board, protocol, number):
    return next(u for u in stats(board)["universes"] if u["protocol"] == protocol and u["universe"] == number)


def bridging(board):
    st, body = board.http_json("GET", "/lyrd/status")
    return body["bridging"]


def test_terminate_out_of_order_duplicates_preview_and_a_bad_universe(stage):
    desk, board, rx = stage
    cfg = inputs_config([("sacn", 1, 1, 8), ("sacn", 0, 9, 8), ("sacn", 2, 9, 8)])
    board.write_file("config/ci-universes.json", cfg)
    board.write_file("config/co-universes.json", outputs_config())
    d = board.start_daemon()
    assert "config/ci-universes.json: channelInputs[0].universes[1]: id out of 1-63999; left out" in d.log()
    assert [u["universe"] for u in stats(board)["universes"]] == [1, 2]
    assert bridging(board) is False
    s = udp(desk)
    to = (BOARD, e131.E131_PORT)
    hi, lo = cid(0x11), cid(0x22)
    seq = {hi: 10, lo: 0}

    def send(c, value, prio, options=0, step=1, **kw):
        seq[c] = (seq[c] + step) & 0xFF
        s.sendto(e131.data_packet(c, 1, [value] * 8, priority=prio, sequence=seq[c], options=options, **kw), to)

    send(hi, 50, 120)
    t = rx.wait(lambda d: d[0] == 50, what="the first live value")
    assert bridging(board) is True
    bad = {99, 98, 97, 96}
    for i in range(8):
        send(lo, 30, 100)
        send(hi, 50, 120)
        if i == 2:
            send(hi, 99, 120, step=0)      # duplicate
            send(hi, 98, 120, step=-5)     # five back
            seq[hi] = (seq[hi] + 5) & 0xFF
            s.sendto(e131.data_packet(cid(0x33), 1, [97] * 8, priority=200, options=0x80), to)  # preview
            send(hi, 96, 120, step=0, start_code=0xDD)  # per-channel priorities, not levels
        time.sleep(0.025)
    # Stream_Terminated hands over to the lower source at once, not 2.5 s later.
    for _ in range(3):
        send(hi, 0, 120, options=0x40)
    t_end = time.monotonic()
    for i in range(8):
        send(lo, 30, 100)
        time.sleep(0.025)
    took = rx.wait(lambda d: d[0] == 30, what="the lower source after terminate") - t_end
    assert took < 1.0, took
    assert not [d[0] for _, d in rx.frames(t) if d[0] in bad], "duplicates, late, preview and 0xDD data never show"
    u = universe_stats(board, "sacn", 1)
    assert u["errors"]["outOfOrder"] >= 2 and u["ignored"]["preview"] == 1 and u["ignored"]["startCode"] >= 1, u
    assert [x["name"] for x in u["sources"]] == ["test source"], u
    assert u["sources"][0]["priority"] == 100 and u["sources"][0]["cid"].startswith("22222222-")

    st, _, body = board.http("DELETE", "/lyrd/e131stats")
    assert st == 200 and json.loads(body)["Message"] == "Stats Cleared"
    u = universe_stats(board, "sacn", 1)
    assert u["packets"] == 0 and u["errors"]["outOfOrder"] == 0
    s.close()
    assert d.stop() == 0


# ---- the npm `sacn` Sender: priorities, per-channel merge, take-over ---------------------

def start_sender(desk, cfg):
    cfg = dict(cfg, dest=BOARD)
    return subprocess.Popen(desk.command(["node", SENDER_JS, json.dumps(cfg)]), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finish(p, timeout=30):
    out, err = p.communicate(timeout=timeout)
    assert p.returncode == 0, err
    return json.loads(out.strip().splitlines()[-1])


def value_at(frames, t):
    """The output data last sent at or before t."""
    before = [d for at, d in frames if at <= t]
    return before[-1] if before else None


@pytest.mark.skipif(not os.path.isdir(NODE_SACN), reason="tests/js/node_modules not installed (scripts/install-deps)")
def test_priorities_equal_priority_merge_and_take_over_after_timeout(stage):
    desk, board, rx = stage
    board.write_file("config/ci-universes.json", inputs_config([("sacn", 1, 1, 8), ("sacn", 2, 9, 8)]))
    board.write_file("config/co-universes.json", outputs_config())
    d = board.start_daemon()
    # Universe 1: A at 100, B at 150.  Universe 2: both at 100, each highest on one channel.
    a = start_sender(desk, {"cid": "aa" * 16, "name": "desk A", "rate": 40, "seconds": 5.0, "universes": [
        {"universe": 1, "priority": 100, "payload": {"1": 10, "2": 10}},
        {"universe": 2, "priority": 100, "payload": {"1": 200, "2": 10}}]})
    b = start_sender(desk, {"cid": "bb" * 16, "name": "desk B", "rate": 40, "seconds": 1.5, "universes": [
        {"universe": 1, "priority": 150, "payload": {"1": 200}},
        {"universe": 2, "priority": 100, "payload": {"1": 50, "2": 180}}]})
    try:
        rx.wait(lambda d: d[0] == 200 and d[8:10] == bytes([200, 180]), timeout=10, what="B over A, and the merge")
        u = universe_stats(board, "sacn", 1)
        assert sorted((s["name"], s["priority"]) for s in u["sources"]) == [("desk A", 100), ("desk B", 150)]
        b_end = finish(b)["last"] / 1e9
        finish(a)
    finally:
        for p in (a, b):
            if p.poll() is None:
                p.kill()
    frames = rx.frames()
    assert value_at(frames, b_end - 0.2)[:2] == bytes([200, 0]), "the higher priority's data alone"
    assert value_at(frames, b_end - 0.2)[8:10] == bytes([200, 180]), "equal priorities: highest per channel"
    # B's data holds for the 2.5 s timeout, then A's takes over.
    takeover = next(t for t, dd in frames if t > b_end and dd[0] == 10) - b_end
    assert 2.3 < takeover < 3.5, takeover
    assert value_at(frames, b_end + 2.0)[0] == 200
    assert value_at(frames, b_end + 3.4)[8:10] == bytes([200, 10])
    # A stopped: after 2.5 s nothing is bridged any more.
    deadline = time.monotonic() + 5
    while bridging(board) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert bridging(board) is False
    assert d.stop() == 0


# ---- OLA: its Art-Net and E1.31 plug-ins send, and it lists the board -------------------

OLA_OFF = ("dummy", "shownet", "espnet", "sandnet", "pathport", "osc", "kinet", "usbserial", "opendmx",
           "stageprofi", "usbdmx", "ftdidmx", "spi", "karatelight", "milinst", "renard", "uartdmx",
           "openpixelcontrol", "gpio", "dmx4linux", "nanoleaf")


class Ola:
    """olad in the desk host, as `nobody` (it refuses root), with its own config folder."""

    def __init__(self, desk):
        self.desk = desk
        self.conf = os.path.join(desk.root, "ola")
        os.makedirs(self.conf)
        files = {"artnet": "enabled = true\nip = %s\nshort_name = desk\nlong_name = test desk\nnet = 0\n"
                           "subnet = 0\noutput_ports = 4\nalways_broadcast = false\nuse_limited_broadcast = false\n"
                           "use_loopback = false\n" % DESK,
                 "e131": "enabled = true\nip = %s\ninput_ports = 2\noutput_ports = 2\n" % DESK}
        files.update({name: "enabled = false\n" for name in OLA_OFF})
        for name, text in files.items():
            with open(os.path.join(self.conf, "ola-%s.conf" % name), "w") as f:
                f.write(text)
        subprocess.run(["chown", "-R", "nobody", self.conf], check=True)
        os.chmod(desk.root, 0o755)
        self.log = open(os.path.join(desk.root, "olad.log"), "w")
        self.proc = subprocess.Popen(desk.command(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                                   "olad", "-c", self.conf, "--no-http", "-l", "3"]),
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.devices = self._wait_devices()

    def _wait_devices(self):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            r = self.desk.exec(["ola_dev_info"], check=False)
            found = {}
            for line in r.stdout.splitlines():
                if line.startswith("Device "):
                    num, name = line[len("Device "):].split(":", 1)
                    found["artnet" if "ArtNet" in name else "e131" if "E1.31" in name else name] = int(num)
            if "artnet" in found and "e131" in found:
                return found
            time.sleep(0.2)
        raise AssertionError("olad did not list its Art-Net and E1.31 devices")

    def patch(self, device, port, universe):
        self.desk.exec(["ola_patch", "-d", str(self.devices[device]), "-p", str(port), "-u", str(universe)])

    def stream(self, universe, lines, interval):
        """ola_streaming_client fed one DMX line per interval."""
        p = subprocess.Popen(self.desk.command(["ola_streaming_client", "-u", str(universe)]),
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        for line in lines:
            p.stdin.write(line + "\n")
            p.stdin.flush()
            time.sleep(interval)
        p.stdin.close()
        p.wait(timeout=10)
        return p

    def close(self):
        self.proc.kill()
        self.proc.wait(timeout=5)
        self.log.close()


def test_ola_art_net_and_e131_are_bridged_and_ola_lists_the_board(stage):
    desk, board, rx = stage
    board.write_file("config/ci-universes.json", inputs_config([("artnet", 1, 1, 8), ("sacn", 2, 9, 8)]))
    board.write_file("config/co-universes.json", outputs_config())
    board.write_settings({"HostName": "porchboard"})
    d = board.start_daemon()
    ola = Ola(desk)
    try:
        ola.patch("artnet", 0, 1)
        ola.patch("e131", 0, 2)
        feeders = [threading.Thread(target=ola.stream, args=(u, [text] * 20, 0.05))
                   for u, text in ((1, "11,12,13"), (2, "21,22"))]
        for f in feeders:
            f.start()
        rx.wait(lambda d: d[:3] == bytes([11, 12, 13]) and d[8:10] == bytes([21, 22]), timeout=10,
                what="OLA's Art-Net and E1.31 data")
        for f in feeders:
            f.join()
        art = universe_stats(board, "artnet", 1)
        assert [s["address"] for s in art["sources"]] == [DESK + ":6454"], art
        sacn = universe_stats(board, "sacn", 2)
        assert len(sacn["sources"]) == 1 and sacn["errors"]["malformed"] == 0, sacn

        # OLA polls; the board's reply lists it for its universe.
        deadline = time.monotonic() + 20
        listed = ""
        while BOARD not in listed and time.monotonic() < deadline:
            listed = desk.exec(["ola_artnet", "-d", str(ola.devices["artnet"]), "-u", "1"], check=False).stdout
            time.sleep(0.5)
        assert BOARD in listed, listed
        assert stats(board)["artnet"]["polls"] >= 1
    finally:
        ola.close()
    assert d.stop() == 0


# ---- a playing show: live channels over it, a flood of malformed datagrams beside it ------

def flood(desk, seconds, per_second):
    """Malformed sACN and Art-Net datagrams at per_second each, for `seconds`; returns the count sent."""
    s = udp(desk)
    rnd = random.Random(17)
    good = e131.data_packet(cid(0x66), 1, [255] * 8)
    sent = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for _ in range(per_second // 100):
            bad = bytearray(good)
            bad[rnd.choice((16, 38, 115, 117, 118, 124))] ^= 0x5A  # one layer's field broken
            s.sendto(bytes(bad[:rnd.randint(20, len(bad))]) if rnd.random() < 0.3 else bytes(bad),
                     (BOARD, e131.E131_PORT))
            art = b"Art-Net\0\x00\x50\x00\x0e\x00\x00\x05\x00" + struct.pack(">H", rnd.choice((1, 3, 600))) + b"\xff" * 8
            s.sendto(art, (BOARD, 6454))
            sent += 1
        time.sleep(0.01)
    s.close()
    return sent


def test_live_channels_replace_the_sequence_and_malformed_floods_do_not_slow_the_show(stage):
    desk, board, rx = stage
    frames = 120
    board.write_file("sequences/show.lseq", lseq_bytes(64, frames, 25))
    board.write_file("playlists/show.json", {"name": "show", "repeat": 0, "mainPlaylist": [
        {"type": "sequence", "sequenceName": "show.lseq"}]})
    # 24 sACN universes: more multicast groups than the kernel's default 20.
    board.write_file("config/ci-universes.json", inputs_config([
        ("sacn", 1, 33, 8), ("sacn", 2, 2001, 8, 23), ("artnet", 5, 3001, 8)]))
    board.write_file("config/co-universes.json", outputs_config(64))
    d = board.start_daemon()
    assert "raise net.ipv4.igmp_max_memberships" in d.log()

    flooder = threading.Thread(target=lambda: result.append(flood(desk, 3.5, 3000)))
    result = []
    st, _, body = board.http("POST", "/command", body={"command": "Start Playlist", "args": ["show"]})
    assert st == 200, body
    flooder.start()
    # Frame 0 of the sequence, not the start-up blanking (all zero).
    t0 = rx.wait(lambda dd: struct.unpack(">I", dd[:4])[0] == 0 and dd[4] == 4, what="the show's first frame")
    s = udp(desk)
    time.sleep(max(0.0, t0 + 1.0 - time.monotonic()))
    live_from = time.monotonic()
    for i in range(40):
        s.sendto(e131.data_packet(cid(0x44), 1, [77] * 8, sequence=i), (BOARD, e131.E131_PORT))
        time.sleep(0.025)
    s.close()
    flooder.join()
    t_last = rx.wait(lambda dd: struct.unpack(">I", dd[:4])[0] == frames - 1, what="the show's last frame")
    got = [(t, struct.unpack(">I", dd[:4])[0], dd) for t, dd in rx.frames(t0) if t <= t_last]
    shown = [f for _, f, _ in got if f < frames]
    assert shown == sorted(shown), "frames in order"
    missing = set(range(frames)) - set(shown)
    assert len(missing) <= 2, "the frame rate holds under the flood: missing %s" % sorted(missing)
    for t, f, dd in got:
        if f >= frames:
            continue
        assert dd[4:32] == bytes((f + k) & 0xFF for k in range(4, 32)), "the sequence's own channels"
        pattern = bytes((f + k) & 0xFF for k in range(32, 40))
        if t < live_from:
            assert dd[32:40] == pattern, "before the input, the sequence's channels"
        elif t > live_from + 0.1:
            assert dd[32:40] == bytes([77] * 8), "live channels over the sequence (frame %d)" % f
    st = stats(board)
    assert st["sacn"]["malformed"] > 1000 and st["artnet"]["malformed"] > 1000, st
    assert universe_stats(board, "sacn", 1)["errors"]["malformed"] > 1000
    assert d.running()
    assert d.stop() == 0
