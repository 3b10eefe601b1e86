#!/usr/bin/env python3
"""Media sync: a master and a remote in namespace hosts play the same
2-minute WAV through libVLC (ALSA's null device).  The remote starts late:
it is frozen (SIGSTOP) while the master starts the playlist and let go
(SIGCONT) the lateness later, so the master's open and start packets wait in
its socket as they would behind a board that stalls.  Of the sync packets
queued behind them only the newest of a batch is applied, and it arrives
before the remote's media reports a play time, so it changes nothing; from
then on the remote gets the master's positions as they are sent.  (A netem
delay on the remote's veth would do the same from the network side; this
kernel has no netem.)

The difference is the one the remote measures on every media sync packet
(its play time at arrival minus the master's position in the packet), read
from its excess-level "Diff:" log line.  Both sides' positions are libVLC's
play time, dated by its time-changed event (the controller's own input, not
sound captured at the outputs); the one-way delay of the veth link, well
under a millisecond, is part of the figure.  Case A is 300 ms late (the rate
trim has to pull it in); case B is 10.5 s late, past the 10 s at which the
remote seeks instead of trimming.  Each case runs with the default
controller and again with "remoteFineMediaSync" on (the finer controller,
target p99 < 5 ms after settling; LYRD_BENCH_CONTROLLERS=default runs only
the first).

    sudo python3 bench/bench_media_sync.py
    LYRD_BENCH_SECONDS=40 sudo python3 bench/bench_media_sync.py   # shorter runs
    LYRD_BENCH_LATE_MS=3000 LYRD_BENCH_TRACE=1 sudo python3 bench/bench_media_sync.py
"""

import os
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import harness  # noqa: E402
from test_media_sync import (JUMP_LINE, MEDIA, command, diffs, make_pair, start_master,  # noqa: E402
                             start_remote)

MEDIA_SECONDS = 120
SECONDS = min(int(os.environ.get("LYRD_BENCH_SECONDS", str(MEDIA_SECONDS - 5))), MEDIA_SECONDS - 5)
IN_STEP_MS = 30
HOLD_S = 10
# Case A has the rate trim pull the remote in; case B is past the 10 s at which it seeks instead.
LATE_MS = [int(x) for x in os.environ.get("LYRD_BENCH_LATE_MS", "300,10500").split(",")]
PEER = "the master's position in its media sync packets (same file, same start)"


def result(figure, value, target, peer=PEER):
    print("BENCH_RESULT\t%s\t%s\t%s\t%s" % (figure, value, target, peer))


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


def play_late(late_ms, settings=None):
    """Plays the song with the remote late_ms behind; returns the remote's log
    and how long after the playlist start the remote started its media."""
    net = harness.Network()
    try:
        master, remote = make_pair(net, "10.206.0", MEDIA_SECONDS)
        r = start_remote(remote, settings)
        start_master(master)
        r.signal(signal.SIGSTOP)
        try:
            command(master, "Start Playlist", "song")
            started = time.monotonic()
            time.sleep(late_ms / 1000.0)
        finally:
            r.signal(signal.SIGCONT)
        r.wait_for_log("StartSyncedMedia(%s)" % MEDIA, timeout=10)
        start_delay = time.monotonic() - started
        deadline = started + SECONDS + late_ms / 1000.0 + 10
        while time.monotonic() < deadline:
            samples = diffs(r.log())
            if samples and samples[-1][0] >= SECONDS:
                break
            time.sleep(1.0)
        return r.log(), start_delay
    finally:
        net.close()


def converged_at(samples, hold_s=None, band=IN_STEP_MS):
    """Index of the first sample from which |diff| stays under IN_STEP_MS: to
    the end of the run, or (hold_s given) for at least hold_s seconds of
    media; None when it never does."""
    for i, (m0, d0, _) in enumerate(samples):
        if abs(d0) >= band:
            continue
        run = samples[i:]
        if hold_s is not None:
            run = [x for x in run if x[0] < m0 + hold_s]
            if samples[-1][0] < m0 + hold_s:
                return None
        if all(abs(d) < band for _, d, _ in run):
            return i
    return None


