#!/usr/bin/env python3
"""Recording live input: how well the frames of a recording match what an
outside sender sent.  A desk host sends sACN universe 1 with the npm `sacn`
Sender (tests/system/sacn_frames.js), a board host runs lyrd recording it at
25 ms; all times are CLOCK_MONOTONIC, which the sender, the daemon (its
"frame 0 at monotonic" log line) and this script share.  Two recordings:

- 25 ms sender, each frame sent half an interval before a recording
  deadline: every sender frame that a deadline falls on (by the sender's own
  record of when it sent) must be in the recording: frames missing.
- 1 ms sender: the frame a recorded frame holds says when it was sampled, to
  within the sender's gap; the timing error is how far that window lies from
  the frame's deadline (input latency included: a frame sent before the
  deadline but not yet received counts as an error).

    sudo python3 bench/bench_recording.py
    LYRD_BENCH_RECORD_SECONDS=5 sudo python3 bench/bench_recording.py
"""

import bisect
import json
import os
import re
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import harness  # noqa: E402

SECONDS = max(3, min(120, int(os.environ.get("LYRD_BENCH_RECORD_SECONDS", "20"))))
DESK, BOARD = "10.214.0.1", "10.214.0.2"
FRAMES_JS = os.path.join(HERE, "..", "tests", "system", "sacn_frames.js")
INTERVAL_NS = 25000000


def result(figure, value, target, compared="-"):
    print("BENCH_RESULT\t%s\t%s\t%s\t%s" % (figure, value, target, compared), flush=True)


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))] if s else float("nan")


def send(desk, frames, period_ms, start_ns, realtime):
    """Runs the sender on universe 1; its {"sent": [...], "done": [...]}."""
    cfg = {"cid": "aa" * 16, "dest": BOARD, "universes": [1], "frames": frames, "periodMS": period_ms,
           "startNS": start_ns, "counterOnly": period_ms < 5}
    # Real-time priority (below the daemon's sampling thread) keeps the
    # machine's other work from making the 25 ms sender irregular; the 1 ms
    # sender spins all the time and runs as an ordinary process.
    prio = ["chrt", "-f", "10"] if realtime else []
    out = subprocess.run(["ip", "netns", "exec", desk.netns] + prio + ["node", FRAMES_JS, json.dumps(cfg)],
                         stdout=subprocess.PIPE, text=True, timeout=SECONDS + 60, check=True)
    return json.loads(out.stdout)


def record(board, desk, d, name, period_ms, offset_ns, realtime):
    """One recording of one sender run; (frame 0 time, recorded frames, sender times)."""
    at = len(d.log())
    st, body = board.http_json("POST", "/recording/start", body={"name": name})
    assert st == 200, body
    log = d.wait_for_log("frame 0 at monotonic", start=at)[at:]
    m = re.search(r"frame 0 at monotonic (\d+)\.(\d{9}) s", log)
    d0 = int(m.group(1)) * 1000000000 + int(m.group(2))
    # A whole number of intervals after frame 0 (node needs a moment to start).
    first = d0 + (time.monotonic_ns() - d0) // INTERVAL_NS * INTERVAL_NS + 80 * INTERVAL_NS + offset_ns
    times = send(desk, int(SECONDS * 1000 / period_ms), period_ms, first, realtime)
    time.sleep(0.1)
    st, body = board.http_json("POST", "/recording/stop")
    assert st == 200, body
    saved = d.wait_for_log("latest sample", start=at)[at:]
    late = float(re.search(r"latest sample ([\d.]+) ms after its deadline", saved).group(1))
    with open(os.path.join(board.media, "sequences", name + ".lseq"), "rb") as f:
        data = f.read()
    header, channels, count = struct.unpack("<III", data[8:20])
    frames = [struct.unpack(">I", data[header + n * channels:header + n * channels + 4])[0] for n in range(count)]
    return d0, frames, times, late


