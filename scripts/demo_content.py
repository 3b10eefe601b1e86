"""Demo show content for lyrd, written into a media directory.

populate(host) writes a complete little show: a 32 x 8 RGB matrix (768
channels) sent as E1.31 to 127.0.0.1, a chase sequence with a matching
generated tune, a playlist that plays the pair with scrolling text over it,
and a schedule that starts the playlist a few seconds after launch and keeps
it looping for an hour.  The pieces (sequence bytes, WAV bytes, playlist and
schedule documents) are separate functions so tests and benchmarks can build
their own shows from them.

Everything is generated here; no file is fetched.
"""

import array
import json
import math
import os
import struct
import time

WIDTH = 32
HEIGHT = 8
CHANNELS = WIDTH * HEIGHT * 3
STEP_MS = 25
SECONDS = 30
SAMPLE_RATE = 22050

PLAYLIST = "demo"
SEQUENCE = "demo-chase.lseq"
# The media half is found in the media directory's music folder by name; the
# daemon chooses the output by extension, so the name keeps ".wav".
MEDIA = "demo-chase.wav"
MODEL = "Matrix"
MESSAGE = "Hello from lyrd - this is the demo show"
TEXT_SPEED = 16  # pixels per second: the message crosses the matrix in about 25 s


# ---- the sequence

def lseq_header(channels, frames, step_ms, media=None):
    """The fixed header (and an "mf" record naming `media`) of a .lseq file."""
    records = b""
    if media is not None:
        data = media.encode() + b"\0"
        records += struct.pack("<H2s", 4 + len(data), b"mf") + data
    header_size = 24 + len(records)
    fixed = b"LSEQ" + struct.pack("<HHIIIHH", 1, 0, header_size, channels, frames, step_ms,
                                  1 if media is not None else 0)
    return fixed + records


def hue(h):
    """A fully saturated colour for h in [0, 6): never white, so text stays readable."""
    i = int(h) % 6
    f = h - int(h)
    up, down = int(255 * f), int(255 * (1 - f))
    return [(255, up, 0), (down, 255, 0), (0, 255, up), (0, down, 255), (up, 0, 255), (255, 0, down)][i]


