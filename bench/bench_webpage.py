"""The board's web page, with the daemon in a private network namespace:
first page load in Debian's chromium (to DOMContentLoaded and to the status
shown) and its bytes; push latency from a status change (a volume change
through the API) to the page; daemon CPU with 20 open event streams against
none; a 200 MB upload through the page's endpoint: throughput and the
daemon's RSS growth."""
import os
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import harness  # noqa: E402

SCRIPT = os.path.join(HERE, "..", "tests", "js", "webpage_bench.mjs")


def result(figure, value, target, peer):
    print("BENCH_RESULT\t%s\t%s\t%s\t%s" % (figure, value, target, peer), flush=True)


def browser_figures(host):
    r = host.exec(["node", SCRIPT, "http://127.0.0.1:%d" % harness.HTTP_PORT, "300"], check=False, timeout=180)
    got = {}
    for line in r.stdout.splitlines():
        if line.startswith("RESULT "):
            _, k, v = line.split()
            got[k] = float(v)
    if r.returncode != 0:
        print(r.stdout, r.stderr)
    return got


def cpu_share(pid, seconds):
    hz = os.sysconf("SC_CLK_TCK")
    c0, t0 = harness.cpu_ticks(pid), time.monotonic()
    time.sleep(seconds)
    return 100.0 * (harness.cpu_ticks(pid) - c0) / hz / (time.monotonic() - t0)


def open_streams(host, n):
    socks = []
    for _ in range(n):
        s = host.connect(timeout=30)
        s.sendall(b"GET /ui/events HTTP/1.1\r\nHost: x\r\n\r\n")
        socks.append(s)
    stop = threading.Event()

    def drain(s):
        s.settimeout(0.5)
        while not stop.is_set():
            try:
                if not s.recv(65536):
                    return
            except socket.timeout:
                pass
            except OSError:
                return
    threads = [threading.Thread(target=drain, args=(s,), daemon=True) for s in socks]
    for t in threads:
        t.start()
    return socks, stop


def upload(host, pid, size):
    s = host.connect(timeout=60)
    s.sendall(("POST /ui/api/files/videos/big.mp4 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
               "Content-Length: %d\r\n\r\n" % size).encode())
    chunk = bytes(range(256)) * 4096  # 1 MiB
    rss0 = harness.rss_kb(pid)
    peak = rss0
    t0 = time.monotonic()
    sent = 0
    while sent < size:
        s.sendall(chunk[:min(len(chunk), size - sent)])
        sent += min(len(chunk), size - sent)
        if sent % (16 << 20) == 0:
            peak = max(peak, harness.rss_kb(pid))
    reply = b""
    while True:
        data = s.recv(65536)
        if not data:
            break
        reply += data
    elapsed = time.monotonic() - t0
    peak = max(peak, harness.rss_kb(pid))
    s.close()
    return elapsed, rss0, peak, reply.split(b"\r\n", 1)[0].decode()


def main():
    if not harness.can_run():
        print("bench_webpage: needs root and iproute2")
        return
    net = harness.Network()
    try:
        host = net.add_host("web")
        d = host.start_daemon(["-f"])
        time.sleep(1)
        if os.path.exists("/usr/bin/chromium"):
            f = browser_figures(host)
            if f:
                result("first page load to DOMContentLoaded (loopback)", "%.0f ms" % f["dcl_ms"], "", "")
                result("first page load to status shown", "%.0f ms" % f["rendered_ms"], "", "")
                result("first page transfer", "%.1f KB" % (f["bytes"] / 1024.0), "< 200 KB", "")
                result("push latency p50 (status change to page)", "%.1f ms" % f["push_p50_ms"], "", "")
                result("push latency p99", "%.1f ms" % f["push_p99_ms"], "< 100 ms",
                       "max %.1f ms" % f["push_max_ms"])
        idle = cpu_share(d.pid, 15)
        socks, stop = open_streams(host, 20)
        time.sleep(1)
        busy = cpu_share(d.pid, 15)
        stop.set()
        for s in socks:
            s.close()
        result("daemon CPU with 20 open pages", "%.2f %%" % busy, "close to none", "no pages: %.2f %%" % idle)
        time.sleep(2)
        size = 200 << 20
        elapsed, rss0, peak, status = upload(host, d.pid, size)
        result("upload of 200 MB", "%.0f MB/s" % (size / elapsed / (1 << 20)), "", status)
        result("daemon RSS growth during the upload", "%.1f MB" % ((peak - rss0) / 1024.0), "< 5 MB",
               "RSS before %.1f MB" % (rss0 / 1024.0))
        d.stop()
    finally:
        net.close()


if __name__ == "__main__":
    main()
