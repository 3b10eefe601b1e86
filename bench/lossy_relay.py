#!/usr/bin/env python3
"""A userspace link with delay, jitter and loss, for kernels without netem.

Run inside a namespace host that has two interfaces without addresses, one on
each of two bridges: every Ethernet frame that arrives on one leg leaves on
the other, so the two bridges form one LAN (ARP, broadcast, multicast and
source addresses all pass unchanged).  UDP datagrams to or from the chosen
ports are impaired: each is dropped with the given probability, or sent
after a delay drawn evenly from delay +- jitter (so, as with netem, jitter
can reorder them).  Every other frame is forwarded at once.  TCP crosses in
segments up to the link's MTU; a larger segment a sender left for the
hardware to split cannot be sent on and counts as a send error.

What it did is counted per port and direction (received, dropped, forwarded,
send errors, and the delay actually achieved, which on a busy machine is
longer than the one drawn) and written as JSON to --stats every second and
when it ends (SIGTERM or SIGINT).

    ip netns exec RELAY python3 bench/lossy_relay.py --legs eth0 eth1 \\
        --delay-ms 1 --jitter-ms 0.5 --loss-percent 1 --ports 32320 5568 --stats /tmp/relay.json
"""

import argparse
import heapq
import json
import os
import random
import select
import signal
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
SOL_PACKET = 263
PACKET_ADD_MEMBERSHIP = 1
PACKET_MR_PROMISC = 1
PACKET_OUTGOING = 4


def udp_ports(frame):
    """(source port, destination port) of an IPv4 UDP frame, else None."""
    if len(frame) < 42 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
        return None
    ihl = (frame[14] & 0x0F) * 4
    # A fragment after the first carries no UDP header.
    if struct.unpack(">H", frame[20:22])[0] & 0x1FFF:
        return None
    start = 14 + ihl
    if len(frame) < start + 4:
        return None
    return struct.unpack(">HH", frame[start:start + 4])


