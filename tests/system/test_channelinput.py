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
    for h in (desk, board):
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
