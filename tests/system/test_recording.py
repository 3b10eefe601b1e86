"""Recording live channel input into sequences: the commands and HTTP
resource, a recording cut short by a full disk, and the round trip from an
outside sACN sender through a recording and a playlist to an E1.31 receiver."""
import json
import os
import struct
import time

import pytest

import e131
import harness
from test_channelout import lseq_bytes


@pytest.fixture
def daemon(host):
    d = host.start_daemon(["-f", "--log-level", "info"])
    host.wait_http()
    yield d
    d.stop()


def test_commands_check_arguments_without_input(host, daemon):
    st, body = host.http_json("GET", "/commands/Start Recording".replace(" ", "%20"))
    assert st == 200
    assert [a["name"] for a in body["args"]] == ["name", "interval", "media"]
    assert [a["optional"] for a in body["args"]] == [False, True, True]
    assert body["args"][1]["default"] == "25"

    st, _, text = host.http("POST", "/command", body={"command": "Start Recording", "args": []})
    assert (st, text) == (400, "Start Recording needs a sequence name")
    st, _, text = host.http("POST", "/command", body={"command": "Start Recording", "args": ["show", "5"]})
    assert st == 400 and text.startswith("Frame interval must be"), text
    st, _, text = host.http("POST", "/command", body={"command": "Start Recording", "args": ["../x"]})
    assert st == 400 and "plain file name" in text, text
    st, _, text = host.http("POST", "/command", body={"command": "Start Recording", "args": ["show"]})
    assert (st, text) == (400, "No channel input is configured: nothing to record")
    st, _, text = host.http("GET", "/command/Stop%20Recording")
    assert (st, text) == (400, "No recording is running")

    st, body = host.http_json("POST", "/recording/start", body={"name": "show", "interval": 40})
    assert st == 400 and body["Status"] == "ERROR", body
    assert body["Message"] == "No channel input is configured: nothing to record"
    assert body["recording"]["active"] is False
    st, body = host.http_json("POST", "/recording/start", body="[1]")
    assert st == 400, body
    st, _, _ = host.http("POST", "/recording/start", body="{")
    assert st == 400
    assert host.http("POST", "/recording/nosuch")[0] == 404
    st, body = host.http_json("GET", "/recording")
    assert st == 200 and body["active"] is False and body["name"] == ""
    st, body = host.http_json("GET", "/lyrd/status")
    assert body["recording"] == {"active": False, "name": "", "frames": 0, "seconds": 0.0, "intervalMS": 0,
                                 "channels": 0, "mediaFile": "", "error": ""}
    assert not [n for n in os.listdir(os.path.join(host.media, "sequences"))]


# ---- helpers for recordings of real input

HERE = os.path.dirname(os.path.abspath(__file__))
FRAMES_JS = os.path.join(HERE, "sacn_frames.js")
DESK, BOARD, LIGHTS = "10.211.0.1", "10.211.0.2", "10.211.0.3"


def inputs(universes):
    """sACN input universes 1..universes, 512 channels each, from channel 1."""
    return {"channelInputs": [{"enabled": 1, "universes": [
        {"active": 1, "protocol": "sacn", "id": 1, "startChannel": 1, "channelCount": 512,
         "universeCount": universes}]}]}


def frame_data(k, u):
    """What sacn_frames.js sends as frame k of universe u."""
    b = bytearray((7 * k + c + 31 * u) & 255 for c in range(1, 513))
    b[0:4] = k.to_bytes(4, "big")
    return bytes(b)


def send_frames(desk, universes, frames, period_ms, min_gap_ms=0, start_ns=0, cid="11" * 16):
    out = desk.exec(["node", FRAMES_JS, json.dumps({
        "cid": cid, "dest": BOARD, "universes": universes, "frames": frames, "periodMS": period_ms,
        "minGapMS": min_gap_ms, "startNS": start_ns})], timeout=60)
    return json.loads(out.stdout)["sent"]


