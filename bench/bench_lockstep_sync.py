#!/usr/bin/env python3
"""Sync accuracy: a master and a remote in namespace hosts play a sequence at
40 frames/s; a third host timestamps both E1.31 outputs.  Reports the share
of remote frames that show the master's frame index, the median and p99 of
the time offset between the two showing the same frame, and the time from
the remote's start (mid-show) until it is locked.  A second run puts the
userspace relay (bench/lossy_relay.py; this kernel has no netem) between the
master and the remote: sync datagrams cross it with 1 ms +- 0.5 ms delay and
1 % loss, and the receiver has a leg on each side, so it hears both boards'
E1.31 directly.  Prints figures only.

    sudo python3 bench/bench_lockstep_sync.py            # 120 s per run
    LYRD_BENCH_SECONDS=30 sudo python3 bench/bench_lockstep_sync.py
"""

import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import harness  # noqa: E402
from test_channelout import lseq_bytes  # noqa: E402
from test_lockstep_show import Capture, outputs  # noqa: E402

SECONDS = int(os.environ.get("LYRD_BENCH_SECONDS", "120"))
STEP_MS = 25
LATE_JOIN = 5.0


def result(figure, value, target, compared="-"):
    """One line for the table of `make bench` (see scripts/run-bench)."""
    print("BENCH_RESULT\t%s\t%s\t%s\t%s" % (figure, value, target, compared), flush=True)


def setup(net, relay):
    """Hosts master, remote and rx; with relay, the master is on a bridge of
    its own and rx has a leg on each side."""
    hosts = {}
    layout = [("master", ["10.203.0.1"], ["br1" if relay else "br0"]), ("remote", ["10.203.0.2"], ["br0"]),
              ("rx", ["10.203.0.3", "10.203.0.4"] if relay else ["10.203.0.3"], ["br1", "br0"] if relay else ["br0"])]
    for name, addresses, bridges in layout:
        h = net.add_host(name, addresses=[a + "/24" for a in addresses], bridges=bridges)
        for i, a in enumerate(addresses):
            h.exec(["ip", "addr", "del", a + "/24", "dev", "eth%d" % i])
            h.exec(["ip", "addr", "add", a + "/24", "brd", "+", "dev", "eth%d" % i])
        hosts[name] = h
    if relay:
        for k, v in (("all/arp_ignore", 1), ("all/arp_announce", 2), ("all/rp_filter", 0), ("eth0/rp_filter", 0),
                     ("eth1/rp_filter", 0)):
            hosts["rx"].exec(["sh", "-c", "echo %d > /proc/sys/net/ipv4/conf/%s" % (v, k)])
    frames = (SECONDS + 10) * 1000 // STEP_MS
    data = lseq_bytes(64, frames, STEP_MS)
    for name, universe, rx in (("master", 1, "10.203.0.3"), ("remote", 2, "10.203.0.4" if relay else "10.203.0.3")):
        h = hosts[name]
        h.write_file("config/co-universes.json", outputs(universe, rx))
        h.write_file("sequences/bench.lseq", data)
        h.write_file("playlists/bench.json", {"name": "bench", "mainPlaylist": [
            {"type": "sequence", "sequenceName": "bench.lseq"}]})
    return hosts


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


def run(label, relay):
    net = harness.Network()
    link = None
    try:
        hosts = setup(net, relay)
        if relay:
            link = harness.Relay(net, "relay", ["br1", "br0"], delay_ms=1.0, jitter_ms=0.5, loss_percent=1.0,
                                 ports=(32320,))
        caps = [Capture(hosts["rx"], a) for a in hosts["rx"].addresses]
        hosts["master"].start_daemon(settings={"HostName": "master", "LockstepEnabled": "1"})
        hosts["master"].wait_http()
        st, _, body = hosts["master"].http("POST", "/command", body={"command": "Start Playlist",
                                                                     "args": ["bench"]})
        assert st == 200, body
        time.sleep(LATE_JOIN)
        joined = time.monotonic()
        hosts["remote"].start_daemon(settings={"HostName": "remote", "lyrMode": "remote"})
        time.sleep(SECONDS)
        packets = sorted(p for c in caps for p in c.take())
        for c in caps:
            c.close()
        relay_stats = link.stop() if link else None
    finally:
        net.close()

    master = [(t, f) for t, u, f in packets if u == 1]
    remote = [(t, f) for t, u, f in packets if u == 2 and t >= joined]
    first_seen = {}
    for t, f in master:
        first_seen.setdefault(f, t)
    # The remote is on the master's frame when it shows frame f within half
    # a frame period of the master showing f.
    half = STEP_MS / 2000.0
    remote_first = {}
    for t, f in remote:
        remote_first.setdefault(f, t)
    shown = sorted((t, f) for f, t in remote_first.items() if f > 0)
    on = [(t, f in first_seen and abs(t - first_seen[f]) < half) for t, f in shown]
    lock = None
    for i, (t, ok) in enumerate(on):
        if ok and all(o for _, o in on[i:i + 40]):
            lock = t
            break
    started = remote[0][0] - joined if remote else None
    after = [(t, ok) for t, ok in on if lock is not None and t >= lock]
    share = 100.0 * sum(ok for _, ok in after) / len(after) if after else 0.0
    abs_off = [abs(t - first_seen[f]) * 1000.0 for t, f in shown
               if lock is not None and t >= lock and f in first_seen]
    first_frame = shown[0][0] if shown else None
    print("%s: %d master and %d remote packets over %d s" % (label, len(master), len(remote), SECONDS))
    print("  remote frames shown with the master's frame after lock: %.2f %% of %d (target >= 99.9 %%)" % (
        share, len(after)))
    result("sync %s: remote on master's frame" % label, "%.2f %% of %d" % (share, len(after)), ">= 99.9 %")
    if abs_off:
        print("  offset, remote vs master showing a frame: median %.2f ms, p99 %.2f ms (target p99 < 5 ms)" % (
            statistics.median(abs_off), percentile(abs_off, 99)))
        result("sync %s: frame offset p99" % label, "%.2f ms (median %.2f)" % (
            percentile(abs_off, 99), statistics.median(abs_off)), "< 5 ms", "E1.31 of master, same receiver")
    if started is not None and first_frame is not None and lock is not None:
        print("  remote daemon up after %.2f s; first followed frame after %.2f s; locked %.2f s after that "
              "(target < 1 s)" % (started, first_frame - joined, lock - first_frame))
        result("sync %s: lock after late join" % label, "%.2f s" % (lock - first_frame), "< 1 s",
               "daemon up after %.2f s" % started)
    else:
        print("  remote never locked")
        result("sync %s: lock after late join" % label, "never", "< 1 s")
    if relay_stats:
        for key, c in relay_stats["impaired"].items():
            print("  relay %s: %d received, %d dropped, %d forwarded; delay mean %.2f ms, p99 %.2f, max %.2f" % (
                key, c["received"], c["dropped"], c["forwarded"], c.get("delayMeanMs", 0), c.get("delayP99Ms", 0),
                c.get("delayMaxMs", 0)))


def main():
    if not harness.can_run():
        print("bench_lockstep_sync: needs root and iproute2; skipped")
        return
    print("load average %.2f %.2f %.2f (the machine may be shared)" % os.getloadavg())
    run("plain veth", False)
    run("relay 1 ms +- 0.5 ms, 1 % loss", True)


if __name__ == "__main__":
    main()
