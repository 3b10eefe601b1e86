"""Sync between daemons in namespace hosts joined by a bridge: discovery by
ping, the systems and statistics endpoints, and a hostile datagram stream."""

import random
import socket
import struct
import time

import pytest

import harness

PORT = 32320


def systems(host):
    status, doc = host.http_json("GET", "/lyrd/lockstepSystems")
    assert status == 200
    return doc["systems"]


def remote_names(host):
    return sorted(s["hostname"] for s in systems(host) if s["local"] == 0)


def udp_socket(host):
    return host.socket(socket.AF_INET, socket.SOCK_DGRAM)


def ping_packet(hostname, address, discover=0, mode=2, version=3):
    body = bytearray(294)
    body[0] = version
    body[1] = discover
    body[2] = 13
    struct.pack_into(">HH", body, 3, 5, 1)
    body[7] = mode
    body[8:12] = socket.inet_aton(address)
    name = hostname.encode()[:64]
    body[12:12 + len(name)] = name
    body[77:80] = b"5.1"
    return b"LYRD" + bytes([4]) + struct.pack("<H", len(body)) + bytes(body)


@pytest.fixture
def show(net):
    hosts = {}
    for i, name in enumerate(["alpha", "beta", "gamma"], start=1):
        host = net.add_host(name, addresses=["10.201.0.%d/24" % i])
        # Boards get a broadcast address from DHCP; give the veth one too.
        host.exec(["ip", "addr", "del", "10.201.0.%d/24" % i, "dev", "eth0"])
        host.exec(["ip", "addr", "add", "10.201.0.%d/24" % i, "brd", "+", "dev", "eth0"])
        hosts[name] = host
    return hosts


def start(host, name, **extra):
    settings = {"HostName": name, "LockstepEnabled": "0"}
    settings.update(extra)
    d = host.start_daemon(settings=settings)
    host.wait_http()
    return d


def test_three_hosts_find_each_other(show):
    for name, host in show.items():
        start(host, name)
    for name, host in show.items():
        others = sorted(n for n in show if n != name)
        got = harness.poll(lambda: remote_names(host) == others and remote_names(host))
        assert got == others, "%s sees %s" % (name, remote_names(host))
    alpha = {s["hostname"]: s for s in systems(show["alpha"])}
    assert alpha["alpha"]["local"] == 1
    assert alpha["alpha"]["address"] == "10.201.0.1"
    assert alpha["beta"]["address"] == "10.201.0.2"
    assert alpha["beta"]["lockstepCapable"] == 1
    assert alpha["beta"]["lyrModeString"] == "player"
    # Every peer's pings are counted under its address.
    status, stats = show["alpha"].http_json("GET", "/lyrd/lockstepStats")
    assert status == 200
    by_ip = {s["sourceIP"]: s for s in stats["systems"]}
    assert by_ip["10.201.0.2"]["pktPing"] >= 1
    assert by_ip["10.201.0.3"]["pktPing"] >= 1


def test_master_flag_shows_in_the_table(show):
    start(show["alpha"], "alpha", LockstepEnabled="1")
    start(show["beta"], "beta", lyrMode="remote")
    beta_view = harness.poll(lambda: [s for s in systems(show["beta"]) if s["hostname"] == "alpha"])
    assert beta_view, systems(show["beta"])
    assert beta_view[0]["lockstep"] is True
    assert beta_view[0]["lyrMode"] == 2
    alpha_view = harness.poll(lambda: [s for s in systems(show["alpha"]) if s["hostname"] == "beta"])
    assert alpha_view[0]["lyrModeString"] == "remote"
    assert alpha_view[0]["lockstep"] is False
    local = [s for s in systems(show["alpha"]) if s["local"] == 1][0]
    assert local["lockstep"] is True


def test_hostile_datagrams_are_counted_and_survived(show):
    alpha, beta = show["alpha"], show["beta"]
    d = start(alpha, "alpha")
    sock = udp_socket(beta)
    sock.bind(("10.201.0.2", 0))
    rng = random.Random(7)
    target = ("10.201.0.1", PORT)
    crafted = [
        b"LYRD\x00\x00\x00",                              # command without text
        b"LYRD\x01\x04\x00\x00\x00\x00",                  # lying length
        b"LYRD\x01\x03\x00\x00\x00\x00",                  # sync too short
        b"LYRD\x05\x03\x00abc",                           # plug-in name runs off the end
        b"LYRD\x06\x05\x00\x09\x00c\x00x",                # more arguments promised than sent
        b"LYRD\x04\x09\x00" + bytes(9),                   # ping too short
        ping_packet("liar", "10.201.0.9", version=1)[:7 + 200],  # v1 claims 294, cut
        b"LY",
    ]
    sent = 0
    for _ in range(10):
        for c in crafted:
            sock.sendto(c, target)
            sent += 1
        for _ in range(40):
            n = rng.randrange(0, 1400)
            data = bytearray(rng.getrandbits(8) for _ in range(n))
            if n >= 7 and rng.random() < 0.6:
                data[0:4] = b"LYRD"
                data[4] = rng.randrange(0, 7)
                if rng.random() < 0.5:
                    struct.pack_into("<H", data, 5, n - 7)
            if data and data[0] in (0x55, 0xCC):
                data[0] = 0
            sock.sendto(bytes(data), target)
            sent += 1
        time.sleep(0.02)
    time.sleep(0.5)
    assert d.running()

    def beta_errors():
        status, stats = alpha.http_json("GET", "/lyrd/lockstepStats")
        assert status == 200
        rec = [s for s in stats["systems"] if s["sourceIP"] == "10.201.0.2"]
        return rec and rec[0]["pktError"] >= 30 and rec[0]
    rec = harness.poll(beta_errors, timeout=5)
    assert rec, "errors not counted"
    # Still listening: a well-formed ping afterwards is learnt.
    sock.sendto(ping_packet("beta-after", "10.201.0.2"), target)
    assert harness.poll(lambda: "beta-after" in remote_names(alpha), timeout=5)
    # The reset endpoint empties the table but the daemon keeps counting.
    status, _ = alpha.http_json("GET", "/lyrd/lockstepStats?reset=1")
    assert status == 200
    status, stats = alpha.http_json("GET", "/lyrd/lockstepStats")
    assert stats["systems"] == []
    sock.close()
    assert d.running()
