"""An E1.31 receiver for system tests: a socket on port 5568 inside a test
host's namespace, read by a background thread.  Subclasses say what to keep
of each packet in `packet(arrival, data)`; the thread holds `self.lock`
while it calls it."""

import select
import socket
import struct
import threading
import time

E131_PORT = 5568


def universe_of(pkt):
    return struct.unpack(">H", pkt[113:115])[0]


def frame_of(pkt):
    """Bytes 0-3 of the DMX data, where the test sequences put the frame index."""
    return struct.unpack(">I", pkt[126:130])[0]


class Listener:
    def __init__(self, host, address, groups=(), join_address=None):
        self.sock = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind((address, E131_PORT))
        for g in groups:
            mreq = socket.inet_aton(g) + socket.inet_aton(join_address or address)
            self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
        self.lock = threading.Lock()
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def packet(self, arrival, pkt):
        raise NotImplementedError

    def _run(self):
        while not self.stopping:
            r, _, _ = select.select([self.sock], [], [], 0.1)
            if not r:
                continue
            pkt = self.sock.recv(2048)
            now = time.monotonic()
            with self.lock:
                self.packet(now, pkt)

    def close(self):
        self.stopping = True
        self.thread.join(timeout=2)
        self.sock.close()


def data_packet(cid, universe, slots, priority=100, sequence=0, options=0, name="test source", start_code=0):
    """An E1.31 data packet, laid out field by field."""
    n = 126 + len(slots)
    p = bytearray(n)
    p[0:2] = b"\x00\x10"
    p[4:16] = b"ASC-E1.17\0\0\0"
    struct.pack_into(">H", p, 16, 0x7000 | (n - 16))
    p[21] = 0x04
    p[22:38] = cid
    struct.pack_into(">H", p, 38, 0x7000 | (n - 38))
    p[43] = 0x02
    raw = name.encode()[:63]
    p[44:44 + len(raw)] = raw
    p[108] = priority
    p[111] = sequence & 0xFF
    p[112] = options
    struct.pack_into(">H", p, 113, universe)
    struct.pack_into(">H", p, 115, 0x7000 | (n - 115))
    p[117] = 0x02
    p[118] = 0xA1
    struct.pack_into(">HHH", p, 119, 0, 1, len(slots) + 1)
    p[125] = start_code
    p[126:] = bytes(slots)
    return bytes(p)
