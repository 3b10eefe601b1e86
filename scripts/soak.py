#!/usr/bin/env python3
"""Soak of the running daemon: a looping playlist of a paired sequence and
generated audio, a media entry and a sequence, overlays (a colour fade on one
model, scrolling text on another) and HTTP polling, for SOAK_MINUTES (default
30) inside a private network namespace.  Reports the daemon's resident memory
and open descriptors after warm-up and at the end.

    sudo SOAK_MINUTES=10 scripts/soak.py [build dir]

Every figure is also printed as
    BENCH_RESULT<TAB>figure<TAB>value with unit<TAB>target<TAB>compared with
"""

import json
import math
import os
import select
import socket
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
if len(sys.argv) > 1:
    os.environ["LYRD_BUILD_DIR"] = os.path.abspath(sys.argv[1])

import harness  # noqa: E402
from test_channelout import lseq_bytes, outputs_config  # noqa: E402

MINUTES = float(os.environ.get("SOAK_MINUTES", "30"))
# The first loops fill the allocator arenas of the player, media, overlay and
# HTTP threads; growth is judged only after that has settled.
WARMUP_S = float(os.environ.get("SOAK_WARMUP_S", min(180.0, MINUTES * 60 / 3)))
SAMPLE_S = 30.0
POLL_S = 0.5
# Which loads run: a subset narrows down where growth comes from.
PARTS = set(os.environ.get("SOAK_PARTS", "playlist,overlays,http").split(","))
E131_PORT = 5568

MODEL_MAP = {"models": [
    {"Name": "Matrix", "Type": "Channel", "StartChannel": 1, "ChannelCount": 1536, "ChannelCountPerNode": 3,
     "StringCount": 16, "StrandsPerString": 1, "Orientation": "horizontal", "StartCorner": "TL"},
    {"Name": "Strip", "StartChannel": 1537, "ChannelCount": 60, "ChannelCountPerNode": 3},
]}
POLLED = ["/lyrd/status", "/player", "/lyrd/playlists", "/lyrd/schedule", "/models", "/overlays/model/Matrix",
          "/lyrd/lockstepSystems", "/lyrd/volume"]


def wav_bytes(seconds, rate=22050):
    n = int(rate * seconds)
    data = b"".join(struct.pack("<h", int(6000 * math.sin(2 * math.pi * 440 * i / rate))) for i in range(n))
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16) + b"data" + struct.pack("<I", len(data)) + data)


def prepare(host):
    host.write_file("config/co-universes.json", outputs_config([(1, 1, 512), (2, 513, 512), (3, 1025, 512),
                                                                 (4, 1537, 60)]))
    host.write_file("config/model-overlays.json", MODEL_MAP)
    host.write_file("music/tone.wav", wav_bytes(8))
    host.write_file("sequences/paired.lseq", lseq_bytes(1600, 320, 25, media="tone.wav"))  # 8 s
    host.write_file("sequences/plain.lseq", lseq_bytes(1600, 200, 25))  # 5 s
    host.write_file("playlists/soak.json", {"name": "soak", "repeat": 1, "mainPlaylist": [
        {"type": "both", "sequenceName": "paired.lseq", "mediaName": "tone.wav"},
        {"type": "media", "mediaName": "tone.wav"},
        {"type": "sequence", "sequenceName": "plain.lseq"},
        {"type": "pause", "duration": 1},
    ]})
    conf = os.path.join(host.root, "asound-null.conf")
    with open(conf, "w") as f:
        f.write("pcm.!default { type null }\n")
    return {"ALSA_CONFIG_PATH": conf}


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class Drain:
    """Receives (and counts) the E1.31 output so it has somewhere to go."""

    def __init__(self, host):
        self.sock = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(("127.0.0.1", E131_PORT))
        self.packets = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping:
            r, _, _ = select.select([self.sock], [], [], 0.2)
            if r:
                self.sock.recv(2048)
                self.packets += 1

    def close(self):
        self.stopping = True
        self.thread.join(timeout=2)
        self.sock.close()


def command(host, name, *args):
    st, _, body = host.http("POST", "/command", body={"command": name, "args": list(args)}, timeout=10)
    if st != 200:
        print("command %s answered %d: %s" % (name, st, body.strip()))
    return st