def report(case, target_s, log, start_delay, p99_target=30):
    samples = diffs(log)
    name = "%s: time until |diff| stays < %d ms (held %d s)" % (case, IN_STEP_MS, HOLD_S)
    if not samples:
        print("%s: the remote applied no media sync" % case)
        result(name, "never", "< %d s" % target_s)
        return
    t0, first, _ = samples[0]
    print("%s: remote started %.2f s after the master; %d media sync samples over %.1f s of media" % (
        case, start_delay, len(samples), samples[-1][0] - t0))
    print("  first difference measured: %d ms at master %.3f s" % (first, t0))
    jumps = [(int(m.group(1)), float(m.group(2))) for m in JUMP_LINE.finditer(log)]
    if jumps:
        after = [d for m, d, _ in samples if m > jumps[0][1]]
        landed = "%d ms" % abs(after[0]) if after else "no sample"
        print("  hard seek at diff %d ms to %.3f s; next difference %s" % (jumps[0][0], jumps[0][1], landed))
        result("%s: |diff| at the first sample after the hard seek" % case, landed, "< 100 ms")
    if os.environ.get("LYRD_BENCH_TRACE"):
        print("  trace (master s, diff ms, rate): " + " ".join("%.1f/%d/%.3f" % x for x in samples))
    rate_changes = sum(1 for k in range(1, len(samples)) if samples[k][2] != samples[k - 1][2])
    print("  rate changes seen: %d; lowest rate %.3f, highest %.3f" % (
        rate_changes, min(s[2] for s in samples), max(s[2] for s in samples)))
    # A single late sample (the remote's main loop woken late on a busy
    # machine reads its own clock late) restarts a strict "stays under" count,
    # so the convergence time is taken where the difference first holds for
    # 10 s, and the p99 counts every sample after that, excursions included.
    settled = converged_at(samples, HOLD_S)
    strict = converged_at(samples)
    if settled is None:
        worst = max(abs(d) for _, d, _ in samples[-20:])
        print("  never held within %d ms for %d s (worst of the last 20 samples %d ms)" % (
            IN_STEP_MS, HOLD_S, worst))
        result(name, "never", "< %d s" % target_s)
        result("%s: p99 |diff| over the last 60 samples" % case, "%d ms" % percentile(
            [abs(d) for _, d, _ in samples[-60:]], 99), "< 30 ms")
        return
    took = samples[settled][0] - t0
    rest = [abs(d) for _, d, _ in samples[settled:]]
    out = [(m, d) for m, d, _ in samples[settled:] if abs(d) >= IN_STEP_MS]
    print("  within %d ms from master %.3f s on: %.2f s after the first sample; of the %d samples after, "
          "%d at or over %d ms %s; p99 %d ms, max %d ms" % (
              IN_STEP_MS, samples[settled][0], took, len(rest), len(out), IN_STEP_MS, out, percentile(rest, 99),
              max(rest)))
    if strict is not None:
        print("  within %d ms without exception from master %.3f s to the end (%.2f s after the first sample)" % (
            IN_STEP_MS, samples[strict][0], samples[strict][0] - t0))
    result(name, "%.2f s" % took, "< %d s" % target_s)
    result("%s: p99 |diff| after converging" % case, "%d ms" % percentile(rest, 99), "< 30 ms")
    if p99_target < IN_STEP_MS:
        # The finer controller settles twice: first within 30 ms, then within
        # a few; its figure is the p99 once it has held within 5 ms for 10 s.
        fine = converged_at(samples, HOLD_S, band=p99_target)
        if fine is None:
            result("%s: p99 |diff| after settling within %d ms" % (case, p99_target), "never settled",
                   "< %d ms" % p99_target)
        else:
            tail = [abs(d) for _, d, _ in samples[fine:]]
            print("  within %d ms (held %d s) from master %.3f s on (%.2f s after the first sample): p99 %d ms, "
                  "max %d ms over %d samples" % (p99_target, HOLD_S, samples[fine][0], samples[fine][0] - t0,
                                                  percentile(tail, 99), max(tail), len(tail)))
            result("%s: p99 |diff| after settling within %d ms" % (case, p99_target), "%d ms (settled after %.1f s)" % (
                percentile(tail, 99), samples[fine][0] - t0), "< %d ms" % p99_target)
    result("%s: samples >= %d ms after converging" % (case, IN_STEP_MS), "%d of %d" % (len(out), len(rest)),
           "none wanted")


def main():
    if not harness.can_run():
        print("bench_media_sync: needs root and iproute2; skipped")
        return
    print("load average %.2f %.2f %.2f (the machine may be shared)" % os.getloadavg())
    controllers = os.environ.get("LYRD_BENCH_CONTROLLERS", "default,fine").split(",")
    for controller in controllers:
        settings = {"remoteFineMediaSync": "1"} if controller == "fine" else None
        for late_ms in LATE_MS:
            case = "remote %s late" % ("%d ms" % late_ms if late_ms < 1000 else "%g s" % (late_ms / 1000.0))
            if controller == "fine":
                case += ", fine controller"
            try:
                log, start_delay = play_late(late_ms, settings)
            except (RuntimeError, AssertionError) as exc:
                print("%s: %s" % (case, str(exc).splitlines()[0]))
                continue
            report(case, 10, log, start_delay, 5 if controller == "fine" else 30)


if __name__ == "__main__":
    main()
