#!/usr/bin/env python3
"""Live input to output.  A desk host sends sACN with the npm `sacn` Sender
(tests/system/sacn_sender.js, frame number in channels 1-4 of every
universe), a board host runs lyrd bridging it to E1.31 outputs, a lights host
in another namespace receives them.

1. 64 universes at 40 frames/s: tshark on the board's interface timestamps
   every datagram in and out; arrival-to-departure latency of each universe's
   frame (p50, p99, max), frames never sent on, and frames sent out of order.
2. 334 universes in and out at 40 frames/s: CPU of the daemon, against a bare
   recvmmsg + sendmmsg loop (build/bench/relay_floor) relaying the same
   packets from the same sender in the same run.

    sudo python3 bench/bench_channelinput.py
    LYRD_BENCH_INPUT_SECONDS=5 sudo python3 bench/bench_channelinput.py
"""

import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import harness  # noqa: E402

SECONDS = max(3, min(60, int(os.environ.get("LYRD_BENCH_INPUT_SECONDS", "10"))))
DESK, BOARD, LIGHTS = "10.211.0.1", "10.211.0.2", "10.211.0.3"
SENDER_JS = os.path.join(HERE, "..", "tests", "system", "sacn_sender.js")
OUT_OFFSET = 1000


def result(figure, value, target, compared="-"):
    print("BENCH_RESULT\t%s\t%s\t%s\t%s" % (figure, value, target, compared), flush=True)


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))] if s else float("nan")


class Drain:
    """The lights: reads and counts every datagram, so the board's output has a receiver."""

    def __init__(self, host):
        self.sock = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 20)
        self.sock.bind((LIGHTS, 5568))
        self.sock.settimeout(0.2)
        self.count = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping:
            try:
                self.sock.recv(2048)
                self.count += 1
            except socket.timeout:
                pass

    def close(self):
        self.stopping = True
        self.thread.join(timeout=2)
        self.sock.close()


def make_stage(net):
    hosts = {}
    for name, addr in (("desk", DESK), ("board", BOARD), ("lights", LIGHTS)):
        hosts[name] = net.add_host(name, addresses=[addr + "/24"])
    return hosts


def configure(board, universes):
    board.write_file("config/ci-universes.json", {"channelInputs": [{"universes": [
        {"protocol": "sacn", "id": 1, "startChannel": 1, "channelCount": 512, "universeCount": universes}]}]})
    board.write_file("config/co-universes.json", {"channelOutputs": [{"type": "universes", "enabled": 1,
        "universes": [{"active": 1, "id": 1 + OUT_OFFSET, "startChannel": 1, "channelCount": 512,
                       "universeCount": universes, "address": LIGHTS}]}]})


def send(desk, universes, seconds):
    cfg = {"cid": "ab" * 16, "name": "bench desk", "dest": BOARD, "rate": 40, "seconds": seconds, "counter": True,
           "universes": [{"universe": u, "priority": 100} for u in range(1, universes + 1)]}
    p = subprocess.run(desk.command(["node", SENDER_JS, json.dumps(cfg)]), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True, timeout=seconds + 60)
    if p.returncode != 0:
        raise RuntimeError("sender failed: " + p.stderr[-2000:])
    return json.loads(p.stdout.strip().splitlines()[-1])


def read_pcap(path):
    """(time s, source address, universe, frame number) of every E1.31 data packet."""
    out = []
    with open(path, "rb") as f:
        head = f.read(24)
        magic = struct.unpack("<I", head[:4])[0]
        scale = 1e-9 if magic == 0xA1B23C4D else 1e-6
        while True:
            rec = f.read(16)
            if len(rec) < 16:
                break
            sec, frac, incl, _ = struct.unpack("<IIII", rec)
            pkt = f.read(incl)
            if len(pkt) < 14 + 20 + 8 + 130 or pkt[12:14] != b"\x08\x00":
                continue
            ihl = (pkt[14] & 15) * 4
            src = socket.inet_ntoa(pkt[26:30])
            e = pkt[14 + ihl + 8:]
            if len(e) < 130 or e[4:16] != b"ASC-E1.17\0\0\0":
                continue
            out.append((sec + frac * scale, src, struct.unpack(">H", e[113:115])[0],
                        struct.unpack(">I", e[126:130])[0]))
    return out


