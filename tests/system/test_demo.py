"""The demo show of `make run`: generated into a namespace host, it must start
by schedule, play its sequence and its media, and scroll its text over the
matrix, all seen from outside the daemon (HTTP status and E1.31 output)."""

import json
import os
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import demo_content  # noqa: E402

ALSA_NULL = "pcm.!default { type null }\n"
E131_PORT = 5568
E131_DATA = 126
PER_UNIVERSE = 384


def status(host):
    st, _, body = host.http("GET", "/lyrd/status")
    assert st == 200, body
    return json.loads(body)


class Output:
    """Whole frames of the matrix, rebuilt from its E1.31 universes."""

    def __init__(self, host):
        self.sock = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(("127.0.0.1", E131_PORT))
        self.sock.settimeout(0.2)

    def frames(self, seconds):
        """Frames sent from now on (older queued packets are dropped)."""
        self.sock.setblocking(False)
        try:
            while True:
                self.sock.recv(2048)
        except BlockingIOError:
            pass
        self.sock.settimeout(0.2)
        got, part = [], {}
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                pkt = self.sock.recv(2048)
            except socket.timeout:
                continue
            universe = (pkt[113] << 8) | pkt[114]
            part[universe] = pkt[E131_DATA:]
            if universe == 2 and 1 in part:
                got.append(part[1] + part[2])
                part = {}
        return got

    def close(self):
        self.sock.close()


def white(frame):
    """(x, y) of the pixels only the white text can light."""
    w = demo_content.WIDTH
    return [(i % w, i // w) for i in range(len(frame) // 3) if min(frame[3 * i:3 * i + 3]) >= 200]


def scrolled_by(before, after, most=24):
    """The leftward shift that best maps `after`'s lit pixels onto `before`'s,
    and the share of them it explains."""
    was = set(before)
    best = (0, 0.0)
    for k in range(0, most + 1):
        moved = [(x + k, y) for x, y in after if x + k < demo_content.WIDTH]
        if moved:
            share = sum(p in was for p in moved) / len(moved)
            if share > best[1]:
                best = (k, share)
    return best


def test_demo_show_starts_by_schedule_and_plays(host):
    show = demo_content.populate(host, start_in=6)
    conf = os.path.join(host.root, "asound-null.conf")
    with open(conf, "w") as f:
        f.write(ALSA_NULL)
    out = Output(host)
    d = host.start_daemon(env={"ALSA_CONFIG_PATH": conf})
    try:
        host.wait_http()
        doc = status(host)
        assert doc["scheduler"]["enabled"] == 1
        assert doc["scheduler"]["nextPlaylist"]["playlistName"] == show["playlist"]

        deadline = show["start"] + 15
        while True:
            doc = status(host)
            if doc["current_sequence"] == show["sequence"] and doc["current_song"] == show["mediaName"]:
                break
            assert time.time() < deadline, "the show did not start: %s" % json.dumps(doc)[:2000]
            time.sleep(0.2)
        assert time.time() >= show["start"] - 1, "started before its scheduled time"
        assert doc["scheduler"]["status"] == "playing"
        assert doc["scheduler"]["currentPlaylist"]["playlistName"] == show["playlist"]

        # The sequence reaches the output: received frames are frames of the
        # chase wherever the text leaves the pixels alone, and they advance.
        frames = out.frames(3.0)
        assert len(frames) > 40, "too few frames: %d" % len(frames)
        total = demo_content.SECONDS * 1000 // demo_content.STEP_MS
        chase = [demo_content.chase_frame(n) for n in range(total)]
        matched = []
        for fr in frames[::10]:
            lit = set(white(fr))
            keep = [i for i in range(len(fr) // 3) if (i % demo_content.WIDTH, i // demo_content.WIDTH) not in lit]
            hits = [n for n, c in enumerate(chase) if all(fr[3 * i:3 * i + 3] == c[3 * i:3 * i + 3] for i in keep)]
            assert hits, "a received frame is no frame of the chase"
            matched.append(hits)
        assert len({h[0] for h in matched}) > 1, "the chase does not move"

        # The media half plays: its time advances in the status.
        t0 = int(status(host)["seconds_elapsed"])
        time.sleep(2.2)
        assert int(status(host)["seconds_elapsed"]) > t0
        assert status(host)["current_song"] == show["mediaName"]

        # The text: the overlay reports it, and white letters move left.
        st, body = host.http_json("GET", "/overlays/model/" + show["model"])
        assert st == 200 and body["effectRunning"] is True and body["effectName"] == "Text", body
        first = [white(f) for f in out.frames(0.3) if white(f)]
        time.sleep(0.3)
        later = [white(f) for f in out.frames(0.3) if white(f)]
        assert first and later, "no text pixels in the output"
        shift, share = scrolled_by(first[-1], later[-1])
        assert shift > 0 and share >= 0.8, "the text does not scroll left (best shift %d, %.2f)" % (shift, share)
        assert d.running()
    finally:
        out.close()
        d.stop()
