"""Runs lyrd on a demo media directory inside a private network namespace and
forwards 127.0.0.1:32322 on this machine to the daemon's HTTP API.

    make run                   # or: sudo python3 scripts/demo.py [--no-view]

The demo show (scripts/demo_content.py) starts by schedule a few seconds after
launch.  While it runs, a status line is printed every few seconds and, on a
terminal, the matrix the daemon sends as E1.31 is drawn in colour.  Audio goes
to ALSA's null device unless LYRD_DEMO_SOUND=1 (then the machine's default
ALSA device plays it)."""
import json
import os
import select
import signal
import socket
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
os.environ.setdefault("LYRD_BUILD_DIR", os.path.join(ROOT, "build"))
import harness  # noqa: E402

try:
    import demo_content  # noqa: E402  (generated show content, when available)
except ImportError:
    demo_content = None


def pipe(a, b):
    try:
        while True:
            data = a.recv(65536)
            if not data:
                break
            b.sendall(data)
    except OSError:
        pass
    finally:
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def forward(host, listen_port=harness.HTTP_PORT):
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", listen_port))
    srv.listen(64)

    def accept_loop():
        while True:
            client, _ = srv.accept()
            try:
                inner = host.connect(harness.HTTP_PORT)
            except OSError:
                client.close()
                continue
            threading.Thread(target=pipe, args=(client, inner), daemon=True).start()
            threading.Thread(target=pipe, args=(inner, client), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()


ALSA_NULL = "pcm.!default { type null }\n"
E131_PORT = 5568
E131_DATA = 126


def audio_env(host):
    if os.environ.get("LYRD_DEMO_SOUND") == "1":
        return {}
    conf = os.path.join(host.root, "asound-null.conf")
    with open(conf, "w") as f:
        f.write(ALSA_NULL)
    return {"ALSA_CONFIG_PATH": conf}


def status_line(host):
    try:
        _, _, body = host.http("GET", "/lyrd/status", timeout=2.0)
        doc = json.loads(body)
    except (OSError, ValueError):
        return "status: no answer"
    sch = doc.get("scheduler", {})
    if doc.get("status_name") == "idle":
        nxt = doc.get("next_playlist", {})
        return "idle; next: %s at %s" % (nxt.get("playlist") or "-", nxt.get("start_time") or "-")
    return "%s %s: %s + %s  %s elapsed, %s left (scheduler: %s)" % (
        doc.get("status_name"), doc.get("current_playlist", {}).get("playlist", ""),
        doc.get("current_sequence") or "-", doc.get("current_song") or "-",
        doc.get("time_elapsed"), doc.get("time_remaining"), sch.get("status", "?"))


class MatrixView:
    """Draws the E1.31 frames the daemon sends to 127.0.0.1 inside the
    namespace as coloured blocks, redrawn in place."""

    def __init__(self, host, width, height, per_universe):
        self.width, self.height, self.per_universe = width, height, per_universe
        self.sock = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", E131_PORT))
        self.channels = bytearray(width * height * 3)
        self.drawn = False

    def drain(self):
        while select.select([self.sock], [], [], 0)[0]:
            pkt = self.sock.recv(2048)
            if len(pkt) <= E131_DATA:
                continue
            universe = (pkt[113] << 8) | pkt[114]
            start = (universe - 1) * self.per_universe
            data = pkt[E131_DATA:]
            if 0 <= start < len(self.channels):
                self.channels[start:start + len(data)] = data[:len(self.channels) - start]

    def draw(self, line):
        self.drain()
        rows = []
        for y in range(self.height):
            cells = []
            for x in range(self.width):
                o = (y * self.width + x) * 3
                r, g, b = self.channels[o:o + 3]
                cells.append("\x1b[48;2;%d;%d;%dm  " % (r, g, b))
            rows.append("".join(cells) + "\x1b[0m")
        out = ("\x1b[%dA" % (self.height + 1)) if self.drawn else ""
        sys.stdout.write(out + "\n".join(rows) + "\n\x1b[2K" + line[:160] + "\n")
        sys.stdout.flush()
        self.drawn = True

    def close(self):
        self.sock.close()


def main():
    if not harness.can_run():
        sys.exit("make run needs root (it makes a private network namespace for the daemon)")
    view_wanted = sys.stdout.isatty() and "--no-view" not in sys.argv[1:]
    net = harness.Network()
    view = None
    try:
        host = net.add_host("demo")
        show = demo_content.populate(host) if demo_content else None
        if show and view_wanted:
            view = MatrixView(host, demo_content.WIDTH, demo_content.HEIGHT, 384)
        d = host.start_daemon(["-f"], wait=True, env=audio_env(host))
        forward(host)
        print()
        print("lyrd is running in a private network namespace (%s)." % host.netns)
        print("  status:    http://127.0.0.1:%d/lyrd/status" % harness.HTTP_PORT)
        if show:
            print("  schedule:  http://127.0.0.1:%d/lyrd/schedule  (playlist '%s' starts at %s)" % (
                harness.HTTP_PORT, show["playlist"], time.strftime("%H:%M:%S", time.localtime(show["start"]))))
            print("  overlay:   http://127.0.0.1:%d/overlays/model/%s" % (harness.HTTP_PORT, show["model"]))
        print("  media dir: %s" % host.media)
        print("  log:       %s" % d.stdout_path)
        print("Stop with Ctrl-C (or kill -TERM %d); the namespace and its files are removed then." % os.getpid())
        print()
        stop = threading.Event()
        signal.signal(signal.SIGINT, lambda *a: stop.set())
        signal.signal(signal.SIGTERM, lambda *a: stop.set())
        last = 0.0
        while not stop.is_set() and d.running():
            now = time.monotonic()
            if view:
                view.draw(status_line(host))
            elif now - last >= 5.0:
                print(time.strftime("%H:%M:%S ") + status_line(host), flush=True)
                last = now
            stop.wait(0.1 if view else 0.5)
        if not d.running():
            print("lyrd exited (%s); its log: %s" % (d.proc.returncode, d.stdout_path))
            print(d.log()[-2000:])
        d.stop()
    finally:
        if view:
            view.close()
        net.close()


if __name__ == "__main__":
    main()
