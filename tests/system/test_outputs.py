"""Art-Net and DDP outputs and channel remaps of the running daemon, each
while a sequence plays: Art-Net found by OLA's poll replies, sent to it and
read back from olad (its Art-Net plug-in as the receiving node), with the
packets on the wire decoded by tshark's artnet dissector; DDP packets
checked against the protocol's byte layout and the sequence's frames;
remaps seen in the E1.31 the daemon sends."""

import json
import os
import select
import socket
import struct
import subprocess
import time

import harness
from e131 import E131_PORT
from test_channelout import lseq_bytes

STEP_MS = 20
# Share of a sequence's frames that must reach the wire: a loaded machine may
# make the output skip a frame now and then, an instrumented daemon more often.
FRAMES_SEEN = 0.5 if harness.SANITIZED else 0.9
OLA_PLUGINS_OFF = ("dummy", "e131", "espnet", "ftdidmx", "gpio", "karate", "kinet", "milinst", "opendmx",
                   "openpixelcontrol", "osc", "pathport", "renard", "sandnet", "shownet", "spi", "stageprofi",
                   "uartdmx", "usbdmx", "usbserial")


def play(host, name, frames, channels, extra=()):
    """Writes a sequence and a playlist of it (after `extra` entries) and starts it."""
    host.write_file("sequences/%s.lseq" % name, lseq_bytes(channels, frames, STEP_MS))
    host.write_file("playlists/%s.json" % name, {"name": name, "mainPlaylist": list(extra) + [
        {"type": "sequence", "sequenceName": name + ".lseq"}]})
    st, _, body = host.http("POST", "/command", body={"command": "Start Playlist", "args": [name]})
    assert st == 200, body


def frame_ok(data, first_channel=1):
    """True when `data` (channels from first_channel on) is one whole frame
    of lseq_bytes' pattern; returns the frame number or None."""
    if first_channel == 1:
        f = struct.unpack(">I", data[:4])[0]
        rest = bytes((f + k) & 0xFF for k in range(4, len(data)))
        return f if data[4:] == rest else None
    base = first_channel - 1
    f = (data[0] - base) & 0xFF
    return f if data == bytes((f + base + k) & 0xFF for k in range(len(data))) else None


# ---- Art-Net to OLA -------------------------------------------------------------------------

class Olad:
    """olad as `nobody` in a host, with only its Art-Net plug-in."""

    def __init__(self, host, address):
        self.host = host
        self.conf = os.path.join(host.root, "ola")
        os.makedirs(self.conf)
        for name in OLA_PLUGINS_OFF:
            with open(os.path.join(self.conf, "ola-%s.conf" % name), "w") as f:
                f.write("enabled = false\n")
        with open(os.path.join(self.conf, "ola-artnet.conf"), "w") as f:
            f.write("enabled = true\nip = %s\nnet = 0\nsubnet = 0\noutput_ports = 4\n"
                    "always_broadcast = false\nuse_limited_broadcast = false\n" % address)
        for root, dirs, files in os.walk(self.conf):
            for n in dirs + files:
                os.chmod(os.path.join(root, n), 0o777)
        os.chmod(self.conf, 0o777)
        self.proc = host.spawn(["setpriv", "--reuid", "nobody", "--regid", "nogroup", "--clear-groups",
                                "olad", "-c", self.conf, "-l", "2", "--no-register-with-dns-sd"])
        harness.wait_until(lambda: host.exec(["ola_dev_info"], check=False).returncode == 0, 20, "olad to answer")

    def artnet_device(self):
        out = self.host.exec(["ola_dev_info"]).stdout
        for line in out.splitlines():
            if line.startswith("Device ") and "ArtNet" in line:
                return int(line.split()[1].rstrip(":"))
        raise AssertionError(out)

    def receive(self, universe, port):
        """Patches input port `port` of the Art-Net device (Art-Net port address `universe`) to OLA `universe`."""
        self.host.exec(["ola_patch", "-d", str(self.artnet_device()), "-p", str(port), "-i", "-u", str(universe)])

    def dmx(self, universe):
        r = self.host.exec(["curl", "-s", "http://127.0.0.1:9090/get_dmx?u=%d" % universe], check=False)
        try:
            return bytes(json.loads(r.stdout).get("dmx", []))
        except ValueError:
            return b""


class Capture:
    """tshark writing what crosses an interface of a host to a file."""

    def __init__(self, host, ifname, bpf):
        self.host = host
        self.file = "/tmp/capture-%s.pcap" % ifname
        self.err = open(os.path.join(host.root, "tshark-%s.err" % ifname), "w+")
        self.proc = subprocess.Popen(host.command(["tshark", "-i", ifname, "-f", bpf, "-w", self.file, "-q"]),
                                     stdout=subprocess.DEVNULL, stderr=self.err)
        host.procs.append(self.proc)

        def ready():
            self.err.seek(0)
            return "Capturing on" in self.err.read()
        harness.wait_until(ready, 20, "tshark to capture")

    def fields(self, display, *names):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        r = self.host.exec(["tshark", "-r", os.path.join(self.host.tmp, os.path.basename(self.file)), "-Y", display,
                            "-T", "fields", "-E", "separator=|"] + sum((["-e", n] for n in names), []))
        return [l.split("|") for l in r.stdout.splitlines() if l.strip()]


