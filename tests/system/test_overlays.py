"""Pixel overlays on a running daemon: models from the model map, driven
through HTTP and the command registry, seen in the E1.31 output."""
import json
import socket
import struct
import time

import pytest

E131_PORT = 5568
E131_DATA = 126  # first channel byte of an E1.31 data packet

# 32 x 16 RGB matrix on channels 1..1536 and a 2-pixel strip after it.
MODEL_MAP = {"models": [
    {"Name": "Matrix", "Type": "Channel", "StartChannel": 1, "ChannelCount": 1536,
     "ChannelCountPerNode": 3, "StringCount": 16, "StrandsPerString": 1,
     "Orientation": "horizontal", "StartCorner": "TL"},
    {"Name": "Strip", "StartChannel": 1537, "ChannelCount": 6},
]}
OUTPUTS = {"channelOutputs": [{
    "type": "universes", "enabled": 1, "interface": "",
    "universes": [{"active": 1, "id": 1, "startChannel": 1, "channelCount": 512, "address": "127.0.0.1",
                   "priority": 100, "universeCount": 4, "description": ""}]}]}
OK = '{ "Status": "OK", "Message": ""}'


class E131Listener:
    """Collects the latest channel data per universe from unicast E1.31."""

    def __init__(self, host):
        self.sock = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", E131_PORT))
        self.sock.settimeout(0.2)

    def frame(self, universes=(1, 2, 3, 4), timeout=5.0):
        """The next complete set of universes as one channel array."""
        got = {}
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and len(got) < len(universes):
            try:
                data = self.sock.recv(1024)
            except socket.timeout:
                continue
            uni = (data[113] << 8) | data[114]
            if uni in universes:
                got[uni] = data[E131_DATA:]
        if len(got) < len(universes):
            return None
        return b"".join(got[u] for u in sorted(universes))

    def wait_for(self, predicate, timeout=8.0):
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            last = self.frame(timeout=1.0)
            if last is not None and predicate(last):
                return last
        return last

    def close(self):
        self.sock.close()


@pytest.fixture
def show(host):
    host.write_file("config/model-overlays.json", MODEL_MAP)
    host.write_file("config/co-universes.json", OUTPUTS)
    listener = E131Listener(host)
    d = host.start_daemon()
    host.wait_http()
    yield host, listener
    listener.close()
    d.stop()


def put(host, path, body=None):
    return host.http("PUT", path, body=json.dumps(body) if body is not None else None)


def command(host, name, *args):
    return host.http("POST", "/command", body=json.dumps({"command": name, "args": list(args)}))


def pixel(frame, x, y, width=32):
    o = (y * width + x) * 3
    return tuple(frame[o:o + 3])


def lit_columns(frame, width=32, height=16):
    return sorted({x for y in range(height) for x in range(width) if any(pixel(frame, x, y))})


def test_models_and_fill_reach_the_output(show):
    host, e131 = show
    st, _, body = host.http("GET", "/models?simple=true")
    assert st == 200 and json.loads(body) == ["Matrix", "Strip"]
    st, _, body = command(host, "Overlay Model Fill", "Matrix,Strip", "Enabled", "#00FF00")
    assert st == 200 and "Models Filled" in body
    frame = e131.wait_for(lambda f: pixel(f, 31, 15) == (0, 255, 0))
    assert frame is not None and pixel(frame, 0, 0) == (0, 255, 0)
    assert tuple(frame[1536:1542]) == (0, 255, 0, 0, 255, 0)
    # A channel past the models stays untouched.
    assert frame[1542] == 0
    # Through the overlays resource: a pixel, then the state off.
    assert put(host, "/overlays/model/Matrix/pixel", {"X": 3, "Y": 2, "RGB": [1, 2, 3]})[2] == OK
    assert e131.wait_for(lambda f: pixel(f, 3, 2) == (1, 2, 3)) is not None
    assert put(host, "/overlays/model/Matrix/state", {"State": 0})[2] == OK
    assert e131.wait_for(lambda f: pixel(f, 0, 0) == (0, 0, 0) and f[1536] == 0 and f[1537] == 255) is not None
    st, _, body = command(host, "Overlay Model State", "Matrix,Nobody", "Enabled")
    assert "No model found: Nobody" in body


