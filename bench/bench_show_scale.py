#!/usr/bin/env python3
"""The whole show at scale: the stage of bench_show.py (scheduled playlist
of three paired entries, audio into ALSA's null device, one receiver
timestamping every board's E1.31 output) with one master and sixteen
remotes on one bridge, against the same show with one remote.  Reports, over
all remotes, the worst share of packets showing the master's frame, the
worst sequence offset p99 and media offset p99, and the master's CPU, peak
RSS, status latency and main-loop timing in both runs.  Only the master's
status is polled (twice a second); seventeen daemons with libVLC share this
machine's cores, so the load average is printed with the figures.

    sudo python3 bench/bench_show_scale.py
    LYRD_BENCH_SHOW_SECONDS=10 LYRD_BENCH_REMOTES=8 sudo python3 bench/bench_show_scale.py
"""

import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import harness  # noqa: E402
from bench_show import (STEP_MS, percentile, play, remote_figures, report_boards, result,  # noqa: E402
                        show_header)

REMOTES = max(2, min(32, int(os.environ.get("LYRD_BENCH_REMOTES", "16"))))


def summarize(label, show):
    show_header(label, show)
    worst = {"within": (101.0, None), "p99": (-1.0, None), "media": (-1.0, None)}
    frames = 0
    for universe, name in enumerate(show["boards"][1:], start=2):
        f = remote_figures(show, universe, name)
        diffs, offsets, media = f["diffs"], f["offsets"], f["media"]
        within = 100.0 * sum(abs(d) <= 1 for d in diffs) / len(diffs) if diffs else 0.0
        p99 = percentile(offsets, 99) if offsets else float("inf")
        mp99 = percentile(media, 99) if media else float("inf")
        frames += len(diffs)
        print("  %s: entries %s, within a frame %.2f %% of %d, sequence offset p99 %.2f ms (median %.2f), "
              "media p99 %.1f ms" % (name, f["entries"], within, len(diffs), p99,
                                     statistics.median(offsets) if offsets else 0, mp99))
        if within < worst["within"][0]:
            worst["within"] = (within, name)
        if p99 > worst["p99"][0]:
            worst["p99"] = (p99, name)
        if mp99 > worst["media"][0]:
            worst["media"] = (mp99, name)
    n = len(show["boards"]) - 1
    result("%s: packets within a frame, worst remote" % label, "%.2f %% (%s)" % worst["within"], ">= 99.9 %",
           "%d packets of %d remotes" % (frames, n))
    result("%s: sequence offset p99, worst remote" % label, "%.2f ms (%s)" % worst["p99"], "< 5 ms",
           "master's E1.31, same receiver")
    result("%s: media offset p99, worst remote" % label, "%.1f ms (%s)" % worst["media"], "< 30 ms",
           "master's media sync packets")
    report_boards(label, show, ["master"])


def main():
    if not harness.can_run():
        print("bench_show_scale: needs root and iproute2; skipped")
        result("show at scale", "skipped (needs root)", "-")
        return
    one = play(remotes=1, polled=["master"])
    summarize("1 remote", one)
    many = play(remotes=REMOTES, polled=["master"])
    summarize("%d remotes" % REMOTES, many)
    w1, wn = one["watcher"], many["watcher"]
    result("master CPU, %d remotes against 1" % REMOTES, "%.2f %% against %.2f %%" % (
        wn.cpu["master"], w1.cpu["master"]), "-", "% of one core")
    result("master peak RSS, %d remotes against 1" % REMOTES, "%.1f MB against %.1f MB" % (
        wn.peak["master"] / 1024.0, w1.peak["master"] / 1024.0), "-", "-")
    print("(frame period %d ms)" % STEP_MS)


if __name__ == "__main__":
    main()