def overlays(host, n):
    """One round of overlay work; alternates what it asks for."""
    if n % 2 == 0:
        command(host, "Overlay Model Effect", "Strip", "true", "Color Fade", "#00FF00", "300", "300", "300")
    else:
        host.http("PUT", "/overlays/model/Matrix/text", body=json.dumps({
            "Message": "soak %d" % n, "Color": "#FFFFFF", "Font": "DejaVuSans", "FontSize": 10,
            "Position": "Right to Left", "PixelsPerSecond": 40, "AutoEnable": True}), timeout=10)
    if n % 10 == 9:
        host.http("GET", "/overlays/model/Matrix/clear", timeout=10)


def bench(figure, value, target, compared):
    print("BENCH_RESULT\t%s\t%s\t%s\t%s" % (figure, value, target, compared))


def main():
    if not harness.can_run():
        print("soak needs root and iproute2 to make network namespaces")
        return 2
    net = harness.Network()
    drain = None
    try:
        host = net.add_host("soak")
        env = prepare(host)
        drain = Drain(host)
        d = host.start_daemon(env=env)
        host.wait_http()
        if "playlist" in PARTS and command(host, "Start Playlist", "soak", "true") != 200:
            return 1
        print("soak: %.1f minutes, warm-up %.0f s, lyrd pid %d, loads: %s" %
              (MINUTES, WARMUP_S, d.pid, ",".join(sorted(PARTS))))

        t0 = time.monotonic()
        end = t0 + WARMUP_S + MINUTES * 60
        samples = []
        next_sample = t0 + WARMUP_S
        polls = errors = rounds = 0
        worst = 0.0
        while time.monotonic() < end:
            if not d.running():
                print("lyrd exited during the soak:\n" + d.log()[-3000:])
                return 1
            for path in POLLED if "http" in PARTS else []:
                t = time.monotonic()
                try:
                    st, _, _ = host.http("GET", path, timeout=10)
                    if st != 200:
                        errors += 1
                except OSError:
                    errors += 1
                worst = max(worst, time.monotonic() - t)
                polls += 1
            if "overlays" in PARTS:
                overlays(host, rounds)
            rounds += 1
            now = time.monotonic()
            if now >= next_sample:
                rss, fds = harness.rss_kb(d.pid), fd_count(d.pid)
                samples.append((rss, fds))
                print("t=%5.0fs rss=%d kB fds=%d polls=%d errors=%d e131=%d" %
                      (now - t0, rss, fds, polls, errors, drain.packets))
                sys.stdout.flush()
                next_sample = now + SAMPLE_S
            time.sleep(POLL_S)

        samples.append((harness.rss_kb(d.pid), fd_count(d.pid)))
        rss = samples[-1][0]
        # Media outputs open and close descriptors as the playlist moves on:
        # compare the highest count of the first and of the last three samples.
        start = (samples[0][0], max(f for _, f in samples[:3]))
        fds = max(f for _, f in samples[-3:])
        _, _, body = host.http("GET", "/lyrd/status")
        status = json.loads(body)
        print("end: status %s, %d polls, %d failed, slowest answer %.3f s, %d E1.31 packets" %
              (status.get("status_name"), polls, errors, worst, drain.packets))
        minutes = "after %g min, start after %.0f s warm-up" % (MINUTES, WARMUP_S)
        bench("soak RSS at start", "%d kB" % start[0], "-", minutes)
        bench("soak RSS at end", "%d kB" % rss, "-", minutes)
        bench("soak RSS growth", "%d kB" % (rss - start[0]), "<= 1024 kB", minutes)
        bench("soak descriptors at start (most of 3 samples)", "%d fds" % start[1], "-", minutes)
        bench("soak descriptors at end (most of 3 samples)", "%d fds" % fds, "-", minutes)
        bench("soak descriptor growth", "%d fds" % (fds - start[1]), "0 fds", minutes)
        bench("soak HTTP polls failed", "%d of %d" % (errors, polls), "0", minutes)
        code = d.stop(timeout=60)
        print("lyrd exit code %d" % code)
        tail = int(os.environ.get("SOAK_LOG_TAIL", "0"))
        if tail:
            print("".join(d.log().splitlines(True)[-tail:]))
        return 0 if code == 0 and errors == 0 else 1
    finally:
        if drain:
            drain.close()
        net.close()


if __name__ == "__main__":
    sys.exit(main())