def constant_lseq(channels, frames, step_ms, value):
    """A .lseq file (docs/lseq.md) whose every channel holds `value`."""
    header = b"LSEQ" + struct.pack("<HHIIIHH", 1, 0, 24, channels, frames, step_ms, 0)
    return header + bytes([value]) * (channels * frames)


def test_overlays_compose_over_a_playing_sequence(show):
    host, e131 = show
    host.write_file("sequences/show.lseq", constant_lseq(2048, 400, 25, 0x40))  # 10 s
    st, _, body = command(host, "Start Playlist", "show.lseq")
    assert st == 200, body
    assert e131.wait_for(lambda f: f[20] == 0x40 and f[1537] == 0x40) is not None, "sequence not playing"
    command(host, "Overlay Model Fill", "Strip", "Enabled", "red")
    # Transparent: only the lit pixel replaces the sequence's data.
    put(host, "/overlays/model/Matrix/fill", {"Value": 0})
    put(host, "/overlays/model/Matrix/pixel", {"X": 1, "Y": 0, "RGB": [0, 0, 200]})
    command(host, "Overlay Model State", "Matrix", "Transparent")
    frame = e131.wait_for(lambda f: tuple(f[1536:1539]) == (255, 0, 0) and pixel(f, 1, 0) == (0, 0, 200))
    assert frame is not None
    assert pixel(frame, 0, 0) == (0x40, 0x40, 0x40)
    assert frame[1542] == 0x40  # past the models: the sequence's own data
    command(host, "Overlay Model Clear", "Strip")
    command(host, "Overlay Model State", "Strip", "Disabled")
    assert e131.wait_for(lambda f: f[1536] == 0x40) is not None


def test_text_scrolls_across_the_matrix(show):
    host, e131 = show
    st, _, body = put(host, "/overlays/model/Matrix/text",
                      {"Message": "Hello", "Color": "#FFFFFF", "Font": "DejaVuSans", "FontSize": 10,
                       "Position": "Right to Left", "PixelsPerSecond": 40, "AutoEnable": True})
    assert (st, body) == (200, OK)
    first = e131.wait_for(lambda f: lit_columns(f) != [])
    assert first is not None
    start = min(lit_columns(first))
    later = e131.wait_for(lambda f: lit_columns(f) != [] and min(lit_columns(f)) <= start - 8)
    assert later is not None, "text did not move left"
    st, _, body = host.http("GET", "/overlays/model/Matrix")
    doc = json.loads(body)
    assert doc["effectRunning"] is True and doc["effectName"] == "Text"
    # Cleared: the effect stops and the auto-enabled model goes dark.
    assert host.http("GET", "/overlays/model/Matrix/clear")[2] == OK
    assert e131.wait_for(lambda f: lit_columns(f) == []) is not None
    assert json.loads(host.http("GET", "/overlays/model/Matrix")[2])["isActive"] == 0


def test_range_then_delete(show):
    host, e131 = show
    assert put(host, "/overlays/range/10-12/255")[2] == OK
    frame = e131.wait_for(lambda f: tuple(f[8:13]) == (0, 255, 255, 255, 0))
    assert frame is not None
    t0 = time.monotonic()
    assert put(host, "/overlays/range/10-12/delete")[2] == OK
    assert time.monotonic() - t0 >= 0.12  # the answer waits out the 125 ms tail
    assert e131.wait_for(lambda f: f[9] == 0, timeout=3) is not None
    st, _, body = put(host, "/overlays/range/abc/1")
    assert st == 400


def test_bad_model_map_upload_keeps_the_old_one(show):
    host, _ = show
    before = host.read_file("config/model-overlays.json")
    st, _, body = host.http("POST", "/models", body="{\"models\": [")
    assert st == 400
    assert host.read_file("config/model-overlays.json") == before
    assert json.loads(host.http("GET", "/models?simple=true")[2]) == ["Matrix", "Strip"]
    new_map = {"models": [{"Name": "Only", "StartChannel": 1, "ChannelCount": 30}]}
    st, _, body = host.http("POST", "/models", body=json.dumps(new_map))
    assert (st, body) == (200, OK)
    assert json.loads(host.http("GET", "/models?simple=true")[2]) == ["Only"]
    assert json.loads(host.read_file("config/model-overlays.json")) == new_map
