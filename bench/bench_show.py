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
each board) while it plays, and the master's main-loop timing
(GET /lyrd/debug/mainLoop over the show).  A second run puts the userspace
relay (bench/lossy_relay.py) between the master and the remotes: sync
datagrams cross it with 1 ms +- 0.5 ms delay and 1 % loss; the receiver
hears every board directly.  Prints figures only; bounded by the show length.

    sudo python3 bench/bench_show.py
    LYRD_BENCH_SHOW_SECONDS=10 sudo python3 bench/bench_show.py   # shorter entries
    LYRD_BENCH_SHOW_RUNS=clean sudo python3 bench/bench_show.py   # no relay run
"""

import json
import os
import re
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import harness  # noqa: E402
from test_show_e2e import STEP_MS, Stage, frame_differences, frame_offsets, percentile, played  # noqa: E402

SECONDS = max(5, min(60, int(os.environ.get("LYRD_BENCH_SHOW_SECONDS", "20"))))
ENTRIES = 3
LEAD = 12  # seconds from writing the schedule to its start: the daemons start meanwhile
RELAY = {"delay_ms": 1.0, "jitter_ms": 0.5, "loss_percent": 1.0, "ports": (32320,)}
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

    def __init__(self, stage, polled=None):
        self.stage = stage
        self.boards = stage.boards
        polled = self.boards if polled is None else polled
        self.latency = {n: [] for n in self.boards}
        self.errors = {n: 0 for n in self.boards}
        self.peak = {n: 0 for n in self.boards}
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self._poll, args=(n,), daemon=True) for n in polled]
        self.threads.append(threading.Thread(target=self._memory, daemon=True))

    def start(self):
        self.t0 = time.monotonic()
        self.cpu0 = {n: harness.cpu_ticks(self.stage.daemons[n].pid) for n in self.boards}
        self.stage.master.http("GET", "/lyrd/debug/mainLoop?reset=1")
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
            for n in self.boards:
                self.peak[n] = max(self.peak[n], harness.rss_kb(self.stage.daemons[n].pid))

    def stop(self):
        wall = time.monotonic() - self.t0
        hz = os.sysconf("SC_CLK_TCK")
        self.cpu = {n: 100.0 * (harness.cpu_ticks(self.stage.daemons[n].pid) - self.cpu0[n]) / hz / wall
                    for n in self.boards}
        try:
            self.loop = json.loads(self.stage.master.http("GET", "/lyrd/debug/mainLoop")[2])
        except (OSError, ValueError):
            self.loop = {}
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


def play(remotes=2, relay=None, polled=None, remote_args=("-f", "--log-level", "info;excess:MediaOut")):
    """Plays the show once; returns what it saw."""
    net = harness.Network()
    try:
        stage = Stage(net, entries=ENTRIES, seconds=SECONDS, repeat=0, remotes=remotes, relay=relay)
        start = int(time.time()) + LEAD + remotes // 4
        end = start + ENTRIES * SECONDS + 15  # the playlist ends on its own before this
        stage.schedule(start, end, stop_type="Graceful", repeat=False)
        stage.start(remote_args=list(remote_args))
        while time.time() < start:
            time.sleep(0.2)
        watcher = Watcher(stage, polled)
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
        logs = {n: stage.daemons[n].log() for n in stage.boards}
        stage.close()
        relay_stats = getattr(stage, "relay_stats", None)
    finally:
        net.close()
    return {"boards": stage.boards, "packets": packets, "logs": logs, "watcher": watcher, "relay": relay_stats,
            "load": os.getloadavg()}


def remote_figures(show, universe, name):
    """Sequence and media figures of one remote against the master."""
    packets = show["packets"]
    master_runs = played(packets, 1)
    runs = played(packets, universe)
    offsets = [abs(o) * 1000.0 for o in frame_offsets(master_runs, runs)]
    steady = [abs(o) * 1000.0 for o in frame_offsets(middles(master_runs), runs)]
    diffs, changes = frame_differences(packets, 1, universe)
    return {"entries": [r["entry"] for r in runs], "offsets": offsets, "steady": steady, "diffs": diffs,
            "changes": changes, "media": media_diffs(show["logs"][name], SECONDS)}


def report_remote(label, name, f):
    print("%s %s: entries %s" % (label, name, f["entries"]))
    offsets, steady, diffs = f["offsets"], f["steady"], f["diffs"]
    within = 100.0 * sum(abs(d) <= 1 for d in diffs) / len(diffs) if diffs else 0.0
    if offsets:
        print("  sequence offset vs master: median %.2f ms, p99 %.2f ms, max %.2f ms over %d frames" % (
            statistics.median(offsets), percentile(offsets, 99), max(offsets), len(offsets)))
        result("%s %s: sequence offset p99" % (label, name), "%.2f ms (median %.2f)" % (
            percentile(offsets, 99), statistics.median(offsets)), "< 5 ms", "master's E1.31, same receiver")
        if steady:
            print("  the same without each entry's first and last second: median %.2f ms, p99 %.2f ms, "
                  "max %.2f ms over %d frames" % (statistics.median(steady), percentile(steady, 99), max(steady),
                                                  len(steady)))
            result("%s %s: sequence offset p99 mid-entry" % (label, name), "%.2f ms (median %.2f)" % (
                percentile(steady, 99), statistics.median(steady)), "< 5 ms", "all frames: above")
    else:
        result("%s %s: sequence offset p99" % (label, name), "no common frames", "< 5 ms")
    print("  packets within a frame of the master's: %.2f %% of %d (%d in entry changes)" % (
        within, len(diffs), f["changes"]))
    result("%s %s: packets within a frame" % (label, name), "%.2f %% of %d" % (within, len(diffs)), ">= 99.9 %",
           "master's frame at the same moment")
    media = f["media"]
    if media:
        print("  media offset vs master's sync: median %.1f ms, p99 %.1f ms over %d reports" % (
            statistics.median(media), percentile(media, 99), len(media)))
        result("%s %s: media offset p99" % (label, name), "%.1f ms (median %.1f)" % (
            percentile(media, 99), statistics.median(media)), "< 30 ms", "master's media sync packets")
    else:
        result("%s %s: media offset p99" % (label, name), "no reports", "< 30 ms")


def report_boards(label, show, names):
    w = show["watcher"]
    for name in names:
        lat = w.latency[name]
        print("%s %s: CPU %.2f %% of one core, peak RSS %.1f MB; status latency p50 %.2f ms, p99 %.2f ms "
              "(%d requests, %d errors)" % (label, name, w.cpu[name], w.peak[name] / 1024.0,
                                             statistics.median(lat) if lat else 0, percentile(lat, 99) if lat else 0,
                                             len(lat), w.errors[name]))
        peer = "master %.2f %%" % w.cpu["master"] if name != "master" else "-"
        result("%s %s: CPU while playing" % (label, name), "%.2f %% of one core" % w.cpu[name], "-", peer)
        peer = "master %.1f MB" % (w.peak["master"] / 1024.0) if name != "master" else "-"
        result("%s %s: peak RSS while playing" % (label, name), "%.1f MB" % (w.peak[name] / 1024.0), "-", peer)
        if lat:
            result("%s %s: GET /lyrd/status p99" % (label, name), "%.2f ms (p50 %.2f)" % (
                percentile(lat, 99), statistics.median(lat)), "< 5 ms", "%d requests" % len(lat))
    report_loop(label, w.loop)


def report_loop(label, loop):
    gap = loop.get("gap") if isinstance(loop, dict) else None
    if not gap:
        result("%s master: main-loop gap" % label, "not read", "p99 < 20 ms, max < 50 ms")
        return
    print("%s master main loop over %.1f s: gap p50 %.2f, p99 %.2f, max %.2f ms (%d iterations, %d over 20 ms); "
          "work p99 %.2f, max %.2f ms" % (label, loop.get("seconds", 0), gap["p50Ms"], gap["p99Ms"], gap["maxMs"],
                                           gap["count"], gap["over20Ms"], loop["work"]["p99Ms"],
                                           loop["work"]["maxMs"]))
    result("%s master: main-loop gap p99 / max" % label, "%.2f / %.2f ms" % (gap["p99Ms"], gap["maxMs"]),
           "< 20 / < 50 ms", "%d iterations" % gap["count"])


def report_relay(label, stats):
    if not stats:
        return
    for key, c in stats.get("impaired", {}).items():
        print("%s relay %s: %d received, %d dropped (%.2f %%), %d forwarded, delay mean %.2f ms, p99 %.2f, "
              "max %.2f" % (label, key, c["received"], c["dropped"], 100.0 * c["dropped"] / max(1, c["received"]),
                            c["forwarded"], c.get("delayMeanMs", 0), c.get("delayP99Ms", 0),
                            c.get("delayMaxMs", 0)))
        result("%s relay %s: dropped / delay mean" % (label, key), "%.2f %% / %.2f ms" % (
            100.0 * c["dropped"] / max(1, c["received"]), c.get("delayMeanMs", 0)), "1 % / 1 ms",
            "%d datagrams" % c["received"])


def show_header(label, show):
    packets = show["packets"]
    master_runs = played(packets, 1)
    print("%s: %d entries of %d s, %d E1.31 packets received, played for %.1f s; load average %.2f %.2f %.2f" % (
        label, ENTRIES, SECONDS, len(packets), show["watcher"].wall, *show["load"]))
    print("%s: master played entries %s" % (label, [r["entry"] for r in master_runs]))


def main():
    if not harness.can_run():
        print("bench_show: needs root and iproute2; skipped")
        result("whole show", "skipped (needs root)", "-")
        return
    runs = os.environ.get("LYRD_BENCH_SHOW_RUNS", "clean,relay").split(",")
    for kind in runs:
        label = "show" if kind == "clean" else "show via relay"
        show = play(relay=RELAY if kind == "relay" else None)
        show_header(label, show)
        for universe, name in enumerate(show["boards"][1:], start=2):
            report_remote(label, name, remote_figures(show, universe, name))
        report_boards(label, show, show["boards"])
        report_relay(label, show["relay"])
    print("(frame period %d ms)" % STEP_MS)


if __name__ == "__main__":
    main()