def _ones_complement(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def fix_checksum(frame):
    """The frame with a transport checksum the receiver accepts.  A veth
    sender leaves checksums for the hardware to fill in (the packet socket
    sees the partial one), so the relay does it: UDP over IPv4 gets "no
    checksum" (0), TCP a computed one."""
    if len(frame) < 34 or frame[12:14] != b"\x08\x00":
        return frame
    ihl = (frame[14] & 0x0F) * 4
    proto = frame[23]
    if struct.unpack(">H", frame[20:22])[0] & 0x3FFF:  # fragments keep theirs
        return frame
    start = 14 + ihl
    total = struct.unpack(">H", frame[16:18])[0]
    end = 14 + total
    if proto == 17 and len(frame) >= start + 8:
        return frame[:start + 6] + b"\0\0" + frame[start + 8:]
    if proto == 6 and len(frame) >= start + 20 and end <= len(frame):
        seg = bytearray(frame[start:end])
        seg[16:18] = b"\0\0"
        pseudo = frame[26:34] + struct.pack(">BBH", 0, 6, len(seg))
        csum = (~_ones_complement(pseudo + bytes(seg))) & 0xFFFF
        seg[16:18] = struct.pack(">H", csum)
        return frame[:start] + bytes(seg) + frame[end:]
    return frame


def open_leg(name):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
    s.bind((name, 0))
    # Frames for the hosts on the other side are not addressed to this leg.
    mreq = struct.pack("iHH8s", socket.if_nametoindex(name), PACKET_MR_PROMISC, 0, b"")
    s.setsockopt(SOL_PACKET, PACKET_ADD_MEMBERSHIP, mreq)
    s.setblocking(False)
    return s


class Counter:
    def __init__(self):
        self.received = self.dropped = self.forwarded = self.errors = 0
        self.delays = []  # achieved, ms

    def summary(self):
        d = sorted(self.delays)
        out = {"received": self.received, "dropped": self.dropped, "forwarded": self.forwarded,
               "sendErrors": self.errors}
        if d:
            out.update({"delayMinMs": round(d[0], 3), "delayMeanMs": round(sum(d) / len(d), 3),
                        "delayP99Ms": round(d[min(len(d) - 1, int(0.99 * (len(d) - 1) + 0.5))], 3),
                        "delayMaxMs": round(d[-1], 3)})
        return out


class Relay:
    def __init__(self, legs, ports, delay, jitter, loss, seed):
        self.socks = [open_leg(n) for n in legs]
        self.names = list(legs)
        self.ports = set(ports)
        self.delay, self.jitter, self.loss = delay / 1000.0, jitter / 1000.0, loss / 100.0
        self.random = random.Random(seed)
        self.queue = []  # (due, order, leg out, frame, arrival, key)
        self.order = 0
        self.counts = {}
        self.passed = 0
        self.passErrors = 0

    def counter(self, key):
        c = self.counts.get(key)
        if c is None:
            c = self.counts[key] = Counter()
        return c

    def send(self, leg, frame):
        try:
            self.socks[leg].send(fix_checksum(frame))
            return True
        except OSError:
            return False

    def arrived(self, leg, frame, now):
        out = 1 - leg
        ports = udp_ports(frame)
        port = None
        if ports:
            port = ports[1] if ports[1] in self.ports else ports[0] if ports[0] in self.ports else None
        if port is None:
            self.passed += 1
            if not self.send(out, frame):
                self.passErrors += 1
            return
        key = "%d %s->%s" % (port, self.names[leg], self.names[out])
        c = self.counter(key)
        c.received += 1
        if self.random.random() < self.loss:
            c.dropped += 1
            return
        wait = max(0.0, self.delay + self.random.uniform(-self.jitter, self.jitter))
        self.order += 1
        heapq.heappush(self.queue, (now + wait, self.order, out, frame, now, key))

    def due(self, now):
        while self.queue and self.queue[0][0] <= now:
            _, _, out, frame, arrival, key = heapq.heappop(self.queue)
            c = self.counter(key)
            if self.send(out, frame):
                c.forwarded += 1
                c.delays.append((time.monotonic() - arrival) * 1000.0)
            else:
                c.errors += 1

    def stats(self):
        return {"legs": self.names, "delayMs": self.delay * 1000.0, "jitterMs": self.jitter * 1000.0,
                "lossPercent": self.loss * 100.0, "ports": sorted(self.ports),
                "unimpairedForwarded": self.passed, "unimpairedSendErrors": self.passErrors,
                "impaired": {k: c.summary() for k, c in sorted(self.counts.items())}}

    def run(self, stats_path, stopping):
        next_write = time.monotonic() + 1.0
        if stats_path:
            write_stats(stats_path, self.stats())  # also tells the starter it runs
        while not stopping():
            now = time.monotonic()
            timeout = 0.2
            if self.queue:
                timeout = max(0.0, min(timeout, self.queue[0][0] - now))
            ready, _, _ = select.select(self.socks, [], [], timeout)
            now = time.monotonic()
            for s in ready:
                leg = self.socks.index(s)
                while True:
                    try:
                        frame, addr = s.recvfrom(65536)
                    except (BlockingIOError, InterruptedError):
                        break
                    if addr[2] != PACKET_OUTGOING:
                        self.arrived(leg, frame, now)
            self.due(time.monotonic())
            if stats_path and now >= next_write:
                write_stats(stats_path, self.stats())
                next_write = now + 1.0
        self.due(float("inf"))
        if stats_path:
            write_stats(stats_path, self.stats())


def write_stats(path, doc):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(doc, f, indent=1)
    os.replace(tmp, path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--legs", nargs=2, required=True, metavar="IFACE")
    ap.add_argument("--ports", nargs="+", type=int, default=[32320, 5568])
    ap.add_argument("--delay-ms", type=float, default=1.0)
    ap.add_argument("--jitter-ms", type=float, default=0.5)
    ap.add_argument("--loss-percent", type=float, default=1.0)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--stats", default="")
    a = ap.parse_args(argv)
    if a.delay_ms < 0 or a.jitter_ms < 0 or not 0 <= a.loss_percent <= 100:
        ap.error("delay and jitter must be >= 0 and loss within 0-100")
    flag = {"stop": False}

    def stop(*_):
        flag["stop"] = True

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    relay = Relay(a.legs, a.ports, a.delay_ms, a.jitter_ms, a.loss_percent, a.seed)
    print("relay %s <-> %s: ports %s, delay %.2f +- %.2f ms, loss %.1f %%" % (
        a.legs[0], a.legs[1], sorted(relay.ports), a.delay_ms, a.jitter_ms, a.loss_percent), flush=True)
    relay.run(a.stats, lambda: flag["stop"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
