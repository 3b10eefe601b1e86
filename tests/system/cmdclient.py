"""A client of the daemon's text command socket (Unix datagrams)."""
import os
import socket
import time


class CommandClient:
    def __init__(self, host, name="client"):
        self.server = os.path.join(host.run_dir, "lyrd", "LYRD")
        self.path = os.path.join(host.root, "%s.sock" % name)
        if os.path.exists(self.path):
            os.unlink(self.path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(5.0)

    def send(self, text):
        data = text if isinstance(text, bytes) else text.encode()
        self.sock.sendto(data, self.server)

    def recv(self, timeout=5.0):
        self.sock.settimeout(timeout)
        return self.sock.recv(65536).decode(errors="replace")

    def ask(self, text, timeout=5.0):
        self.send(text)
        return self.recv(timeout)

    def wait_ready(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.server):
                return
            time.sleep(0.05)
        raise AssertionError("command socket %s never appeared" % self.server)

    def close(self):
        self.sock.close()
        if os.path.exists(self.path):
            os.unlink(self.path)