def latency_part(net):
    hosts = make_stage(net)
    configure(hosts["board"], 64)
    drain = Drain(hosts["lights"])
    d = hosts["board"].start_daemon()
    pcap = os.path.join(hosts["board"].root, "io.pcap")
    cap = subprocess.Popen(hosts["board"].command(["tshark", "-q", "-i", "eth0", "-F", "pcap", "-w", pcap,
                                                   "-f", "udp port 5568", "-B", "64"]),
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    time.sleep(2.0)  # tshark opens its capture
    sent = send(hosts["desk"], 64, SECONDS)
    time.sleep(0.5)
    cap.send_signal(signal.SIGINT)
    cap.wait(timeout=20)
    d.stop()
    drain.close()
    packets = read_pcap(pcap)
    arrivals, departures = {}, {}
    order = {}
    for t, src, u, n in packets:
        if src == DESK:
            arrivals.setdefault((u, n), t)
        elif src == BOARD:
            departures.setdefault((u - OUT_OFFSET, n), t)
            order.setdefault(u, []).append(n)
    lat = [(departures[k] - t) * 1000.0 for k, t in arrivals.items() if k in departures]
    lost = sum(1 for k in arrivals if k not in departures)
    reordered = sum(1 for seq in order.values() for a, b in zip(seq, seq[1:]) if b < a)
    print("64 universes: %d frames sent, %d packets in, %d out, %d lost, %d reordered" %
          (sent["frames"], len(arrivals), sum(len(s) for s in order.values()), lost, reordered))
    cmp = "tshark on the board's interface, %d s at 40 frames/s" % SECONDS
    result("input to output latency p50 (64 universes)", "%.3f ms" % percentile(lat, 50), "-", cmp)
    result("input to output latency p99 (64 universes)", "%.3f ms" % percentile(lat, 99), "< 2 ms", cmp)
    result("input to output latency max (64 universes)", "%.3f ms" % max(lat), "-", cmp)
    result("input frames lost (64 universes)", "%d of %d" % (lost, len(arrivals)), "0", cmp)
    result("output frames reordered (64 universes)", "%d" % reordered, "0", cmp)


def cpu_of(pid, work):
    hz = os.sysconf("SC_CLK_TCK")
    t0, c0 = time.monotonic(), harness.cpu_ticks(pid)
    out = work()
    return 100.0 * (harness.cpu_ticks(pid) - c0) / hz / (time.monotonic() - t0), out


def cpu_part(net):
    hosts = make_stage(net)
    configure(hosts["board"], 334)
    drain = Drain(hosts["lights"])
    d = hosts["board"].start_daemon()
    time.sleep(0.5)
    base = drain.count
    daemon_cpu, sent = cpu_of(d.pid, lambda: send(hosts["desk"], 334, SECONDS))
    out_daemon = drain.count - base
    d.stop()
    relay = subprocess.Popen(hosts["board"].command([os.path.join(harness.BUILD_DIR, "bench", "relay_floor"), LIGHTS,
                                                     str(OUT_OFFSET), str(SECONDS + 5)]),
                             stdout=subprocess.PIPE, text=True)
    time.sleep(0.5)
    base = drain.count
    floor_cpu, _ = cpu_of(relay.pid, lambda: send(hosts["desk"], 334, SECONDS))
    out_floor = drain.count - base
    relay.kill()
    relay.wait()
    drain.close()
    print("334 universes: %d frames sent; daemon sent %d packets, bare relay %d" % (sent["frames"], out_daemon,
                                                                                    out_floor))
    result("daemon CPU, 334 universes in and out at 40 frames/s", "%.1f %% of one core" % daemon_cpu, "< 15 %",
           "bare recvmmsg+sendmmsg relay: %.1f %%" % floor_cpu)
    result("output packets per input packet (334 universes)", "%.2f" % (out_daemon / max(1, sent["frames"] * 334)),
           "1.00", "bare relay: %.2f" % (out_floor / max(1, sent["frames"] * 334)))


def main():
    if not harness.can_run():
        print("bench_channelinput: needs root and iproute2; skipped")
        result("live input", "skipped (needs root)", "-")
        return
    for part in (latency_part, cpu_part):
        net = harness.Network()
        try:
            part(net)
        finally:
            net.close()


if __name__ == "__main__":
    main()
