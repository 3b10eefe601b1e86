"""The lossy relay the benchmarks put between a master and its remotes: it
joins two bridges into one LAN, delays and drops UDP of the chosen ports as
told, passes everything else untouched, and counts what it did."""

import socket
import threading
import time

import harness


def udp_pair(a, b, port):
    rx = b.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("0.0.0.0", port))
    rx.settimeout(0.5)
    tx = a.socket(socket.AF_INET, socket.SOCK_DGRAM)
    return tx, rx


def receive_all(rx, quiet=0.5):
    got = []
    while True:
        try:
            data = rx.recv(2048)
        except socket.timeout:
            return got
        got.append((time.monotonic(), data))


def test_relay_delays_and_drops_only_the_chosen_ports(net):
    a = net.add_host("a", addresses=["10.211.0.1/24"], bridges=["br1"])
    b = net.add_host("b", addresses=["10.211.0.2/24"], bridges=["br0"])
    relay = harness.Relay(net, "relay", ["br1", "br0"], delay_ms=20, jitter_ms=5, loss_percent=10,
                          ports=(32320,), seed=3)
    try:
        impaired_tx, impaired_rx = udp_pair(a, b, 32320)
        plain_tx, plain_rx = udp_pair(a, b, 40000)
        # ARP crosses the relay untouched; the first datagram may wait on it.
        plain_tx.sendto(b"warm-up", ("10.211.0.2", 40000))
        assert receive_all(plain_rx)[0][1] == b"warm-up"

        sent = {}
        for i in range(200):
            sent[i] = time.monotonic()
            impaired_tx.sendto(b"%d" % i, ("10.211.0.2", 32320))
            plain_tx.sendto(b"%d" % i, ("10.211.0.2", 40000))
            time.sleep(0.002)
        impaired = receive_all(impaired_rx)
        plain = receive_all(plain_rx)
        stats = relay.stop()
    finally:
        relay.stop()

    assert len(plain) == 200, "the other port lost %d datagrams" % (200 - len(plain))
    # 10 % loss of 200: 20 expected; a seeded draw, so the count is exact in
    # the relay's own books, and the receiver saw what it forwarded.
    counts = stats["impaired"]["32320 eth0->eth1"]
    assert counts["received"] == 200
    assert 5 <= counts["dropped"] <= 40, counts
    assert counts["forwarded"] == 200 - counts["dropped"] == len(impaired), (counts, len(impaired))
    delays = [(t - sent[int(d)]) * 1000.0 for t, d in impaired]
    assert min(delays) >= 14.0, "a datagram came through early: %.1f ms" % min(delays)
    assert counts["delayMinMs"] >= 15.0 - 0.01 and counts["delayMaxMs"] >= 20.0, counts
    assert stats["unimpairedForwarded"] >= 200


def test_relay_carries_tcp_unchanged(net):
    """A short exchange between the two sides (a remote asked for its status
    across the relay) arrives whole: the relay fills in the checksums a veth
    sender leaves to the hardware."""
    a = net.add_host("a", addresses=["10.212.0.1/24"], bridges=["br1"])
    b = net.add_host("b", addresses=["10.212.0.2/24"], bridges=["br0"])
    relay = harness.Relay(net, "relay", ["br1", "br0"], ports=(32320,))
    try:
        server = b.socket()
        server.bind(("10.212.0.2", 40001))
        server.listen(1)
        payload = bytes(range(256)) * 4  # one segment: larger offloaded ones do not cross
        got = []

        def serve():
            conn, _ = server.accept()
            conn.settimeout(10)
            data = b""
            while len(data) < len(payload):
                chunk = conn.recv(65536)
                if not chunk:
                    break
                data += chunk
            got.append(data)
            conn.close()

        t = threading.Thread(target=serve)
        t.start()
        c = a.connect(40001, "10.212.0.2", timeout=10)
        c.sendall(payload)
        t.join(timeout=15)
        c.close()
        server.close()
    finally:
        stats = relay.stop()
    assert got and got[0] == payload, "received %d of %d bytes" % (len(got[0]) if got else 0, len(payload))
    assert stats["unimpairedSendErrors"] == 0, stats
    assert stats["unimpairedForwarded"] >= 4  # handshake, data, acknowledgement