def wait_until(fn, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        v = fn()
        if v:
            return v
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def require_input(host):
    """Skips where the daemon lists no configured input universe: a tree
    without the receive path, whose bridge reads as no channels at all."""
    st, body = host.http_json("GET", "/lyrd/e131stats")
    if st != 200 or not body.get("universes"):
        pytest.skip("this daemon does not receive channel input")


def recording(host):
    return host.http_json("GET", "/recording")[1]


def lseq_frames(data):
    header, channels, count = struct.unpack("<III", data[8:20])
    return [data[header + n * channels:header + (n + 1) * channels] for n in range(count)]


# ---- a full disk


@pytest.fixture
def small_sequences(net):
    board = net.add_host("board", addresses=[BOARD + "/24"])
    seq = os.path.join(board.media, "sequences")
    os.makedirs(seq, exist_ok=True)
    harness.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=0755", "tmpfs", seq])
    yield board
    board.stop_daemons()
    harness.run(["umount", "-l", seq], check=False)


def test_full_disk_stops_the_recording_and_keeps_every_sequence(small_sequences):
    board = small_sequences
    # 4096 channels every 25 ms fill what the tmpfs has left in about a second.
    board.write_file("config/ci-universes.json", inputs(8))
    old = {"show.lseq": lseq_bytes(1000, 100, 25), "other.lseq": lseq_bytes(64, 10, 50, media="x.mp3")}
    for name, data in old.items():
        board.write_file("sequences/" + name, data)
    d = board.start_daemon(["-f"])
    board.wait_http()
    require_input(board)

    st, body = board.http_json("POST", "/recording/start", body={"name": "show"})
    assert st == 200 and body["Message"] == "Recording show.lseq", body
    assert body["recording"]["channels"] == 4096
    rec = wait_until(lambda: (lambda r: r if not r["active"] else None)(recording(board)), 20,
                     "the recording to stop on the full disk")
    assert rec["error"].startswith("Recording show.lseq stopped: Could not write "), rec
    assert rec["error"].endswith("show.lseq.tmp: No space left on device"), rec
    assert rec["frames"] > 0
    d.wait_for_log(rec["error"] + "; ", timeout=5)
    assert board.http_json("GET", "/lyrd/status")[1]["recording"]["error"] == rec["error"]

    seq = os.path.join(board.media, "sequences")
    assert sorted(os.listdir(seq)) == ["other.lseq", "show.lseq"], "the temporary file was left behind"
    for name, data in old.items():
        with open(os.path.join(seq, name), "rb") as f:
            assert f.read() == data, name + " changed"

    st, body = board.http_json("POST", "/recording/stop")
    assert st == 400 and body["Message"] == rec["error"]
    # The space the failed recording took is free again: a short one fits.
    st, body = board.http_json("POST", "/recording/start", body={"name": "short", "interval": 50})
    assert st == 200, body
    time.sleep(0.3)
    st, body = board.http_json("POST", "/recording/stop")
    assert st == 200 and body["Message"].startswith("Recording short.lseq saved: "), body
    with open(os.path.join(seq, "short.lseq"), "rb") as f:
        frames = lseq_frames(f.read())
    assert len(frames) == body["recording"]["frames"] >= 4 and len(frames[0]) == 4096
    assert body["recording"]["error"] == ""

    # A daemon that shuts down saves the recording it was making.
    st, body = board.http_json("POST", "/recording/start", body={"name": "at exit", "interval": 100})
    assert st == 200, body
    time.sleep(0.3)
    assert d.stop() == 0
    with open(os.path.join(seq, "at exit.lseq"), "rb") as f:
        assert len(lseq_frames(f.read())) >= 3
    assert "at exit.lseq.tmp" not in os.listdir(seq)


# ---- the round trip: outside sender -> recording -> playlist -> E1.31 receiver


class Lights(e131.Listener):
    """Output data per universe: (arrival, 512 bytes)."""

    def __init__(self, host):
        self.got = {100: [], 101: []}
        super().__init__(host, LIGHTS)

    def packet(self, now, pkt):
        u = e131.universe_of(pkt)
        if u in self.got:
            self.got[u].append((now, bytes(pkt[126:638])))

    def changes(self, universe, since):
        """The data of `universe` arriving after `since`, consecutive repeats and zero frames left out."""
        out = []
        with self.lock:
            for t, d in self.got[universe]:
                if t >= since and any(d) and (not out or out[-1] != d):
                    out.append(d)
        return out


@pytest.fixture
def stage(net):
    desk = net.add_host("desk", addresses=[DESK + "/24"])
    board = net.add_host("board", addresses=[BOARD + "/24"])
    lights = net.add_host("lights", addresses=[LIGHTS + "/24"])
    board.write_file("config/ci-universes.json", inputs(2))
    board.write_file("config/co-universes.json", {"channelOutputs": [{"type": "universes", "enabled": 1,
        "universes": [{"active": 1, "id": 100, "startChannel": 1, "channelCount": 512, "address": LIGHTS},
                      {"active": 1, "id": 101, "startChannel": 513, "channelCount": 512, "address": LIGHTS}]}]})
    board.write_file("playlists/replay.json", {"name": "replay", "mainPlaylist": [
        {"type": "sequence", "sequenceName": "take1.lseq"}]})
    rx = Lights(lights)
    yield desk, board, rx
    rx.close()


def test_sent_frames_recorded_and_played_arrive_identical_and_in_order(stage):
    desk, board, rx = stage
    d = board.start_daemon(["-f"])
    board.wait_http()
    require_input(board)
    st, _, text = board.http("POST", "/command", body={"command": "Start Recording", "args": ["take1"]})
    assert (st, text) == (200, "Recording take1.lseq")

    # Each frame stays at least 80 ms, so every one lands in some 25 ms frame
    # of the recording even when a busy machine delays the sender.
    frames = 30
    sent = send_frames(desk, [1, 2], frames, 80, min_gap_ms=80)
    assert len(sent) == frames
    time.sleep(0.2)
    st, _, text = board.http("POST", "/command", body={"command": "Stop Recording"})
    assert st == 200 and text.startswith("Recording take1.lseq saved: "), text
    rec = recording(board)
    with open(os.path.join(board.media, "sequences", "take1.lseq"), "rb") as f:
        recorded = lseq_frames(f.read())
    assert len(recorded) == rec["frames"] and len(recorded[0]) == 1024
    assert rec["frames"] >= (sent[-1] - sent[0]) / 25e6

    # The input must be gone (2.5 s) or it would cover the sequence.
    wait_until(lambda: not board.http_json("GET", "/lyrd/status")[1]["bridging"], 10, "the input to end")
    since = time.monotonic()
    st, _, text = board.http("POST", "/command", body={"command": "Start Playlist", "args": ["replay"]})
    assert st == 200, text
    wait_until(lambda: board.http_json("GET", "/lyrd/status")[1]["status_name"] == "playing", 5, "play")
    wait_until(lambda: board.http_json("GET", "/lyrd/status")[1]["status_name"] == "idle", 20, "the end")
    time.sleep(0.2)
    for u, out in ((1, 100), (2, 101)):
        got = rx.changes(out, since)
        want = [frame_data(k, u) for k in range(1, frames + 1)]
        assert [g[:4] for g in got] == [w[:4] for w in want], "universe %d frames out of order or missing" % u
        assert got == want, "universe %d data differs" % u
    assert d.running()
