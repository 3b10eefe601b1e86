"""Media playback through the daemon: real libVLC output into ALSA's null
device (ALSA_CONFIG_PATH names a one-line configuration), a paired entry that
ends with its shorter half, and the volume kept across a restart."""

import os
import struct
import time

from test_channelout import command, lseq_bytes

ALSA_NULL = "pcm.!default { type null }\n"


def wav_bytes(ms, rate=8000):
    n = rate * ms // 1000
    data = b"".join(struct.pack("<h", 8000 if (i // 10) % 2 else -8000) for i in range(n))
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16) + b"data" + struct.pack("<I", len(data)) + data)


def start(host, settings=None):
    conf = os.path.join(host.root, "asound-null.conf")
    with open(conf, "w") as f:
        f.write(ALSA_NULL)
    return host.start_daemon(settings=settings or {}, env={"ALSA_CONFIG_PATH": conf})


def status(host):
    import json
    st, _, body = host.http("GET", "/lyrd/status")
    assert st == 200
    return json.loads(body)


def test_paired_entry_plays_both_halves_and_ends_with_the_shorter_media(host):
    host.write_file("sequences/show.lseq", lseq_bytes(16, 150, 40))  # 6 s
    host.write_file("music/song.wav", wav_bytes(3000))
    host.write_file("playlists/both.json", {"name": "both", "mainPlaylist": [
        {"type": "both", "sequenceName": "show.lseq", "mediaName": "song.wav"}]})
    d = start(host)
    host.wait_http()
    t0 = time.monotonic()
    st, _, body = command(host, "Start Playlist", "both")
    assert st == 200, body
    seen_song = False
    while time.monotonic() - t0 < 10:
        doc = status(host)
        if doc.get("current_song") == "song.wav" and doc.get("current_sequence") == "show.lseq":
            seen_song = True
        if seen_song and doc.get("status_name") == "idle":
            break
        time.sleep(0.1)
    took = time.monotonic() - t0
    assert seen_song, "status never showed both halves"
    print("paired entry ended after %.2f s (media 3 s, sequence 6 s)" % took)
    assert took < 5.0, "the entry should end with the 3 s media, not the 6 s sequence"
    d.stop()


def test_media_entry_with_missing_file_moves_on(host):
    host.write_file("music/ok.wav", wav_bytes(1500))
    host.write_file("playlists/p.json", {"name": "p", "mainPlaylist": [
        {"type": "media", "mediaName": "missing.wav"},
        {"type": "media", "mediaName": "noextension"},
        {"type": "media", "mediaName": "ok.wav"}]})
    d = start(host)
    host.wait_http()
    st, _, body = command(host, "Start Playlist", "p")
    assert st == 200, body
    d.wait_for_log("Could not start media missing.wav", timeout=5)
    d.wait_for_log("Unable to determine extension of media file noextension", timeout=5)
    deadline = time.monotonic() + 8
    while time.monotonic() < deadline and status(host).get("current_song") != "ok.wav":
        time.sleep(0.05)
    assert status(host).get("current_song") == "ok.wav"
    assert d.running()
    d.stop()


def test_volume_survives_a_restart(host):
    d = start(host)
    host.wait_http()
    st, _, body = host.http("POST", "/lyrd/volume/37")
    assert st == 200, body
    assert status(host)["volume"] == 37
    d.stop()
    assert '"volume" : 37' in host.read_file("config/volume.json").replace("\t", " ") or \
        "37" in host.read_file("config/volume.json")
    d = start(host)
    host.wait_http()
    assert status(host)["volume"] == 37
    d.stop()
