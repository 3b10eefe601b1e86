"""Playlists played by the daemon in a private namespace: sequences and a
pause in order with presets fired, MQTT status and control against a real
broker, and a blocking script holding the playlist."""

import json
import os
import signal
import socket
import struct
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_channelout import lseq_bytes  # noqa: E402


def command(host, name, *args):
    return host.http("POST", "/command", body={"command": name, "args": list(args)})


def player_status(host):
    st, body = host.http_json("GET", "/player/status")
    assert st == 200
    return body["playlists"][0]


def wait_for(cond, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = cond()
        if value:
            return value
        time.sleep(0.05)
    return cond()


def presets(host):
    """PLAYLIST_* presets record into volume changes (the one persistent,
    observable side effect of a built-in command)."""
    cmds = []
    for name, vol in (("PLAYLIST_STARTED", 11), ("PLAYLIST_STOPPED", 22)):
        cmds.append({"name": name, "commands": [{"command": "Volume Set", "args": [str(vol)]}]})
    host.write_file("config/commandPresets.json", {"commands": cmds})


def volume(host):
    try:
        return json.loads(host.read_file("config/volume.json")).get("volume")
    except (FileNotFoundError, ValueError):
        return None


def test_sequences_and_pause_play_in_order_with_presets(host):
    host.write_file("sequences/one.lseq", lseq_bytes(16, 12, 25))
    host.write_file("sequences/two.lseq", lseq_bytes(16, 12, 25))
    host.write_file("playlists/show.json", {"name": "show", "mainPlaylist": [
        {"type": "sequence", "sequenceName": "one.lseq"},
        {"type": "pause", "duration": 0.3},
        {"type": "sequence", "sequenceName": "two.lseq"}]})
    presets(host)
    d = host.start_daemon()
    host.wait_http("/player")
    st, _, text = command(host, "Start Playlist", "show")
    assert st == 200, text
    assert wait_for(lambda: volume(host) == 11)
    out = d.wait_for_log("Opened sequence two.lseq", timeout=15)
    assert out.index("Opened sequence one.lseq") < out.index("Opened sequence two.lseq")
    assert wait_for(lambda: player_status(host)["status"] == 0)
    assert wait_for(lambda: volume(host) == 22)
    assert d.running()
    assert d.stop() == 0


def test_bad_playlists_are_logged_and_the_daemon_keeps_going(host):
    host.write_file("playlists/broken.json", "{ not json")
    host.write_file("playlists/typed.json", {"name": "typed", "repeat": "yes", "mainPlaylist": [
        {"duration": 1}, {"type": "bogus"}, {"type": "pause", "duration": {}},
        {"type": "sequence", "sequenceName": "gone.lseq"}, {"type": "pause", "duration": 0.1}]})
    host.write_file("playlists/self.json", {"name": "self", "mainPlaylist": [
        {"type": "pause", "duration": 0.05}, {"type": "playlist", "name": "self"}]})
    d = host.start_daemon()
    host.wait_http("/player")
    command(host, "Start Playlist", "broken")
    d.wait_for_log("Error loading")
    command(host, "Start Playlist", "typed")
    d.wait_for_log("Unknown Playlist Entry Type: bogus")
    d.wait_for_log("Could not start sequence gone.lseq")
    assert wait_for(lambda: player_status(host)["status"] == 0)
    command(host, "Start Playlist", "self")
    d.wait_for_log("Sub-playlist depth exceeded 5")
    assert wait_for(lambda: player_status(host)["status"] == 0)
    assert d.running()
    assert d.stop() == 0


def test_blocking_script_holds_the_playlist_until_it_exits(host):
    host.write_file("scripts/hold.sh", "#!/bin/sh\nwhile [ ! -f release ]; do sleep 0.05; done\n", mode=0o755)
    host.write_file("playlists/script.json", {"name": "script", "mainPlaylist": [
        {"type": "script", "scriptName": "hold.sh", "blocking": True},
        {"type": "pause", "duration": 30}]})
    d = host.start_daemon()
    host.wait_http("/player")
    command(host, "Start Playlist", "script")
    assert wait_for(lambda: player_status(host)["position"] == 1)
    time.sleep(1.0)
    assert player_status(host)["position"] == 1
    assert player_status(host)["currentEntry"]["type"] == "script"
    host.write_file("scripts/release", "")
    assert wait_for(lambda: player_status(host)["position"] == 2)
    command(host, "Stop Now")
    assert wait_for(lambda: player_status(host)["status"] == 0)
    assert d.stop() == 0


# ---- MQTT: a tiny 3.1.1 client, enough to subscribe and publish ----

def _remaining(n):
    out = b""
    while True:
        b = n % 128
        n //= 128
        out += bytes([b | (0x80 if n else 0)])
        if not n:
            return out


def _packet(kind, body):
    return bytes([kind]) + _remaining(len(body)) + body


def _s(text):
    data = text.encode()
    return struct.pack(">H", len(data)) + data


class Mqtt:
    def __init__(self, host, port):
        self.sock = host.connect(port=port, timeout=5)
        self.sock.sendall(_packet(0x10, _s("MQTT") + bytes([4, 2]) + struct.pack(">H", 60) + _s("test")))
        self._read()  # CONNACK
        self.buf = b""

    def _read(self):
        hdr = self.sock.recv(1)
        if not hdr:
            raise EOFError
        mult, n = 1, 0
        while True:
            b = self.sock.recv(1)[0]
            n += (b & 127) * mult
            mult *= 128
            if not b & 128:
                break
        body = b""
        while len(body) < n:
            body += self.sock.recv(n - len(body))
        return hdr[0], body

    def subscribe(self, topic):
        self.sock.sendall(_packet(0x82, struct.pack(">H", 1) + _s(topic) + bytes([0])))

    def publish(self, topic, payload=b""):
        self.sock.sendall(_packet(0x30, _s(topic) + payload))

    def messages(self, seconds):
        """Yields (topic, payload) for QoS 0 deliveries until `seconds` pass."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.05, deadline - time.monotonic()))
            try:
                kind, body = self._read()
            except socket.timeout:
                return
            if kind & 0xF0 != 0x30:
                continue
            tlen = struct.unpack(">H", body[:2])[0]
            topic = body[2:2 + tlen].decode()
            rest = body[2 + tlen:]
            if kind & 0x06:
                rest = rest[2:]  # packet id of QoS 1/2
            yield topic, rest.decode(errors="replace")


def test_mqtt_status_topics_and_next(host):
    port = 18830
    host.write_file("mosquitto.conf", "listener %d 127.0.0.1\nallow_anonymous true\n" % port)
    host.spawn(["/usr/sbin/mosquitto", "-c", os.path.join(host.media, "mosquitto.conf")])
    host.write_file("playlists/m.json", {"name": "m", "mainPlaylist": [
        {"type": "pause", "duration": 30}, {"type": "pause", "duration": 30}]})
    d = host.start_daemon(settings={"MQTTHost": "127.0.0.1", "MQTTPort": str(port), "MQTTPrefix": "t",
                                    "HostName": "box"})
    host.wait_http("/player")
    watcher = wait_for(lambda: _try(lambda: Mqtt(host, port)))
    assert watcher
    watcher.subscribe("t/lyrd/box/#")
    d.wait_for_log("MQTT connected")
    command(host, "Start Playlist", "m")
    seen = {}
    for topic, payload in watcher.messages(5):
        seen[topic] = payload
        if seen.get("t/lyrd/box/status") == "playing" and "t/lyrd/box/playlist/section/status" in seen:
            break
    assert seen.get("t/lyrd/box/status") == "playing"
    assert seen.get("t/lyrd/box/playlist/section/status") == "MainPlaylist"
    watcher.publish("t/lyrd/box/set/playlist/m/next")
    assert wait_for(lambda: player_status(host)["position"] == 2)
    assert d.stop() == 0


def _try(fn):
    try:
        return fn()
    except OSError:
        return None


def test_mqtt_last_will_marks_a_killed_daemon_offline(host):
    """A daemon that dies without its orderly stop leaves the broker to tell
    subscribers: the retained availability turns from "online" to "offline"."""
    port = 18831
    host.write_file("mosquitto.conf", "listener %d 127.0.0.1\nallow_anonymous true\n" % port)
    host.spawn(["/usr/sbin/mosquitto", "-c", os.path.join(host.media, "mosquitto.conf")])
    d = host.start_daemon(settings={"MQTTHost": "127.0.0.1", "MQTTPort": str(port), "MQTTPrefix": "t",
                                    "HostName": "box"})
    d.wait_for_log("MQTT connected")

    def retained(seconds=3):
        w = wait_for(lambda: _try(lambda: Mqtt(host, port)))
        w.subscribe("t/lyrd/box/availability")
        got = [p for t, p in w.messages(seconds) if t == "t/lyrd/box/availability"]
        w.sock.close()
        return got[-1] if got else None

    assert wait_for(lambda: retained(1) == "online", timeout=10)
    d.signal(signal.SIGKILL)
    d.wait_exit()
    assert wait_for(lambda: retained(1) == "offline", timeout=10)