def test_artnet_found_by_poll_received_by_ola_and_decoded_by_tshark(net):
    board = net.add_host("board", addresses=["10.231.0.1/24"])
    ola_host = net.add_host("ola", addresses=["10.231.0.2/24"])
    for h, a in ((board, "10.231.0.1/24"), (ola_host, "10.231.0.2/24")):
        h.exec(["ip", "addr", "del", a, "dev", "eth0"])
        h.exec(["ip", "addr", "add", a, "brd", "+", "dev", "eth0"])
    olad = Olad(ola_host, "10.231.0.2")
    olad.receive(1, 0)
    olad.receive(2, 1)
    board.write_file("config/co-universes.json", {"channelOutputs": [{
        "type": "artnet", "enabled": 1, "interface": "eth0", "sync": 1, "universes": [
            {"active": 1, "id": 1, "startChannel": 1, "channelCount": 512},
            {"active": 1, "id": 2, "startChannel": 513, "channelCount": 99}]}]})
    cap = Capture(board, "eth0", "udp port 6454")
    d = board.start_daemon()
    board.wait_http()
    d.wait_for_log("Art-Net node 10.231.0.2", timeout=10)

    frames = 280  # past 255, so the sequence numbers wrap
    play(board, "art", frames, 612)
    got = {}

    def ola_has_frames():
        for u in (1, 2):
            data = olad.dmx(u)
            if any(data) and frame_ok(data if u == 1 else data[:99], 1 if u == 1 else 513) is not None:
                got[u] = data
        return len(got) == 2
    harness.wait_until(ola_has_frames, 10, "OLA to receive both universes")
    assert len(got[1]) == 512 and len(got[2]) == 100, "99 channels arrive as an even 100 (pad 0)"
    assert got[2][99] == 0
    harness.wait_until(lambda: "Opened sequence art.lseq" in d.log() and
             json.loads(board.http("GET", "/lyrd/status")[2]).get("status_name") == "idle",
             frames * STEP_MS / 1000 + 15, "the sequence to end")

    rows = cap.fields("artnet", "artnet.header.opcode", "ip.src", "ip.dst", "artnet.output.universe",
                      "artnet.output.sequence", "artnet.output.length", "artnet.poll_reply.swout_1_universe",
                      "udp.payload")
    opcodes = [r[0] for r in rows]
    assert "0x2000" in opcodes and "0x2100" in opcodes, "poll and OLA's reply"
    reply = next(r for r in rows if r[0] == "0x2100")
    assert reply[1] == "10.231.0.2" and reply[6] == "1", reply
    sent = [r for r in rows if r[1] == "10.231.0.1" and r[0] != "0x2000"]  # the board's frames, in order
    dmx = [r for r in sent if r[0] == "0x5000"]
    assert {r[2] for r in dmx} == {"10.231.0.2"}, "unicast to the node that subscribed"
    seqs = {1: [], 2: []}
    shown = set()
    for r in dmx:
        u, seq, length = int(r[3]), int(r[4]), int(r[5])
        data = bytes.fromhex(r[7])[18:]
        assert length == len(data) == (512 if u == 1 else 100)
        seqs[u].append(seq)
        if not any(data):
            continue  # blanking at start
        f = frame_ok(data if u == 1 else data[:99], 1 if u == 1 else 513)
        assert f is not None, (u, data[:8])
        if u == 1:
            shown.add(f)
    assert len(shown & set(range(frames))) >= frames * FRAMES_SEEN, "the frames went out"
    for u, s in seqs.items():
        assert all(0 < x < 256 for x in s)
        assert all(b == a % 255 + 1 for a, b in zip(s, s[1:])), (u, s[:20])
        assert len(s) > 255 or harness.SANITIZED, "the numbers wrapped"
    # An OpSync follows every frame's data.
    after = [sent[i + 1][0] for i, r in enumerate(sent[:-1]) if r[0] == "0x5000" and r[3] == "2"]
    assert after and all(o == "0x5200" for o in after), after[:10]
    assert d.stop() == 0


# ---- DDP ------------------------------------------------------------------------------------

