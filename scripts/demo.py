"""Runs lyrd on a demo media directory inside a private network namespace and
forwards 127.0.0.1:32322 on this machine to the daemon's HTTP API."""
import os
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


def main():
    if not harness.can_run():
        sys.exit("make run needs root (it makes a private network namespace for the daemon)")
    net = harness.Network()
    try:
        host = net.add_host("demo")
        if demo_content:
            demo_content.populate(host)
        d = host.start_daemon(["-f"], wait=True)
        forward(host)
        print()
        print("lyrd is running in a private network namespace (%s)." % host.netns)
        print("  status:    http://127.0.0.1:%d/lyrd/status" % harness.HTTP_PORT)
        print("  media dir: %s" % host.media)
        print("  log:       %s" % d.stdout_path)
        print("Press Ctrl-C to stop.")
        stop = threading.Event()
        signal.signal(signal.SIGINT, lambda *a: stop.set())
        signal.signal(signal.SIGTERM, lambda *a: stop.set())
        while not stop.is_set() and d.running():
            time.sleep(0.5)
        d.stop()
    finally:
        net.close()


if __name__ == "__main__":
    main()
