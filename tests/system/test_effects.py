"""Effect sequences, image entries and the show commands on one running
daemon, seen from outside: E1.31 on loopback, the HTTP API, a local web
server and a real mosquitto broker, all inside one private namespace.  The
tests share the daemon and run in file order."""
import http.server
import json
import os
import socket
import struct
import subprocess
import threading
import time
import zlib

import pytest

import harness
from cmdclient import CommandClient
from test_overlays import E131Listener

MQTT_PORT = 18830
HOOK_PORT = 18080
STEP_MS = 25
BASE = 10  # every channel of the background sequence

OUTPUTS = {"channelOutputs": [{
    "type": "universes", "enabled": 1, "interface": "",
    "universes": [{"active": 1, "id": 1, "startChannel": 1, "channelCount": 512, "address": "127.0.0.1",
                   "priority": 100, "universeCount": 4, "description": ""}]}]}
# A 4 x 2 RGB matrix on channels 1201..1224.
MODELS = {"models": [{"Name": "Sign", "Type": "Channel", "StartChannel": 1201, "ChannelCount": 24,
                      "ChannelCountPerNode": 3, "StringCount": 2, "StrandsPerString": 1}]}
SIGN = 1200


def lseq(channels, frames, step_ms, value, start_channel=None):
    """A .lseq file (docs/lseq.md), every channel `value`, optionally with an "sc" header."""
    headers = b""
    if start_channel is not None:
        text = str(start_channel).encode() + b"\0"
        headers = struct.pack("<H2s", 4 + len(text), b"sc") + text
    size = 24 + len(headers)
    fixed = b"LSEQ" + struct.pack("<HHIIIHH", 1, 0, size, channels, frames, step_ms, 1 if headers else 0)
    return fixed + headers + bytes([value]) * (channels * frames)