def test_ddp_frames_by_layout_and_content(host):
    host.write_file("config/co-universes.json", {"channelOutputs": [
        {"type": "ddp", "enabled": 1, "address": "127.0.0.1", "startChannel": 1, "channelCount": 3000}]})
    rx = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    rx.bind(("127.0.0.1", 4048))
    d = host.start_daemon()
    host.wait_http()
    frames = 60
    play(host, "ddp", frames, 3000)
    packets = []
    deadline = time.monotonic() + frames * STEP_MS / 1000 + 15
    while time.monotonic() < deadline:
        r, _, _ = select.select([rx], [], [], 1.0)
        if r:
            packets.append(rx.recv(2048))
        elif packets and not r:
            break
    rx.close()

    shown = []
    buf = bytearray()
    seq = None
    for p in packets:
        flags, s, dtype, dest = p[0], p[1], p[2], p[3]
        offset, length = struct.unpack(">IH", p[4:10])
        assert flags & 0xC0 == 0x40 and flags & 0x3E == 0, "version 1, no other flags"
        assert dtype == 0x0B and dest == 1
        assert 1 <= s <= 15 and length == len(p) - 10 <= 1440
        assert offset == len(buf), "packets of a frame are contiguous"
        if seq is not None:
            assert s == seq, "one sequence number per frame"
        seq = s
        buf += p[10:]
        if flags & 0x01:  # push: the frame is complete
            assert len(buf) == 3000
            if any(buf):  # not the blanking at start
                f = frame_ok(bytes(buf))
                assert f is not None
                shown.append((f, s))
            buf, seq = bytearray(), None
    assert not buf, "the last frame ended with push"
    assert len({f for f, _ in shown} & set(range(frames))) >= frames * FRAMES_SEEN, "the frames went out"
    nums = [s for _, s in shown]
    assert all(b == a % 15 + 1 for a, b in zip(nums, nums[1:])), nums
    assert d.stop() == 0


# ---- remaps ---------------------------------------------------------------------------------

def test_remaps_show_in_e131_switch_by_entry_and_reload(host):
    host.write_file("config/co-universes.json", {"channelOutputs": [{"type": "universes", "universes": [
        {"active": 1, "id": 1, "startChannel": 1, "channelCount": 512, "address": "127.0.0.1"}]}]})
    host.write_file("config/channelremap.json", {"remaps": [
        {"name": "mirror", "source": 5, "destination": 301, "count": 50, "loops": 2},
        {"name": "self", "source": 10, "destination": 20, "count": 50},
        {"name": "past", "source": 1, "destination": 1048570, "count": 50}]})
    rx = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    rx.bind(("127.0.0.1", E131_PORT))
    d = host.start_daemon()
    host.wait_http()
    log = d.log()
    assert "'self': destination overlaps its own source; refused" in log
    assert "'past': destination beyond" in log

    def frames(seconds):
        out = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            r, _, _ = select.select([rx], [], [], 0.2)
            if r:
                p = rx.recv(2048)
                out.append(p[126:])
        return out

    def mirrored(data):
        return data[300:350] == data[4:54] and data[350:400] == data[4:54]

    def plain(data):
        return frame_ok(data) is not None

    frames(0.3)
    # The playlist plays the sequence with the remap, switches it off, plays again.
    play(host, "one", 40, 512, extra=[])
    host.write_file("playlists/both.json", {"name": "both", "mainPlaylist": [
        {"type": "sequence", "sequenceName": "one.lseq"},
        {"type": "remap", "action": "disable", "name": "mirror"},
        {"type": "sequence", "sequenceName": "one.lseq"}]})
    got = frames(40 * STEP_MS / 1000 + 1.5)
    moving = [p for p in got if any(p)]
    assert moving and all(mirrored(p) and not plain(p) for p in moving[2:]), "the remap applies to every frame"

    st, _, body = host.http("POST", "/command", body={"command": "Start Playlist", "args": ["both"]})
    assert st == 200, body
    got = frames(2 * 40 * STEP_MS / 1000 + 2.5)
    kinds = ["m" if mirrored(p) and not plain(p) else "p" if plain(p) else "?" for p in got if any(p)]
    text = "".join(kinds)
    assert "m" in text and "p" in text and text.index("p") > text.index("m"), text
    assert "m" not in text[text.index("p"):], "off after the remap entry: " + text

    # Reloaded from the file, the remap is on again; a file that does not parse is refused.
    st, body = host.http_json("POST", "/lyrd/outputs/remap", {"command": "reload"})
    assert st == 200 and body["Message"] == "channel remaps reloaded", body
    host.write_file("config/channelremap.json", '{"remaps": [')
    st, body = host.http_json("POST", "/lyrd/outputs/remap", {"command": "reload"})
    assert st == 400 and "can not parse" in body["Message"], body
    play(host, "one", 40, 512)
    got = [p for p in frames(40 * STEP_MS / 1000 + 1.5) if any(p)]
    assert got and all(mirrored(p) for p in got[2:]), "the remaps in use were kept"
    rx.close()
    assert d.stop() == 0
