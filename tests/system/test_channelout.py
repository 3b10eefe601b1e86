"""Channel output of the running daemon, received as E1.31 on loopback inside
the host's private network namespace: start-up blanking, the channel tester
driven through the command API, and a remote playing a sequence in step with
sync packets sent the way a master sends them."""

import json
import select
import shutil
import subprocess
import socket
import struct
import time

import pytest

E131_PORT = 5568
SYNC_PORT = 32320


def lseq_bytes(channels, frames, step_ms, media=None):
    """A .lseq file in the documented layout: byte k of frame f is (f + k)
    mod 256 except that bytes 0-3 hold f big-endian."""
    headers = b""
    if media is not None:
        data = media.encode() + b"\0"
        headers += struct.pack("<H2s", 4 + len(data), b"mf") + data
    header_size = 24 + len(headers)
    out = bytearray(b"LSEQ" + struct.pack("<HHIIIHH", 1, 0, header_size, channels, frames, step_ms,
                                          1 if media is not None else 0))
    out += headers
    for f in range(frames):
        frame = bytearray((f + k) & 0xFF for k in range(channels))
        frame[0:4] = struct.pack(">I", f)
        out += frame
    return bytes(out)


def outputs_config(universes):
    return json.dumps({"channelOutputs": [{"type": "universes", "enabled": 1, "universes": [
        {"active": 1, "id": uid, "startChannel": start, "channelCount": count, "address": "127.0.0.1"}
        for uid, start, count in universes]}]})


class E131Receiver:
    def __init__(self, host):
        self.sock = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind(("127.0.0.1", E131_PORT))

    def collect(self, seconds):
        """(universe, sequence number, data) of every packet within `seconds`."""
        got = []
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return got
            r, _, _ = select.select([self.sock], [], [], left)
            if r:
                pkt = self.sock.recv(2048)
                assert pkt[4:16] == b"ASC-E1.17\0\0\0"
                assert pkt[18:22] == b"\0\0\0\x04" and pkt[40:44] == b"\0\0\0\x02" and pkt[117] == 0x02
                got.append((struct.unpack(">H", pkt[113:115])[0], pkt[111], pkt[126:]))

    def until_quiet(self, quiet, limit=30.0):
        got = []
        end = time.monotonic() + limit
        while time.monotonic() < end:
            more = self.collect(quiet)
            if not more:
                break
            got += more
        return got

    def close(self):
        self.sock.close()


@pytest.fixture
def rx(host):
    host.write_file("config/co-universes.json", outputs_config([(1, 1, 512), (2, 513, 88)]))
    r = E131Receiver(host)
    yield r
    r.close()


def command(host, name, *args):
    return host.http("POST", "/command", body={"command": name, "args": list(args)})


def test_startup_blanks_once_and_tester_draws_until_stopped(host, rx):
    d = host.start_daemon()
    host.wait_http()
    first = rx.collect(0.5)
    assert sorted(u for u, _, _ in first) == [1, 2], "one blanking frame per universe"
    assert all(set(data) == {0} for _, _, data in first)
    assert len(first[1][2]) == 88 or len(first[0][2]) == 88

    st, _, body = command(host, "Test Start", "RGBFill", "1-6", "#0A141E")
    assert st == 200, body
    frames = [data for u, _, data in rx.collect(0.5) if u == 1]
    assert len(frames) >= 10, "the tester keeps output running"
    assert frames[-1][:7] == bytes([10, 20, 30, 10, 20, 30, 0])

    st, _, body = command(host, "Test Start", "NoSuchPattern")
    assert st != 200 or "not started" in str(body)

    st, _, _ = command(host, "Test Stop")
    assert st == 200
    rx.collect(0.3)
    assert rx.collect(0.5) == [], "output stops when nothing needs it"
    d.stop()


def sync_packet(action, name, frame=0, seconds=0.0):
    body = struct.pack("<BBif", action, 0, frame, seconds) + name.encode() + b"\0"
    return b"LYRD" + struct.pack("<BH", 1, len(body)) + body


def test_remote_plays_every_frame_in_order_in_step_with_master(host, rx):
    host.write_file("sequences/two.lseq", lseq_bytes(600, 80, 25, media="song.mp3"))
    d = host.start_daemon(settings={"lyrMode": "remote"})
    host.wait_http()
    rx.collect(0.5)  # start-up blanking

    master = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
    to = ("127.0.0.1", SYNC_PORT)
    master.sendto(sync_packet(3, "two.lseq"), to)  # open
    time.sleep(0.1)
    t0 = time.monotonic()
    master.sendto(sync_packet(0, "two.lseq"), to)  # start
    # Like a master: a sync packet every tenth frame, at that frame's time.
    for frame in range(10, 80, 10):
        time.sleep(max(0.0, t0 + frame * 0.025 - time.monotonic()))
        master.sendto(sync_packet(2, "two.lseq", frame, frame * 0.025), to)
    got = rx.until_quiet(0.4)
    master.close()

    frames = [struct.unpack(">I", data[:4])[0] for u, _, data in got if u == 1]
    distinct = [f for i, f in enumerate(frames) if i == 0 or f != frames[i - 1]]
    assert distinct == list(range(80)), frames
    # The last frame repeats while the output winds down; on a loaded machine
    # the idle check may come a few frames late.
    assert len(frames) - 80 <= 12, "the last frame repeats only while output winds down"
    for u, _, data in got:
        if u == 1:
            f = struct.unpack(">I", data[:4])[0]
            assert data[4:] == bytes((f + k) & 0xFF for k in range(4, 512)), "frame %d carries its own data" % f
    seqs = [s for u, s, _ in got if u == 2]
    assert seqs == [(seqs[0] + i) & 0xFF for i in range(len(seqs))], "sequence numbers count per universe"
    _, _, status = host.http("GET", "/lyrd/status")
    assert json.loads(status)["current_sequence"] == ""
    d.stop()


