#!/usr/bin/env python3
"""The whole show: a master and two remotes in namespace hosts on one bridge
play a scheduled playlist of three paired (sequence + audio) entries, audio
into ALSA's null device.  A fourth host receives the E1.31 output of all
three and timestamps it on one clock.  Reports, for each remote against the
master:

- sequence offset: time between the master and the remote first showing the
  same frame of the same entry (median, p99 of its magnitude), and the share
  of output packets within one frame of the master's;
- media offset: the remote's own media position against the master's sync
  packets, as the remote's media output measures it when it trims its speed
  (median, p99 of its magnitude, from its log);

and for every daemon its CPU share and peak RSS while the show plays, and the
latency of GET /lyrd/status (a new connection each time, twice a second on
each board) while it plays.  Prints figures only; bounded by the show length.

    sudo python3 bench/bench_show.py
    LYRD_BENCH_SHOW_SECONDS=10 sudo python3 bench/bench_show.py   # shorter entries
"""

import os
import re
import socket
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import harness  # noqa: E402
from test_show_e2e import BOARDS, STEP_MS, Stage, frame_differences, frame_offsets, percentile, played  # noqa: E402

SECONDS = max(5, min(60, int(os.environ.get("LYRD_BENCH_SHOW_SECONDS", "20"))))
ENTRIES = 3
LEAD = 12  # seconds from writing the schedule to its start: the daemons start meanwhile
DIFF = re.compile(r"Diff: (-?\d+)\tMaster: ([0-9.]+)\s+Local: ([0-9.]+)")


def result(figure, value, target, compared="-"):
    """One line for the table of `make bench` (see scripts/run-bench)."""
    print("BENCH_RESULT\t%s\t%s\t%s\t%s" % (figure, value, target, compared), flush=True)


def status_latency(host):
    """Milliseconds for one GET /lyrd/status on a fresh connection."""
    s = host.socket()
    s.settimeout(5.0)
    t0 = time.monotonic()
    try:
        s.connect(("127.0.0.1", harness.HTTP_PORT))
        s.sendall(b"GET /lyrd/status HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
        while s.recv(65536):
            pass
    finally:
        s.close()
    return (time.monotonic() - t0) * 1000.0


class Watcher:
    """While the show plays: CPU and RSS of every daemon, and status latency."""

    def __init__(self, stage):
        self.stage = stage
        self.latency = {n: [] for n in BOARDS}
        self.errors = {n: 0 for n in BOARDS}
        self.peak = {n: 0 for n in BOARDS}
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self._poll, args=(n,), daemon=True) for n in BOARDS]
        self.threads.append(threading.Thread(target=self._memory, daemon=True))

    def start(self):
        self.t0 = time.monotonic()
        self.cpu0 = {n: harness.cpu_ticks(self.stage.daemons[n].pid) for n in BOARDS}
        for t in self.threads:
            t.start()

    def _poll(self, name):
        while not self.stopping.wait(0.5):
            try:
                self.latency[name].append(status_latency(self.stage.hosts[name]))
            except OSError:
                self.errors[name] += 1

    def _memory(self):
        while not self.stopping.wait(1.0):
            for n in BOARDS:
                self.peak[n] = max(self.peak[n], harness.rss_kb(self.stage.daemons[n].pid))

    def stop(self):
        wall = time.monotonic() - self.t0
        hz = os.sysconf("SC_CLK_TCK")
        self.cpu = {n: 100.0 * (harness.cpu_ticks(self.stage.daemons[n].pid) - self.cpu0[n]) / hz / wall for n in BOARDS}
        self.stopping.set()
        for t in self.threads:
            t.join(timeout=5)
        self.wall = wall


def media_diffs(log, length):
    """|local - master| in ms from the remote's speed trimming, after the
    first second of each song (the join itself is logged separately), and
    without the master's closing report, which gives the song's whole length
    once its output has ended (libVLC under ALSA's null device ends a song
    about a second early, so that report is a second off by itself)."""
    out = []
    for m in DIFF.finditer(log):
        if float(m.group(3)) >= 1.0 and float(m.group(2)) < length - 0.001:
            out.append(abs(int(m.group(1))))
    return out