def png(width, height, rgb_rows):
    """A plain 8-bit RGB PNG."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(row) for row in rgb_rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


class Hook(http.server.BaseHTTPRequestHandler):
    """Records every request the daemon sends."""
    seen = []

    def _record(self):
        n = int(self.headers.get("Content-Length") or 0)
        Hook.seen.append((self.command, self.path, self.rfile.read(n).decode()))
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    do_GET = _record
    do_POST = _record

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def show():
    if not harness.can_run():
        pytest.skip("needs root and iproute2 to make network namespaces")
    net = harness.Network()
    server = None
    listener = None
    try:
        host = net.add_host("fx")
        host.write_file("mosquitto.conf", "listener %d 127.0.0.1\nallow_anonymous true\n" % MQTT_PORT)
        host.spawn(["/usr/sbin/mosquitto", "-c", os.path.join(host.media, "mosquitto.conf")])
        host.write_file("config/co-universes.json", OUTPUTS)
        host.write_file("config/model-overlays.json", MODELS)
        host.write_file("sequences/bg.lseq", lseq(2048, 60000 // STEP_MS, STEP_MS, BASE))
        host.write_file("playlists/bg.json", {"name": "bg", "repeat": 1, "mainPlaylist": [
            {"type": "sequence", "sequenceName": "bg.lseq"}]})
        # 1.2 s at channels 101..106 (its own start channel), and a looping glow.
        host.write_file("effects/flash.lseq", lseq(6, 30, 40, 200, start_channel=101))
        host.write_file("effects/glow.lseq", lseq(3, 4, 50, 77))
        host.write_file("effects/broken.lseq", b"LSEQ\x01\x00 not really")
        host.write_file("images/halves.png", png(2, 1, [[255, 0, 0, 0, 0, 255]]))
        host.write_file("playlists/sign.json", {"name": "sign", "mainPlaylist": [
            {"type": "image", "imagePath": "halves.png", "modelName": "Sign", "duration": 1.5}]})
        sock = host.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", HOOK_PORT))
        server = http.server.HTTPServer(("127.0.0.1", HOOK_PORT), Hook, bind_and_activate=False)
        server.socket.close()
        server.socket = sock
        server.server_activate()
        threading.Thread(target=server.serve_forever, daemon=True).start()
        listener = E131Listener(host)
        d = host.start_daemon(settings={"MQTTHost": "127.0.0.1", "MQTTPort": str(MQTT_PORT)})
        host.wait_http()
        d.wait_for_log("MQTT connected", timeout=20)
        yield host, d, listener
    finally:
        if listener:
            listener.close()
        if server:
            server.shutdown()
        net.close_daemons()
        reports = net.sanitizer_reports()
        net.close()
        assert not reports, reports


def command(host, name, *args):
    st, _, body = host.http("POST", "/command", body={"command": name, "args": list(args)})
    return st, body


def running(host):
    st, _, body = host.http("GET", "/lyrd/effects")
    assert st == 200, body
    return json.loads(body)["runningEffects"]


def test_effect_started_by_command_shows_over_the_playlist_and_ends(show):
    host, d, e131 = show
    assert command(host, "Start Playlist", "bg", "true")[0] == 200
    assert e131.wait_for(lambda f: f[100] == BASE and f[0] == BASE) is not None, "the sequence plays"

    st, body = command(host, "Effect Start", "flash")
    assert st == 200 and "started with id" in body, body
    shown = e131.wait_for(lambda f: f[100] == 200)
    assert shown is not None and shown[100:106] == bytes([200] * 6), "the effect lands on its own channels"
    assert shown[99] == BASE and shown[106] == BASE, "the sequence stays around it"
    listed = running(host)
    assert [e["name"] for e in listed] == ["flash"] and listed[0]["startChannel"] == 101

    after = e131.wait_for(lambda f: f[100] == BASE, timeout=8.0)
    assert after is not None and after[100:106] == bytes([BASE] * 6), "the effect ends by itself"
    harness.wait_until(lambda: running(host) == [], what="the list to empty")
    assert "Stopped" not in d.log().split("Started effect 'flash'")[-1]


def test_two_effects_at_once_and_stops_by_id_and_all(show):
    host, d, e131 = show
    st, body = command(host, "Effect Start", "glow", "301", "true")
    assert st == 200, body
    st, body = command(host, "Effect Start", "flash", "401", "false", "true")
    assert st == 200, body
    both = e131.wait_for(lambda f: f[300] == 77 and f[400] == 200)
    assert both is not None and both[303] == BASE and both[406] == BASE
    ids = {e["name"]: e["id"] for e in running(host)}
    assert set(ids) == {"glow", "flash"} and ids["glow"] != ids["flash"]

    st, body = command(host, "Effect Stop", str(ids["glow"]))
    assert st == 200, body
    assert e131.wait_for(lambda f: f[300] == BASE) is not None
    assert command(host, "Effect Start", "glow", "301", "true")[0] == 200
    assert command(host, "Effects Stop All")[0] == 200
    assert e131.wait_for(lambda f: f[300] == BASE and f[400] == BASE) is not None
    assert running(host) == []


def test_command_socket_starts_lists_and_stops_effects(show):
    host, d, e131 = show
    c = CommandClient(host, "fx")
    try:
        c.wait_ready()
        reply = c.ask("e,glow,501,1").split(",")
        assert reply[2] == "Starting Effect" and reply[3].isdigit(), reply
        assert e131.wait_for(lambda f: f[500] == 77) is not None
        assert c.ask("GetRunningEffects").endswith("Running Effects\n%s,glow" % reply[3])
        assert c.ask("StopEffectByName,glow").split(",")[2:4] == ["Stopping Effect", "glow"]
        assert c.ask("StopEffect,%s" % reply[3]).split(",")[2] == "Stop Effect Failed"
        assert e131.wait_for(lambda f: f[500] == BASE) is not None
    finally:
        c.close()


def test_broken_and_missing_effects_are_refused_and_the_show_goes_on(show):
    host, d, e131 = show
    for name in ("broken", "missing", "../sequences/bg"):
        st, body = command(host, "Effect Start", name)
        assert "started" not in body, body
    log = d.log()
    assert "Unable to start effect: Effect 'broken' is not a readable sequence file" in log
    assert "Unable to start effect: Effect 'missing' not found" in log
    assert "Unable to start effect: Effect name '../sequences/bg' is not a file name" in log
    assert e131.wait_for(lambda f: f[0] == BASE) is not None, "the sequence still plays"
    assert command(host, "Stop Now")[0] == 200


def test_image_entry_pixels_on_an_overlay_model(show):
    host, d, e131 = show
    harness.wait_until(lambda: json.loads(host.http("GET", "/player/status")[2])["playlists"][0]["status"] == 0,
             what="the background playlist to stop")
    assert command(host, "Start Playlist", "sign")[0] == 200
    lit = e131.wait_for(lambda f: f[SIGN] == 255)
    assert lit is not None
    pixels = [tuple(lit[SIGN + 3 * i:SIGN + 3 * i + 3]) for i in range(8)]
    red, blue = (255, 0, 0), (0, 0, 255)
    assert pixels == [red, red, blue, blue, red, red, blue, blue], "2 x 1 picture scaled onto 4 x 2"
    assert lit[SIGN - 1] == 0 and lit[SIGN + 24] == 0
    off = e131.wait_for(lambda f: f[SIGN] == 0, timeout=8.0)
    assert off is not None and not any(off[SIGN:SIGN + 24]), "the model is cleared after the duration"


def test_url_command_reaches_a_local_web_server(show):
    host, d, e131 = show
    Hook.seen.clear()
    st, body = command(host, "URL", "http://127.0.0.1:%d/hook?scene=2" % HOOK_PORT, "POST", '{"on": true}', "5")
    assert st == 200, body
    harness.wait_until(lambda: Hook.seen, what="the request")
    assert Hook.seen[0] == ("POST", "/hook?scene=2", '{"on": true}')
    d.wait_for_log("answered (2 bytes)", timeout=5)
    st, body = command(host, "URL", "gopher://x/")
    assert "http://" in body


def test_mqtt_publish_through_the_broker(show):
    host, d, e131 = show
    sub = subprocess.Popen(host.command(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(MQTT_PORT), "-C", "1",
                                         "-W", "10", "-t", "yard/door"]), stdout=subprocess.PIPE, text=True)
    try:
        time.sleep(0.5)  # subscribed before the message goes out
        st, body = command(host, "MQTT Publish", "yard/door", "open")
        assert st == 200 and "Published" in body, body
        out, _ = sub.communicate(timeout=15)
    finally:
        if sub.poll() is None:
            sub.kill()
    assert out.strip() == "open"
    st, body = command(host, "MQTT Publish", "yard/#", "x")
    assert "wildcard" in body
