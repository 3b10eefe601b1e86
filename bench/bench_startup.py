"""Start-up time (exec to main loop entered, median of 10) and idle cost
(CPU share and memory over 60 s), with the daemon in a private network namespace.

Memory is reported three ways: RSS counts every touched page of the shared
libraries the daemon links (libVLC, GraphicsMagick, SDL, libcurl, TLS), most
of which are clean, shared with other processes and dropped under pressure;
PSS divides shared pages by their users; private dirty is what this process
alone costs."""
import datetime
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import harness  # noqa: E402

READY = "Starting main processing loop"


def logged_time(out, text):
    for line in out.splitlines():
        if text in line:
            stamp = line[:23]
            return datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f").timestamp()
    raise RuntimeError("no %r in output" % text)


def startup(host, runs=10):
    times = []
    for _ in range(runs):
        t0 = time.time()
        d = host.start_daemon(["-f"], wait=True)
        times.append((logged_time(d.log(), READY) - t0) * 1000.0)
        d.stop()
    return times


def memory_kb(pid):
    """RSS, PSS and private dirty kB from smaps_rollup."""
    fields = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                fields[parts[0].rstrip(":")] = int(parts[1])
    return fields.get("Rss", 0), fields.get("Pss", 0), fields.get("Private_Dirty", 0)


def result(figure, value, target, peer):
    print("BENCH_RESULT\t%s\t%s\t%s\t%s" % (figure, value, target, peer))


def idle(host, seconds=60):
    d = host.start_daemon(["-f"], wait=True)
    time.sleep(2)
    hz = os.sysconf("SC_CLK_TCK")
    c0, t0 = harness.cpu_ticks(d.pid), time.monotonic()
    peak = 0
    while time.monotonic() - t0 < seconds:
        time.sleep(1)
        peak = max(peak, harness.rss_kb(d.pid))
    c1, t1 = harness.cpu_ticks(d.pid), time.monotonic()
    mem = memory_kb(d.pid)
    d.stop()
    return 100.0 * (c1 - c0) / hz / (t1 - t0), peak, mem


def main():
    seconds = int(os.environ.get("LYRD_BENCH_IDLE_SECONDS", "60"))
    net = harness.Network()
    try:
        host = net.add_host("bench")
        times = startup(host)
        print("startup: exec to main loop, median %.1f ms (min %.1f, max %.1f, n=%d)" %
              (statistics.median(times), min(times), max(times), len(times)))
        result("start-up, exec to main loop (median of %d)" % len(times), "%.1f ms" % statistics.median(times),
               "< 100 ms", "min %.1f / max %.1f ms" % (min(times), max(times)))
        cpu, rss, (_, pss, private) = idle(host, seconds)
        print("idle over %d s: CPU %.3f %% of one core, peak RSS %.1f MB, PSS %.1f MB, private dirty %.1f MB" %
              (seconds, cpu, rss / 1024.0, pss / 1024.0, private / 1024.0))
        result("idle CPU (%d s)" % seconds, "%.3f %%" % cpu, "< 0.3 % of one core", "-")
        result("idle peak RSS", "%.1f MB" % (rss / 1024.0), "< 10 MB", "olad 6.5 MB, snapserver 2.4 MB (RSS)")
        result("idle PSS / private dirty", "%.1f / %.1f MB" % (pss / 1024.0, private / 1024.0), "< 10 MB",
               "RSS above, shared library pages included")
    finally:
        net.close()


if __name__ == "__main__":
    main()