def test_hostile_sequence_file_is_refused_and_daemon_keeps_running(host, rx):
    good = lseq_bytes(16, 4, 25)
    host.write_file("sequences/cut.lseq", good[:-1])
    host.write_file("sequences/huge.lseq", good[:16] + struct.pack("<I", 0xFFFFFFFF) + good[20:])
    d = host.start_daemon(settings={"lyrMode": "remote"})
    host.wait_http()
    rx.collect(0.3)
    master = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for name in ("cut.lseq", "huge.lseq", "../settings", "missing.lseq"):
        master.sendto(sync_packet(0, name), ("127.0.0.1", SYNC_PORT))
        time.sleep(0.1)  # one per batch: a later start in the same batch makes earlier ones stale
    master.close()
    log = d.wait_for_log("Could not open sequence missing.lseq")
    assert "is truncated" in log
    assert "Refusing sequence name '../settings'" in log
    assert rx.collect(0.3) == []
    st, _, _ = host.http("GET", "/lyrd/status")
    assert st == 200 and d.running()
    d.stop()


def test_master_playlist_drives_remote_within_a_frame(net):
    import threading
    master = net.add_host("m", addresses=["10.200.7.1/24"])
    remote = net.add_host("r", addresses=["10.200.7.2/24"])
    seq = lseq_bytes(520, 160, 25)  # 4 s, one universe of 512 plus 8 channels
    for h in (master, remote):
        h.write_file("sequences/show.lseq", seq)
        h.write_file("config/co-universes.json", outputs_config([(1, 1, 512)]))
    rxs = {"m": E131Receiver(master), "r": E131Receiver(remote)}
    dr = remote.start_daemon(settings={"lyrMode": "remote"})
    dm = master.start_daemon(settings={"LockstepEnabled": "1", "LockstepRemotes": "10.200.7.2"})
    master.wait_http()
    remote.wait_http()
    for r in rxs.values():
        r.collect(0.3)  # start-up blanking

    arrivals = {"m": {}, "r": {}}

    def listen(name):
        r = rxs[name]
        end = time.monotonic() + 8
        while time.monotonic() < end:
            sel, _, _ = select.select([r.sock], [], [], 0.5)
            if sel:
                pkt = r.sock.recv(2048)
                f = struct.unpack(">I", pkt[126:130])[0]
                arrivals[name].setdefault(f, time.monotonic())
            elif arrivals[name] and 159 in arrivals[name]:
                return

    threads = [threading.Thread(target=listen, args=(n,)) for n in arrivals]
    for t in threads:
        t.start()
    st, _, body = command(master, "Start Playlist", "show.lseq")
    assert st == 200, body
    for t in threads:
        t.join()
    for r in rxs.values():
        r.close()
    m, r = arrivals["m"], arrivals["r"]
    assert sorted(m) == list(range(160)), "the master plays every frame"
    assert 159 in r and len(r) >= 150, "the remote plays along (it may skip while it locks)"
    offsets = [abs(r[f] - m[f]) for f in range(20, 160) if f in r]
    print("remote frame offset from master: max %.1f ms, mean %.1f ms" %
          (1000 * max(offsets), 1000 * sum(offsets) / len(offsets)))
    late = [f for f in range(20, 160) if f in r and abs(r[f] - m[f]) > 0.030]
    assert late == [], "remote frames more than a frame (+5 ms) from the master's: %s" % late[:10]
    dm.stop()
    dr.stop()


@pytest.mark.skipif(shutil.which("tshark") is None, reason="needs tshark (Debian package tshark)")
def test_wireshark_decodes_the_daemons_e131_packets(host):
    """Cross-check of the packet layout against a third-party E1.31 decoder."""
    host.write_file("config/co-universes.json", json.dumps({"channelOutputs": [{"type": "universes",
        "universes": [{"id": 300, "startChannel": 1, "channelCount": 510, "address": "127.0.0.1",
                       "priority": 150}]}]}))
    tshark = subprocess.Popen(
        ["ip", "netns", "exec", host.netns, "tshark", "-i", "lo", "-c", "1", "-a", "duration:20",
         "-f", "udp port 5568", "--enable-heuristic", "acn", "-o", "acn.dmx_enable:TRUE", "-T", "fields",
         "-e", "acn.cid", "-e", "acn.dmx.universe", "-e", "acn.dmx.seq_number", "-e", "acn.dmx.priority",
         "-e", "acn.dmx.count", "-e", "acn.dmx.source_name", "-E", "separator=|"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 15
        err = ""
        while "Capturing on" not in err and time.monotonic() < deadline:
            line = tshark.stderr.readline()
            if not line:
                break
            err += line
        assert "Capturing on" in err, err
        d = host.start_daemon(settings={"SystemUUID": "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"})
        out, _ = tshark.communicate(timeout=20)
    finally:
        if tshark.poll() is None:
            tshark.kill()
    fields = out.strip().split("|")
    assert len(fields) == 6, out
    cid, universe, seq, priority, count, source = fields
    assert cid == "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"
    assert (universe, seq, priority, count) == ("300", "0", "150", "511")
    assert source.startswith("lyrd ")
    d.stop()
