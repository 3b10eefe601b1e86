"""The board's web page in a real browser: Debian's chromium driven by
playwright-core (tests/js/webpage_check.mjs), run inside the daemon's
network namespace.  One browser start covers the whole walk through the
page; screenshots of every section land in the build tree (screenshots/)."""

import gzip
import os
import shutil
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import demo_content  # noqa: E402
import harness  # noqa: E402

JS_DIR = os.path.join(HERE, "..", "js")
CHECK_SCRIPT = os.path.join(JS_DIR, "webpage_check.mjs")
SHOTS = os.path.join(harness.BUILD_DIR, "screenshots")
CHANNELS = 64


def sequence(channels, frames, step_ms=25):
    """A ramp: byte k of frame f is (f + k) mod 256."""
    out = bytearray(demo_content.lseq_header(channels, frames, step_ms))
    frame = bytes(range(256)) * (channels // 256 + 2)
    for f in range(frames):
        out += frame[f % 256:f % 256 + channels]
    return bytes(out)


def show(host):
    host.write_file("config/co-universes.json", demo_content.outputs(CHANNELS))
    host.write_file("config/model-overlays.json", {"models": [{
        "Name": "Star", "Type": "Channel", "StartChannel": 1, "ChannelCount": CHANNELS - 1,
        "ChannelCountPerNode": 3, "StringCount": 3, "StrandsPerString": 1,
        "Orientation": "horizontal", "StartCorner": "TL"}]})
    host.write_file("sequences/yard.lseq", sequence(CHANNELS, 40 * 20))
    seq = {"type": "sequence", "sequenceName": "yard.lseq", "enabled": 1, "playOnce": 0}
    host.write_file("playlists/yard.json", demo_content.playlist("yard", [seq]))
    big = {"type": "sequence", "sequenceName": "big.lseq", "enabled": 1, "playOnce": 0}
    host.write_file("playlists/uploaded.json", demo_content.playlist("uploaded", [big]))


def need_browser():
    if not os.path.exists("/usr/bin/chromium"):
        pytest.skip("Debian's chromium is not installed (scripts/install-deps)")
    if not os.path.isdir(os.path.join(JS_DIR, "node_modules", "playwright-core")):
        pytest.skip("tests/js/node_modules is missing (scripts/install-deps)")


def test_page_in_a_real_browser(host):
    need_browser()
    show(host)
    d = host.start_daemon()
    upload = os.path.join(host.root, "big.lseq")
    with open(upload, "wb") as f:
        f.write(sequence(512, 6000))  # 3 MB
    shutil.rmtree(SHOTS, ignore_errors=True)
    r = host.exec(["node", CHECK_SCRIPT, "http://127.0.0.1:%d" % harness.HTTP_PORT, SHOTS, upload, str(d.pid)],
                  check=False, timeout=120)
    lines = [l for l in r.stdout.splitlines() if l.startswith("CHECK")]
    failed = [l for l in lines if " FAIL" in l]
    assert r.returncode == 0 and not failed and lines[-1:] == ["CHECKS DONE 0 failed"], \
        "\n".join(lines) + "\n" + r.stderr[-3000:] + "\n" + d.log()[-3000:]
    for name in ("now-playing", "files", "settings-error", "daemon-gone"):
        assert os.path.getsize(os.path.join(SHOTS, name + ".png")) > 5000

    # What the page did is on disk: the upload, in full and nothing else; the setting.
    with open(upload, "rb") as f:
        assert open(os.path.join(host.media, "sequences", "big.lseq"), "rb").read() == f.read()
    assert sorted(os.listdir(os.path.join(host.media, "sequences"))) == ["big.lseq", "yard.lseq"]
    assert 'HostDescription = "Front yard"' in host.read_file("settings")


def test_page_files_are_served_small_compressed_and_revalidated(host):
    host.start_daemon()
    status, _, _ = host.http("GET", "/")
    assert status == 302
    total = 0
    for name, ctype in (("index.html", "text/html"), ("app.js", "text/javascript"), ("api.js", "text/javascript"),
                        ("style.css", "text/css"), ("icon.svg", "image/svg+xml")):
        conn = harness.http.client.HTTPConnection("127.0.0.1", harness.HTTP_PORT, timeout=10)
        conn.sock = host.connect()
        conn.request("GET", "/ui/" + name, headers={"Accept-Encoding": "gzip"})
        resp = conn.getresponse()
        body = resp.read()
        assert resp.status == 200, name
        assert resp.getheader("Content-Type").startswith(ctype), name
        etag = resp.getheader("ETag")
        if len(body) > 1000:
            assert resp.getheader("Content-Encoding") == "gzip", name
            gzip.decompress(body)
        total += len(body)
        conn.request("GET", "/ui/" + name, headers={"If-None-Match": etag})
        again = conn.getresponse()
        again.read()
        assert again.status == 304, name
        conn.close()
    assert total < 200 * 1024
    # The page's paths sit beside the API, which answers as before.
    status, _, body = host.http("GET", "/lyrd/nosuch")
    assert status == 404 and "endpoint lyrd/nosuch does not exist" in body
