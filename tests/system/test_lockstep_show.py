"""A master plays a playlist and a remote follows it; a third namespace host
receives both E1.31 outputs and compares the frame each shows over time."""

import json
import os
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_channelout import lseq_bytes  # noqa: E402
import e131  # noqa: E402

STEP_MS = 25


def outputs(universe, to):
    return json.dumps({"channelOutputs": [{"type": "universes", "enabled": 1, "universes": [
        {"active": 1, "id": universe, "startChannel": 1, "channelCount": 64, "address": to}]}]})


class Capture(e131.Listener):
    """Timestamps every E1.31 packet: (arrival, universe, frame index)."""

    def __init__(self, host, address):
        self.packets = []
        super().__init__(host, address)

    def packet(self, now, pkt):
        if len(pkt) >= 130:
            self.packets.append((now, e131.universe_of(pkt), e131.frame_of(pkt)))

    def take(self):
        with self.lock:
            return list(self.packets)


@pytest.fixture
def stage(net):
    hosts = {}
    for i, name in enumerate(["master", "remote", "rx"], start=1):
        h = net.add_host(name, addresses=["10.202.0.%d/24" % i])
        h.exec(["ip", "addr", "del", "10.202.0.%d/24" % i, "dev", "eth0"])
        h.exec(["ip", "addr", "add", "10.202.0.%d/24" % i, "brd", "+", "dev", "eth0"])
        hosts[name] = h
    for name, universe in (("master", 1), ("remote", 2)):
        h = hosts[name]
        h.write_file("config/co-universes.json", outputs(universe, "10.202.0.3"))
        h.write_file("sequences/show.lseq", lseq_bytes(64, 480, STEP_MS))
        h.write_file("playlists/show.json", {"name": "show", "mainPlaylist": [
            {"type": "sequence", "sequenceName": "show.lseq"}]})
    cap = Capture(hosts["rx"], "10.202.0.3")
    yield hosts, cap
    cap.close()


def start_master(h):
    d = h.start_daemon(settings={"HostName": "master", "LockstepEnabled": "1"})
    h.wait_http()
    return d


def start_remote(h):
    d = h.start_daemon(settings={"HostName": "remote", "lyrMode": "remote"})
    h.wait_http()
    return d


def command(h, name, *args):
    st, _, body = h.http("POST", "/command", body={"command": name, "args": list(args)})
    assert st == 200, body


def master_frame_at(master, t):
    """Frame the master showed at time t (its latest packet not after t)."""
    best = None
    for when, frame in master:
        if when > t:
            break
        best = frame
    return best


def compare(packets, since):
    master = [(t, f) for t, u, f in packets if u == 1 and t >= since]
    remote = [(t, f) for t, u, f in packets if u == 2 and t >= since]
    offsets = []
    for t, f in remote:
        m = master_frame_at(master, t)
        if m is not None:
            offsets.append(f - m)
    return master, remote, offsets


def test_remote_shows_the_masters_frames(stage):
    hosts, cap = stage
    start_remote(hosts["remote"])
    start_master(hosts["master"])
    time.sleep(0.5)
    command(hosts["master"], "Start Playlist", "show")
    time.sleep(4.0)
    master, remote, offsets = compare(cap.take(), time.monotonic() - 3.0)
    assert len(master) > 80 and len(remote) > 80, (len(master), len(remote))
    assert len({f for _, f in master}) > 80, "the master's frames advance"
    assert offsets and all(abs(o) <= 1 for o in offsets), offsets

    # Stopping the master stops the remote.
    command(hosts["master"], "Stop Now")
    time.sleep(1.0)
    after = time.monotonic()
    time.sleep(1.0)
    late = [(t, f) for t, u, f in cap.take() if u == 2 and t >= after]
    assert len({f for _, f in late}) <= 1, "remote still advancing after the master stopped"
    _, _, body = hosts["remote"].http("GET", "/lyrd/status")
    assert json.loads(body)["current_sequence"] == ""


def test_late_remote_locks_on_within_a_second(stage):
    hosts, cap = stage
    start_master(hosts["master"])
    command(hosts["master"], "Start Playlist", "show")
    time.sleep(2.0)
    start_remote(hosts["remote"])
    joined = time.monotonic()
    time.sleep(3.0)
    packets = cap.take()
    _, remote, _ = compare(packets, joined)
    moving = [t for t, f in remote if f > 0]
    assert moving, "remote never started"
    lock_from = moving[0] + 1.0
    assert lock_from - joined < 2.5
    _, _, offsets = compare(packets, lock_from)
    assert len(offsets) > 40
    assert all(abs(o) <= 1 for o in offsets), offsets