def main():
    net = harness.Network()
    try:
        desk = net.add_host("desk", addresses=[DESK + "/24"])
        board = net.add_host("board", addresses=[BOARD + "/24"])
        board.write_file("config/ci-universes.json", {"channelInputs": [{"enabled": 1, "universes": [
            {"active": 1, "protocol": "sacn", "id": 1, "startChannel": 1, "channelCount": 512,
             "universeCount": 1}]}]})
        d = board.start_daemon(["-f"])
        board.wait_http()
        # Each frame sent half an interval before a deadline.
        d0_slow, slow, times_slow, _ = record(board, desk, d, "bench-25ms", 25, -INTERVAL_NS // 2, True)
        d0_fast, fast, times_fast, own_late = record(board, desk, d, "bench-1ms", 1, -2000000, False)
        d.stop()
    finally:
        net.close()

    # The 25 ms sender: a frame is due in the recording when some deadline
    # falls after it surely left and before the next one may have; then it
    # must be there.
    held = {}
    for n, k in enumerate(slow):
        held.setdefault(k, []).append(n)
    sent_slow, done_slow = times_slow["sent"], times_slow["done"]
    total = len(sent_slow)
    due_frames = {}
    for n in range(len(slow)):
        t = d0_slow + n * INTERVAL_NS
        k = bisect.bisect_right(done_slow, t)  # frames surely gone by t
        if 1 <= k <= total and (k == total or sent_slow[k] > t):
            due_frames[k] = (t - done_slow[k - 1]) / 1e6  # how long before the deadline it had left
    missing = sorted(k for k in due_frames if k not in held)
    repeated = sum(1 for k in range(1, total) if len(held.get(k, [])) > 1)
    sender_late = sum(1 for k in range(1, total + 1) if k not in due_frames)

    # The 1 ms sender: a recorded frame holding frame j was sampled after j
    # left and before j + 1 arrived.  The error is how far that window lies from
    # the deadline: holding a frame sent after the deadline means sampling at
    # least that late; holding one whose successor left before the deadline
    # means the successor was not in the buffer yet (input latency) or the
    # sample came early.  Exact to the sender's own gap.
    errors, gaps, where = [], [], []
    sent_fast, done_fast = times_fast["sent"], times_fast["done"]
    started = False
    for n, j in enumerate(fast):
        if j < 1 or j >= len(sent_fast):
            continue
        due = d0_fast + n * INTERVAL_NS
        # Until the 1 ms sender's first frame is in, the buffer holds the
        # 25 ms sender's last frame, whose number reads as a frame the 1 ms
        # sender has not sent yet.
        if not started and sent_fast[j - 1] > due + INTERVAL_NS:
            continue
        started = True
        lo, hi = sent_fast[j - 1], done_fast[j]  # j surely left after lo; j + 1 surely by hi
        errors.append((lo - due) / 1e6 if lo > due else (hi - due) / 1e6 if hi < due else 0.0)
        gaps.append((hi - lo) / 1e6)
        where.append((n, j))
    abs_err = [abs(e) for e in errors]
    worst = sorted(range(len(errors)), key=lambda i: -abs_err[i])[:3]

    note = "%d s, shared machine" % SECONDS
    print("recorded %d frames; 25 ms sender: %d frames, %d due in the recording, missing %d (%s), "
          "repeated %d, %d sent too late or early to be due; 1 ms sender: %d recorded frames covered" %
          (len(slow), total, len(due_frames), len(missing), missing[:10], repeated, sender_late, len(errors)))
    print("sampling error (ms): p50 %.3f p99 %.3f max %.3f (signed p1 %.3f p99 %.3f); sender gap p50 %.3f "
          "p99 %.3f ms" % (percentile(abs_err, 50), percentile(abs_err, 99), max(abs_err), percentile(errors, 1),
                           percentile(errors, 99), percentile(gaps, 50), percentile(gaps, 99)))
    print("the recorder's own latest wake-up after a deadline: %.3f ms" % own_late)
    if missing:
        print("missing frames had left this long before their deadline (ms): %s" %
              ", ".join("%d: %.3f" % (k, due_frames[k]) for k in missing[:10]))
    print("worst recorded frames (frame, sender frame held, error ms): %s" %
          ", ".join("(%d, %d, %.3f)" % (where[i] + (errors[i],)) for i in worst))
    result("recording: sample instant vs frame deadline p99 (1 ms sender)", "%.3f ms" % percentile(abs_err, 99),
           "< 1 ms", "max %.3f ms (input latency included; the sampler's own latest wake-up %.3f ms); "
           "sender gap p99 %.3f ms; %s" % (max(abs_err), own_late, percentile(gaps, 99), note))
    result("recording: sender frames missing (25 ms sender)", "%d of %d" % (len(missing), len(due_frames)),
           "none", "%d repeated, %d not due (sender jitter); %s" % (repeated, sender_late, note))


if __name__ == "__main__":
    main()