def chase_frame(n, width=WIDTH, height=HEIGHT):
    """Frame n of the chase: a bright diagonal band sweeping right over a
    dim background, its colour drifting through the hues."""
    frame = bytearray(width * height * 3)
    head = (n // 2) % (width + height)
    colour = hue((n / 80.0) % 6)
    dim = tuple(c // 12 for c in hue(((n / 80.0) + 3) % 6))
    for y in range(height):
        for x in range(width):
            d = head - (x + y)
            if 0 <= d < 4:
                c = tuple(v * (4 - d) // 4 for v in colour)
            else:
                c = dim
            o = (y * width + x) * 3
            frame[o:o + 3] = bytes(c)
    return bytes(frame)


def chase_lseq(seconds=SECONDS, step_ms=STEP_MS, media=MEDIA):
    frames = seconds * 1000 // step_ms
    return lseq_header(CHANNELS, frames, step_ms, media) + b"".join(chase_frame(n) for n in range(frames))


# ---- the audio

def tune_wav(seconds=SECONDS, rate=SAMPLE_RATE):
    """A 16-bit mono WAV: an arpeggio of quarter-second notes with a soft
    attack and release, so it is pleasant when a real sound card plays it."""
    notes = [261.63, 329.63, 392.00, 523.25, 392.00, 329.63, 293.66, 349.23, 440.00, 587.33, 440.00, 349.23]
    note_len = rate // 4
    samples = array.array("h")
    total = seconds * rate
    for start in range(0, total, note_len):
        f = notes[(start // note_len) % len(notes)]
        n = min(note_len, total - start)
        w = 2 * math.pi * f / rate
        for i in range(n):
            env = min(1.0, i / 200.0, (n - i) / 800.0)
            samples.append(int(9000 * env * math.sin(w * i)))
    if samples.itemsize != 2:  # pragma: no cover - every Debian platform has 16-bit shorts
        raise RuntimeError("array('h') is not 16 bits here")
    if struct.pack("=h", 1) != struct.pack("<h", 1):
        samples.byteswap()
    data = samples.tobytes()
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16) + b"data" + struct.pack("<I", len(data)) + data)


# ---- configuration documents

def outputs(channels=CHANNELS, address="127.0.0.1", per_universe=384):
    """E1.31 universes of `per_universe` channels covering `channels`."""
    universes = []
    for i, start in enumerate(range(0, channels, per_universe)):
        universes.append({"active": 1, "id": i + 1, "startChannel": start + 1,
                          "channelCount": min(per_universe, channels - start), "address": address})
    return {"channelOutputs": [{"type": "universes", "enabled": 1, "universes": universes}]}


def model_map():
    return {"models": [{"Name": MODEL, "Type": "Channel", "StartChannel": 1, "ChannelCount": CHANNELS,
                        "ChannelCountPerNode": 3, "StringCount": HEIGHT, "StrandsPerString": 1,
                        "Orientation": "horizontal", "StartCorner": "TL"}]}


def text_command(message=MESSAGE, speed=TEXT_SPEED):
    """A playlist command entry that scrolls `message` over the matrix once;
    Transparent lets the chase show through around the letters."""
    return {"type": "command", "command": "Overlay Model Effect",
            "args": [MODEL, "Transparent", "Text", "#FFFFFF", "DejaVuSans", "8", "false",
                     "Right to Left", str(speed), "0", message]}


def paired(sequence, media):
    return {"type": "both", "sequenceName": sequence, "mediaName": media, "enabled": 1, "playOnce": 0}


def playlist(name, entries, repeat=0):
    return {"name": name, "desc": "generated demo show", "repeat": repeat, "loopCount": 0,
            "leadIn": [], "mainPlaylist": entries, "leadOut": []}


def hms(t):
    """Local wall-clock time of epoch second t, as the schedule file writes it."""
    return time.strftime("%H:%M:%S", time.localtime(t))


def schedule_entry(name, start, end, repeat=True, stop_type="Graceful"):
    return {"enabled": True, "playlist": name, "day": 7, "startTime": hms(start), "endTime": hms(end),
            "repeat": repeat, "stopType": stop_type}


# ---- writing

def _write(media_dir, relpath, content):
    path = os.path.join(media_dir, relpath)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = json.dumps(content, indent=2).encode() if isinstance(content, (dict, list)) else content
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)
    return path


def populate(target, start_in=15, length=3600, now=None):
    """Writes the demo show into `target` (a harness host or a media directory
    path).  The schedule starts the playlist `start_in` seconds from `now` and
    ends it `length` seconds later.  Returns what was written."""
    media_dir = getattr(target, "media", target)
    now = time.time() if now is None else now
    start = int(math.ceil(now)) + start_in
    end = start + length
    _write(media_dir, "sequences/" + SEQUENCE, chase_lseq())
    _write(media_dir, "music/" + MEDIA, tune_wav())
    _write(media_dir, "playlists/%s.json" % PLAYLIST,
           playlist(PLAYLIST, [text_command(), paired(SEQUENCE, MEDIA)], repeat=1))
    _write(media_dir, "config/schedule.json", [schedule_entry(PLAYLIST, start, end)])
    _write(media_dir, "config/model-overlays.json", model_map())
    _write(media_dir, "config/co-universes.json", outputs())
    settings = os.path.join(media_dir, "settings")
    if not os.path.exists(settings):
        # Date and time formats make the status show when the next show starts.
        _write(media_dir, "settings", b'HostName = "lyrd-demo"\nDateFormat = "%Y-%m-%d"\nTimeFormat = "%H:%M:%S"\n')
    return {"media": media_dir, "playlist": PLAYLIST, "sequence": SEQUENCE, "mediaName": MEDIA,
            "model": MODEL, "message": MESSAGE, "start": start, "end": end}