def middles(runs, margin=1000 // STEP_MS):
    """The runs without their first and last `margin` frames."""
    out = []
    for r in runs:
        last = max(r["seen"])
        out.append({"entry": r["entry"], "seen": {f: t for f, t in r["seen"].items() if margin <= f <= last - margin}})
    return out


def main():
    if not harness.can_run():
        print("bench_show: needs root and iproute2; skipped")
        result("whole show", "skipped (needs root)", "-")
        return
    net = harness.Network()
    try:
        stage = Stage(net, entries=ENTRIES, seconds=SECONDS, repeat=0)
        start = int(time.time()) + LEAD
        end = start + ENTRIES * SECONDS + 15  # the playlist ends on its own before this
        stage.schedule(start, end, stop_type="Graceful", repeat=False)
        stage.start(remote_args=["-f", "--log-level", "info;excess:MediaOut"])
        while time.time() < start:
            time.sleep(0.2)
        watcher = Watcher(stage)
        watcher.start()
        deadline = time.time() + ENTRIES * SECONDS + 10
        time.sleep(3)
        while time.time() < deadline:
            st = stage.status_all()
            if st["master"].get("status_name") == "idle":
                break
            time.sleep(0.5)
        watcher.stop()
        packets = stage.capture.take()
        logs = {n: stage.daemons[n].log() for n in BOARDS}
        stage.close()
    finally:
        net.close()

    master_runs = played(packets, 1)
    print("show: %d entries of %d s, %d E1.31 packets received, played for %.1f s" % (
        ENTRIES, SECONDS, len(packets), watcher.wall))
    print("master played entries %s" % [r["entry"] for r in master_runs])
    for universe, name in ((2, "remote1"), (3, "remote2")):
        runs = played(packets, universe)
        offsets = [abs(o) * 1000.0 for o in frame_offsets(master_runs, runs)]
        steady = [abs(o) * 1000.0 for o in frame_offsets(middles(master_runs), runs)]
        diffs, changes = frame_differences(packets, 1, universe)
        within = 100.0 * sum(abs(d) <= 1 for d in diffs) / len(diffs) if diffs else 0.0
        media = media_diffs(logs[name], SECONDS)
        print("%s: entries %s" % (name, [r["entry"] for r in runs]))
        if offsets:
            print("  sequence offset vs master: median %.2f ms, p99 %.2f ms, max %.2f ms over %d frames" % (
                statistics.median(offsets), percentile(offsets, 99), max(offsets), len(offsets)))
            result("show %s: sequence offset p99" % name, "%.2f ms (median %.2f)" % (
                percentile(offsets, 99), statistics.median(offsets)), "< 5 ms", "master's E1.31, same receiver")
            if steady:
                print("  the same without each entry's first and last second: median %.2f ms, p99 %.2f ms, "
                      "max %.2f ms over %d frames" % (statistics.median(steady), percentile(steady, 99), max(steady),
                                                      len(steady)))
                result("show %s: sequence offset p99 mid-entry" % name, "%.2f ms (median %.2f)" % (
                    percentile(steady, 99), statistics.median(steady)), "< 5 ms", "all frames: above")
        else:
            result("show %s: sequence offset p99" % name, "no common frames", "< 5 ms")
        print("  packets within a frame of the master's: %.2f %% of %d (%d in entry changes)" % (
            within, len(diffs), changes))
        result("show %s: packets within a frame" % name, "%.2f %% of %d" % (within, len(diffs)), "100 %",
               "master's frame at the same moment")
        if media:
            print("  media offset vs master's sync: median %.1f ms, p99 %.1f ms over %d reports" % (
                statistics.median(media), percentile(media, 99), len(media)))
            result("show %s: media offset p99" % name, "%.1f ms (median %.1f)" % (
                percentile(media, 99), statistics.median(media)), "< 30 ms", "master's media sync packets")
        else:
            result("show %s: media offset p99" % name, "no reports", "< 30 ms")
    for name in BOARDS:
        lat = watcher.latency[name]
        print("%s: CPU %.2f %% of one core, peak RSS %.1f MB; status latency p50 %.2f ms, p99 %.2f ms "
              "(%d requests, %d errors)" % (name, watcher.cpu[name], watcher.peak[name] / 1024.0,
                                             statistics.median(lat) if lat else 0, percentile(lat, 99) if lat else 0,
                                             len(lat), watcher.errors[name]))
        peer = "master %.2f %%" % watcher.cpu["master"] if name != "master" else "-"
        result("show %s: CPU while playing" % name, "%.2f %% of one core" % watcher.cpu[name], "-", peer)
        peer = "master %.1f MB" % (watcher.peak["master"] / 1024.0) if name != "master" else "-"
        result("show %s: peak RSS while playing" % name, "%.1f MB" % (watcher.peak[name] / 1024.0), "-", peer)
        if lat:
            result("show %s: GET /lyrd/status p99" % name, "%.2f ms (p50 %.2f)" % (
                percentile(lat, 99), statistics.median(lat)), "< 5 ms", "%d requests" % len(lat))
    print("(frame period %d ms)" % STEP_MS)


if __name__ == "__main__":
    main()
