"""A master plays a media playlist and a remote in another namespace follows
it over the real sync packets: the same file opens and starts there, its
position converges to the master's, and it stops when the master stops.

Both daemons play a WAV written here through libVLC into ALSA's null device.
The remote runs its media facility at excess level so that every media sync
packet leaves the line "Diff: <ms>\tMaster: <s>  Local: <s>  Rate: <r>" with
the difference it measured between its own play time and the master's."""

import functools
import json
import os
import re
import signal
import struct
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_media import ALSA_NULL  # noqa: E402

MEDIA = "sync.wav"
DIFF_LINE = re.compile(r"Diff: (-?\d+)\tMaster: (-?[\d.]+)  Local: (-?[\d.]+)  Rate: ([\d.]+)")
JUMP_LINE = re.compile(r"Diff: (-?\d+)\tVery far, jumping to: ([\d.]+)")


def bounded(seconds):
    """Fails the test (instead of hanging the run) after `seconds`."""

    def wrap(fn):
        @functools.wraps(fn)
        def run(*args, **kw):
            def expire(signum, frame):
                raise AssertionError("test took longer than %d s" % seconds)

            old = signal.signal(signal.SIGALRM, expire)
            signal.alarm(seconds)
            try:
                return fn(*args, **kw)
            finally:
                signal.alarm(0)
                signal.signal(signal.SIGALRM, old)

        return run

    return wrap


def wav_bytes(seconds, rate=8000):
    """A mono 16-bit square wave; built from one repeated period so that
    minutes of audio are cheap to write."""
    period = struct.pack("<10h", *([8000] * 10)) + struct.pack("<10h", *([-8000] * 10))
    n = rate * seconds * 2
    data = (period * (n // len(period) + 1))[:n]
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16) + b"data" + struct.pack("<I", len(data)) + data)


def make_pair(net, subnet, media_seconds):
    """A master and a remote on one bridge, both holding the same media file
    and the master a playlist of it."""
    hosts = {}
    for i, name in enumerate(["master", "remote"], start=1):
        addr = "%s.%d/24" % (subnet, i)
        h = net.add_host(name, addresses=[addr])
        # Sync goes out by broadcast, which needs the interface's broadcast address.
        h.exec(["ip", "addr", "del", addr, "dev", "eth0"])
        h.exec(["ip", "addr", "add", addr, "brd", "+", "dev", "eth0"])
        h.write_file("music/" + MEDIA, wav_bytes(media_seconds))
        hosts[name] = h
    hosts["master"].write_file("playlists/song.json", {"name": "song", "mainPlaylist": [
        {"type": "media", "mediaName": MEDIA}]})
    return hosts["master"], hosts["remote"]


def alsa_env(host):
    conf = os.path.join(host.root, "asound-null.conf")
    with open(conf, "w") as f:
        f.write(ALSA_NULL)
    return {"ALSA_CONFIG_PATH": conf}


def start_master(h):
    d = h.start_daemon(settings={"HostName": "master", "LockstepEnabled": "1"}, env=alsa_env(h))
    h.wait_http()
    return d


def start_remote(h, settings=None):
    values = {"HostName": "remote", "lyrMode": "remote"}
    values.update(settings or {})
    d = h.start_daemon(args=("-f", "--log-level", "excess:MediaOut;debug:Sync"), settings=values, env=alsa_env(h))
    h.wait_http()
    return d


def command(h, name, *args):
    st, _, body = h.http("POST", "/command", body={"command": name, "args": list(args)})
    assert st == 200, body


def status(h):
    st, _, body = h.http("GET", "/lyrd/status")
    assert st == 200, body
    return json.loads(body)


def diffs(log):
    """(master seconds, diff ms, rate) for every media sync packet the remote applied."""
    return [(float(m.group(2)), int(m.group(1)), float(m.group(4))) for m in DIFF_LINE.finditer(log)]


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


@pytest.fixture
def pair(net):
    return make_pair(net, "10.204.0", 40)


@bounded(45)
def test_remote_follows_the_masters_media_and_stops_with_it(pair):
    master, remote = pair
    r = start_remote(remote)
    start_master(master)
    command(master, "Start Playlist", "song")

    # The remote opened and started the file from the open and start packets,
    # not by joining late from a position.
    r.wait_for_log("StartSyncedMedia(%s)" % MEDIA, timeout=5)
    assert "OpenSyncedMedia(%s)" % MEDIA in r.log()
    assert "Joining media" not in r.log()
    assert status(remote)["current_song"] == MEDIA

    # Let both play past 10 s of media time, then look at what the remote measured.
    wait_for(lambda: any(m >= 14.0 for m, _, _ in diffs(r.log())), 25, "14 s of media sync on the remote")
    samples = diffs(r.log())
    late = [(m, d) for m, d, _ in samples if m >= 10.0]
    print("remote's measured diffs from 10 s on (master s, ms):", late)
    assert len(late) >= 6, samples
    assert all(abs(d) <= 100 for _, d in late), "remote not within 100 ms of the master after 10 s: %s" % late

    # Seen from outside, both report the same whole second (give or take the
    # second boundary falling between the two requests).
    m_sec = int(status(master)["seconds_played"])
    r_sec = int(status(remote)["seconds_played"])
    assert m_sec >= 10 and abs(m_sec - r_sec) <= 1, (m_sec, r_sec)

    command(master, "Stop Now")
    wait_for(lambda: status(remote)["current_song"] == "", 5, "the remote to stop its media")
    r.wait_for_log("Stopping synced media: %s" % MEDIA, timeout=2)
    assert r.running()


@bounded(30)
def test_remote_that_comes_up_mid_song_joins_at_the_masters_position(pair):
    master, remote = pair
    start_master(master)
    command(master, "Start Playlist", "song")
    time.sleep(4.0)
    r = start_remote(remote)
    r.wait_for_log("Joining media %s at" % MEDIA, timeout=5)
    joined = float(re.search(r"Joining media \S+ at ([\d.]+)", r.log()).group(1))
    assert joined >= 4.0, joined
    assert status(remote)["current_song"] == MEDIA

    # Within a few seconds of joining the remote is in step.
    wait_for(lambda: any(m >= joined + 6.0 for m, _, _ in diffs(r.log())), 15, "6 s of media sync after joining")
    settled = [d for m, d, _ in diffs(r.log()) if m >= joined + 4.0]
    assert settled and all(abs(d) <= 100 for d in settled), diffs(r.log())
    command(master, "Stop Now")
    wait_for(lambda: status(remote)["current_song"] == "", 5, "the remote to stop its media")
