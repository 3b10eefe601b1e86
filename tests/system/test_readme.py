"""The README's user section, run as written: each fenced example is marked
with an HTML comment (`<!-- example: KIND [ARG] -->`) and played against real
daemons in private namespaces.  Settings blocks become the settings file,
JSON blocks are installed at the path their marker names and must load
without a complaint and act (outputs send, the playlist plays, the schedule
lists its sunset start), curl lines run inside the namespace, command-socket
lines go to the daemon's socket, mosquitto lines talk through a real broker,
install lines install into a staging root."""

import datetime
import glob
import json
import math
import os
import re
import shlex
import socket
import struct
import subprocess
import time

import pytest

import e131
import harness
from cmdclient import CommandClient
from test_channelout import lseq_bytes
from test_media import ALSA_NULL

SOURCE_DIR = os.path.abspath(harness.SOURCE_DIR)
BUILD_DIR = os.path.abspath(harness.BUILD_DIR)
README = os.path.join(SOURCE_DIR, "README.md")
STEP_MS = 25

MARKED = re.compile(r"<!-- example: (\S+)(?: (\S+))? -->\n```(\w*)\n(.*?)\n```\n", re.S)

# Every example the user section holds, and so every one this file runs.
EXPECTED = {
    ("install", None), ("install-custom", None), ("install-package", None),
    ("settings", "board"), ("settings", "master"), ("settings", "remote"), ("settings", "mqtt"),
    ("media-file", "config/co-universes.json"), ("media-file", "playlists/evening.json"),
    ("media-file", "config/schedule.json"), ("media-file", "config/ci-universes.json"),
    ("curl", None), ("command-socket", None), ("mqtt", None),
    ("media-file", "playlists/doorbell.json"), ("curl", "effects"),
    ("webpage", None),
    ("homeassistant", None), ("settings", "secure"), ("curl-secure", None),
    ("controllers", "config/co-universes.json"), ("controllers", "config/channelremap.json"),
    ("controllers", "playlists/arches.json"), ("curl-remap", None),
    ("recording", None),
}

# Words of a log line that reports something wrong with what was loaded.
COMPLAINT = re.compile(r"error|invalid|ignor|skipp|unknown|fail|could not|can ?not|bad |not an? |"
                       r"deprecated|warn|refus|missing", re.I)


def user_section():
    with open(README) as f:
        text = f.read()
    start = text.index("## Using lyrd\n")
    end = text.find("\n## ", start + 1)
    return text[start:] if end < 0 else text[start:end + 1]


def examples():
    return {(kind, arg): body for kind, arg, _, body in MARKED.findall(user_section())}


def example(kind, arg=None):
    return examples()[(kind, arg or "")]


def lines(kind, arg=None):
    return [l for l in example(kind, arg).splitlines() if l.strip()]


# ---- media for the playlist example -------------------------------------------------------

def playlist_media(host, playlist):
    """Writes every sequence and audio file the playlist names: short, real files."""
    doc = json.loads(playlist)
    for section in ("leadIn", "mainPlaylist", "leadOut"):
        for entry in doc.get(section, []):
            if "sequenceName" in entry:
                host.write_file("sequences/" + entry["sequenceName"], lseq_bytes(1600, 1500 // STEP_MS, STEP_MS))
            if "mediaName" in entry:
                path = os.path.join(host.media, "music", entry["mediaName"])
                os.makedirs(os.path.dirname(path), exist_ok=True)
                subprocess.run(["sox", "-n", "-r", "22050", "-c", "1", path, "synth", "1.5", "sine", "440"],
                               check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def show_host(host, *settings):
    """A board with the settings blocks, the playlist and its media."""
    host.write_file("settings", "".join(example("settings", s) + "\n" for s in settings))
    evening = example("media-file", "playlists/evening.json")
    host.write_file("playlists/evening.json", evening)
    playlist_media(host, evening)


def start(host):
    conf = os.path.join(host.root, "asound-null.conf")
    with open(conf, "w") as f:
        f.write(ALSA_NULL)
    d = host.start_daemon(["-f"], env={"ALSA_CONFIG_PATH": conf})
    host.wait_http()
    return d


def messages(log):
    """Log lines without time stamp and thread."""
    out = []
    for line in log.splitlines():
        m = re.match(r"^\S+ \S+ \(\d+\) (\[.*)$", line)
        out.append(m.group(1) if m else line)
    return out


def complaints(d, baseline):
    """Lines that complain and that a bare daemon does not log too."""
    known = {re.sub(r"\d+", "N", m) for m in baseline}
    return [m for m in messages(d.log()) if COMPLAINT.search(m) and re.sub(r"\d+", "N", m) not in known]


@pytest.fixture(scope="module")
def baseline():
    """What a daemon with an empty media directory logs on its own."""
    net = harness.Network()
    try:
        h = net.add_host("bare")
        d = start(h)
        time.sleep(1.0)
        d.stop()
        return messages(d.log())
    finally:
        net.close()


def status(host):
    st, _, body = host.http("GET", "/lyrd/status")
    assert st == 200
    return json.loads(body)


def player(host):
    st, _, body = host.http("GET", "/player/status")
    assert st == 200
    return json.loads(body)["playlists"][0]


def volume(host):
    try:
        return json.loads(host.read_file("config/volume.json")).get("volume")
    except (FileNotFoundError, ValueError):
        return None


# ---- the README itself ----------------------------------------------------------------------

def test_every_example_is_marked_and_run_here():
    section = user_section()
    fences = len(re.findall(r"^```", section, re.M)) // 2
    found = {(k, a or None) for k, a, _, _ in MARKED.findall(section)}
    assert fences == len(MARKED.findall(section)), "a fenced block without an example marker"
    assert found == EXPECTED


# ---- install --------------------------------------------------------------------------------

def run_install_line(line, dest):
    argv = shlex.split(line)
    if argv[0] == "sudo":
        argv = argv[1:]
    if argv[0] == "make":
        r = subprocess.run(["make", "-C", SOURCE_DIR, "BUILD=" + BUILD_DIR, "DESTDIR=" + dest] + argv[1:],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
        assert r.returncode == 0, r.stdout[-3000:]
        return None
    # The account is made the way the package makes it; creating it here
    # would change this machine, so the line is only checked.
    if argv[0] == "adduser":
        assert "lyr" in argv and ("--system" in argv or argv[1:] == ["lyr", "audio"]), line
        return None
    # systemctl and journalctl need systemd as PID 1; check they name the installed unit.
    assert argv[0] in ("systemctl", "journalctl"), line
    names = [a for a in argv[1:] if not a.startswith("-") and a not in ("daemon-reload", "enable", "restart", "status")]
    return names


def test_install_examples(tmp_path):
    dest = str(tmp_path / "root")
    named = []
    for line in lines("install"):
        named += run_install_line(line, dest) or []
    unit = os.path.join(dest, "etc/systemd/system/lyrd.service")
    assert os.path.exists(unit)
    assert named and all(os.path.exists(os.path.join(dest, "etc/systemd/system", n + ".service")) for n in named)
    for f in ("opt/lyrd/src/lyrd", "opt/lyrd/www/settings.json", "opt/lyrd/scripts/get_uuid",
              "home/lyr/media/settings"):
        assert os.path.exists(os.path.join(dest, f)), f

    custom = str(tmp_path / "custom")
    (line,) = lines("install-custom")
    run_install_line(line, custom)
    argv = dict(a.split("=", 1) for a in shlex.split(line) if "=" in a)
    assert os.path.exists(custom + argv["PREFIX"] + "/src/lyrd")
    assert os.path.exists(custom + argv["UNIT_DIR"] + "/lyrd.service")
    assert os.path.isdir(custom + argv["MEDIA_DIR"])
    with open(custom + argv["PREFIX"] + "/www/media_root.txt") as f:
        assert f.read().strip() == argv["MEDIA_DIR"]


def test_package_example(tmp_path):
    """`make deb`, then apt installs the file the glob names: apt only
    simulates here (it resolves the package's dependencies against this
    machine), test_package.py installs it for real."""
    debs = []
    named = []
    for line in lines("install-package"):
        argv = shlex.split(line)
        if argv[0] == "sudo":
            argv = argv[1:]
        if argv[0] == "make":
            r = subprocess.run(["make", "-C", SOURCE_DIR, "BUILD=" + BUILD_DIR] + argv[1:], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, timeout=900)
            assert r.returncode == 0, r.stdout[-3000:]
            debs = re.findall(r"CPack: - package: (\S+\.deb) generated", r.stdout)
        elif argv[:2] == ["apt", "install"]:
            (pattern,) = argv[2:]
            assert pattern.startswith("./build/")
            matches = glob.glob(os.path.join(BUILD_DIR, pattern[len("./build/"):]))
            assert debs and debs[-1] in matches, (debs, matches)
            deb = max(matches, key=os.path.getmtime)
            r = subprocess.run(["apt-get", "install", "--simulate", "-q", deb], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, timeout=120)
            assert r.returncode == 0 and re.search(r"^Inst lyrd ", r.stdout, re.M), r.stdout[-3000:]
        else:
            named += run_install_line(line, str(tmp_path)) or []
    contents = subprocess.run(["dpkg-deb", "-c", debs[-1]], stdout=subprocess.PIPE, text=True, check=True).stdout
    assert named and all("/lib/systemd/system/%s.service" % n in contents for n in named)


# ---- outputs, playlist, curl and the command socket on one board -----------------------------

class Controller(e131.Listener):
    """An E1.31 receiver on the controller's address, also joined to the multicast groups."""

    def __init__(self, host, address, groups):
        self.seen = {}  # universe -> (destination kind, payload length)
        super().__init__(host, "0.0.0.0", groups, join_address=address)

    def packet(self, now, pkt):
        if len(pkt) > 126 and pkt[4:16] == b"ASC-E1.17\0\0\0":
            self.seen[e131.universe_of(pkt)] = len(pkt) - 126


def outputs_expected(doc):
    """universe -> channel count, as the outputs file describes them."""
    out = {}
    for o in doc["channelOutputs"]:
        for u in o["universes"]:
            for i in range(u.get("universeCount", 1)):
                out[u["id"] + i] = u["channelCount"]
    return out


def curl(host, line):
    argv = shlex.split(line)
    assert argv[0] == "curl"
    r = host.exec(argv + ["-w", "\n%{http_code}"], check=False, timeout=20)
    assert r.returncode == 0, (line, r.stderr)
    body, _, code = r.stdout.rpartition("\n")
    assert code == "200", (line, r.stdout)
    try:
        doc = json.loads(body)
    except ValueError:
        return body  # commands answer with their result text
    assert doc.get("Status") != "ERROR", (line, doc)
    return doc


def test_outputs_playlist_curl_and_command_socket(net, baseline):
    outputs = example("media-file", "config/co-universes.json")
    doc = json.loads(outputs)
    target = next(u["address"] for o in doc["channelOutputs"] for u in o["universes"] if "address" in u)
    ifname = doc["channelOutputs"][0]["interface"]
    assert ifname == "eth0"  # the board's first interface, as the harness names it
    prefix = ".".join(target.split(".")[:3])
    board = net.add_host("board", addresses=[prefix + ".2/24"])
    board.exec(["ip", "route", "add", "239.0.0.0/8", "dev", ifname])
    controller = net.add_host("ctl", addresses=[target + "/24"])
    want = outputs_expected(doc)
    groups = ["239.255.%d.%d" % (u >> 8, u & 255) for o in doc["channelOutputs"] for x in o["universes"]
              if "address" not in x for u in [x["id"]]]
    rx = Controller(controller, target, groups)
    try:
        show_host(board, "board")
        board.write_file("config/co-universes.json", outputs)
        d = start(board)
        assert "E1.31 output: %d universes" % len(want) in d.log()

        for line in lines("curl"):
            if "Stop Gracefully" in line:
                # Let the main part play through before the graceful stop ends it.
                d.wait_for_log("Opened sequence sparkle.lseq", timeout=30)
            reply = curl(board, line)
            if line.endswith("/lyrd/status"):
                assert reply["status_name"] == "idle" and reply["warnings"] == []
            if "Start Playlist" in line:
                assert "started" in reply, reply
                d.wait_for_log("Opened sequence carol.lseq", timeout=20)
            if line.endswith("/player/status"):
                assert reply["playlists"][0]["name"] == "evening"
                # Started without a repeat argument: the file's "repeat": 1 holds.
                assert reply["playlists"][0]["repeat"] == 1, reply["playlists"][0]
            if line.endswith("/lyrd/schedule"):
                assert reply["schedule"]["entries"] == []

        out = d.wait_for_log("Opened sequence goodnight.lseq", timeout=20)  # the lead-out after the stop
        order = [out.index("Opened sequence %s" % s) for s in ("carol.lseq", "sparkle.lseq", "goodnight.lseq")]
        assert order == sorted(order)
        harness.wait_until(lambda: player(board)["status"] == 0, what="the playlist to end")
        assert volume(board) == 80  # the lead-in's command ran
        assert rx.seen == want, (rx.seen, want)  # every universe, each with its channels
        assert status(board)["warnings"] == []
        assert complaints(d, baseline) == []

        c = CommandClient(board)
        c.wait_ready()
        replies = {}
        for line in lines("command-socket"):
            replies[line] = c.ask(line)
            if line.startswith("p,"):
                harness.wait_until(lambda: status(board).get("current_song") == "carol.ogg", what="the audio to play")
                time.sleep(0.7)  # well into the song, not stopping it while it opens
        c.close()
        assert replies["s"].split(",")[1] == "0"  # idle when asked
        for line in ("p,evening", "S", "d", "R"):
            assert replies[line].split(",")[1] == "1", (line, replies[line])
        harness.wait_until(lambda: player(board)["status"] == 0, what="the playlist to stop")
        assert complaints(d, baseline) == []
        assert d.stop() == 0
    finally:
        rx.close()


# ---- live input ----------------------------------------------------------------------------

def test_live_input_file_loads_and_bridges(net, baseline):
    doc = json.loads(example("media-file", "config/ci-universes.json"))
    assert doc["channelInputs"][0]["interface"] == "eth0"
    board = net.add_host("board", addresses=["10.204.0.2/24"])
    desk = net.add_host("desk", addresses=["10.204.0.1/24"])
    board.exec(["ip", "route", "add", "239.0.0.0/8", "dev", "eth0"])
    board.write_file("config/ci-universes.json", example("media-file", "config/ci-universes.json"))
    d = start(board)
    want = [(u["protocol"], u["id"] + i, u["startChannel"] + i * u["channelCount"])
            for g in doc["channelInputs"] for u in g["universes"] for i in range(u.get("universeCount", 1))]
    st, _, body = board.http("GET", "/lyrd/e131stats")
    listed = [(u["protocol"], u["universe"], u["startChannel"]) for u in json.loads(body)["universes"]]
    assert listed == want
    s = desk.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sacn = next(w for w in want if w[0] == "sacn")
    s.sendto(e131.data_packet(bytes([7] * 16), sacn[1], [255] * 8), ("10.204.0.2", 5568))
    harness.wait_until(lambda: status(board)["bridging"], timeout=5, what="bridging")
    s.close()
    assert complaints(d, baseline) == []
    assert d.stop() == 0


# ---- schedule -------------------------------------------------------------------------------

def sunset(day, lat, lon):
    """Unix time of the sunset of `day` at lat/lon (the usual sunrise equation, about a minute)."""
    jd_noon = datetime.datetime(day.year, day.month, day.day, 12).toordinal() + 1721424.5 + 0.5
    n = round(jd_noon - 2451545.0 + 0.0008)
    j = n - lon / 360.0
    m = math.radians((357.5291 + 0.98560028 * j) % 360)
    c = 1.9148 * math.sin(m) + 0.02 * math.sin(2 * m) + 0.0003 * math.sin(3 * m)
    lam = math.radians((math.degrees(m) + c + 180 + 102.9372) % 360)
    transit = 2451545.0 + j + 0.0053 * math.sin(m) - 0.0069 * math.sin(2 * lam)
    dec = math.asin(math.sin(lam) * math.sin(math.radians(23.4397)))
    phi = math.radians(lat)
    cos_w = (math.sin(math.radians(-0.833)) - math.sin(phi) * math.sin(dec)) / (math.cos(phi) * math.cos(dec))
    w = math.degrees(math.acos(cos_w))
    return (transit + w / 360.0 - 2440587.5) * 86400.0


def settings_values(text):
    return {k.strip(): v.strip().strip('"') for k, v in (l.split("=", 1) for l in text.splitlines() if "=" in l)}


def test_schedule_lists_the_sunset_start(host, baseline):
    show_host(host, "board")
    schedule = example("media-file", "config/schedule.json")
    host.write_file("config/schedule.json", schedule)
    entries = json.loads(schedule)
    d = start(host)
    st, _, body = host.http("GET", "/lyrd/schedule")
    assert st == 200
    sched = json.loads(body)["schedule"]
    assert [e.get("playlist") or e.get("command") for e in sched["entries"]] == \
        [e.get("playlist") or e.get("command") for e in entries]
    sun = next(i for i, e in enumerate(entries) if e.get("startTime") == "SunSet")
    offset = entries[sun].get("startTimeOffset", 0) * 60
    items = [it for it in sched["items"] if it["id"] == sun]
    assert items, sched["items"]
    s = settings_values(example("settings", "board"))
    lat, lon = float(s["Latitude"]), float(s["Longitude"])
    for it in items:
        start_time = it["startTime"]
        day = datetime.date.fromtimestamp(start_time)
        # The sun's day may sit either side of the board's local date.
        best = min(abs(start_time - (sunset(day + datetime.timedelta(k), lat, lon) + offset)) for k in (-1, 0, 1))
        assert best < 5 * 60, (it, best)
        assert it["command"] == "Start Playlist" and it["args"][0] == entries[sun]["playlist"]
    assert complaints(d, baseline) == []
    assert status(host)["warnings"] == []
    assert d.stop() == 0


# ---- master and remote ----------------------------------------------------------------------

def test_remote_follows_the_master(net, baseline):
    hosts = {}
    for i, role in enumerate(("master", "remote"), start=1):
        h = net.add_host(role, addresses=["10.203.0.%d/24" % i])
        # A broadcast address on the link, as a board's DHCP lease gives one.
        h.exec(["ip", "addr", "del", "10.203.0.%d/24" % i, "dev", "eth0"])
        h.exec(["ip", "addr", "add", "10.203.0.%d/24" % i, "brd", "+", "dev", "eth0"])
        show_host(h, role)
        hosts[role] = h
    remote = start(hosts["remote"])
    master = start(hosts["master"])
    names = {r: settings_values(example("settings", r))["HostName"] for r in hosts}

    st, _, body = hosts["master"].http("POST", "/command", body={"command": "Start Playlist", "args": ["evening"]})
    assert st == 200, body
    harness.wait_until(lambda: status(hosts["remote"]).get("current_sequence") == "carol.lseq", what="the remote to follow")
    harness.wait_until(lambda: status(hosts["remote"]).get("current_song") == "carol.ogg", what="the remote's audio")
    harness.wait_until(lambda: status(hosts["remote"]).get("current_sequence") == "sparkle.lseq", timeout=30,
             what="the remote to follow to the next sequence")

    for me, other in (("master", "remote"), ("remote", "master")):
        def listed():
            st, _, body = hosts[me].http("GET", "/lyrd/lockstepSystems")
            return st == 200 and names[other] in [s["hostname"] for s in json.loads(body)["systems"]]
        harness.wait_until(listed, what="%s to list %s" % (me, other))
    assert status(hosts["remote"])["mode_name"] == "remote"
    assert status(hosts["master"])["lockstep"] is True
    for d in (master, remote):
        assert complaints(d, baseline) == []
    assert master.stop() == 0 and remote.stop() == 0


# ---- MQTT -----------------------------------------------------------------------------------

def test_mqtt_topics_through_a_real_broker(host, baseline):
    mq = settings_values(example("settings", "mqtt"))
    assert mq["MQTTHost"] == "localhost"
    host.write_file("mosquitto.conf", "listener %s 127.0.0.1\nallow_anonymous true\n" % mq["MQTTPort"])
    host.spawn(["/usr/sbin/mosquitto", "-c", os.path.join(host.media, "mosquitto.conf")])
    show_host(host, "board", "mqtt")
    # Long enough entries that "next" has something to skip.
    host.write_file("sequences/carol.lseq", lseq_bytes(64, 20000 // STEP_MS, STEP_MS))
    d = start(host)
    d.wait_for_log("MQTT connected", timeout=20)

    mqtt_lines = lines("mqtt")
    sub = shlex.split(mqtt_lines[0])
    assert sub[0] == "mosquitto_sub"
    watcher = subprocess.Popen(host.command(sub), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        time.sleep(0.5)
        for line in mqtt_lines[1:]:
            argv = shlex.split(line)
            assert argv[0] == "mosquitto_pub"
            before = player(host)
            r = host.exec(argv, check=False)
            assert r.returncode == 0, (line, r.stderr)
            if "Start Playlist" in line:
                harness.wait_until(lambda: player(host)["status"] == 1 and player(host)["currentEntry"].get("type") == "both",
                         what="the playlist to start")
            elif line.split("'")[1].endswith("/next"):
                harness.wait_until(lambda: player(host)["position"] > before["position"], what="the next entry")
            elif "/stop/" in line:
                harness.wait_until(lambda: player(host)["status"] == 0, what="the playlist to stop")
        time.sleep(0.5)
    finally:
        watcher.terminate()
        out, _ = watcher.communicate(timeout=5)
    got = {}
    for l in out.splitlines():
        topic, _, payload = l.partition(" ")
        got.setdefault(topic, []).append(payload)
    base = "%s/lyrd/%s/" % (mq["MQTTPrefix"], settings_values(example("settings", "board"))["HostName"])
    assert "online" in got.get(base + "availability", []), out
    assert "playing" in got.get(base + "status", []) and got[base + "status"][-1] == "idle", out
    assert "evening" in got.get(base + "playlist/name/status", []), out
    assert got.get(base + "version"), out
    assert complaints(d, baseline) == []
    assert d.stop() == 0


# ---- effects, pictures and show commands -----------------------------------------------------

def test_effects_pictures_and_show_commands(host, baseline):
    from test_effects import Hook, lseq, png
    import http.server
    import threading

    doorbell = example("media-file", "playlists/doorbell.json")
    doc = json.loads(doorbell)
    host.write_file("playlists/doorbell.json", doorbell)
    models = set()
    for entry in doc["mainPlaylist"]:
        if entry["type"] == "effect":
            host.write_file("effects/%s.lseq" % entry["effectName"], lseq(9, 12, STEP_MS, 99))
        if entry["type"] == "image":
            host.write_file("images/" + entry["imagePath"], png(2, 1, [[255, 0, 0, 0, 0, 255]]))
            models.add(entry["modelName"])
    host.write_file("config/model-overlays.json", {"models": [
        {"Name": m, "Type": "Channel", "StartChannel": 1001, "ChannelCount": 24, "StringCount": 2}
        for m in models]})
    # The device the URL line talks to, on this host.
    device = next(re.search(r"http://([\d.]+)", l).group(1) for l in lines("curl", "effects") if '"URL"' in l)
    host.exec(["ip", "addr", "add", device + "/32", "dev", "lo"])
    sock = host.socket()
    sock.bind((device, 80))
    server = http.server.HTTPServer((device, 80), Hook, bind_and_activate=False)
    server.socket.close()
    server.socket = sock
    server.server_activate()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    Hook.seen.clear()
    try:
        d = start(host)
        for line in lines("curl", "effects"):
            reply = curl(host, line)
            if "Effect Start" in line:
                assert "started with id" in reply, reply
            if line.endswith("/lyrd/effects"):
                assert [e["name"] for e in reply["runningEffects"]] == ["sparkle"], reply
            if '"URL"' in line:
                harness.wait_until(lambda: Hook.seen, what="the device to be asked")
                assert Hook.seen[0][0] == "GET" and Hook.seen[0][1].startswith("/relay")
        st, _, body = host.http("GET", "/lyrd/effects")
        assert json.loads(body)["runningEffects"] == []

        mark = len(d.log())
        st, _, body = host.http("POST", "/command", body={"command": "Start Playlist", "args": ["doorbell"]})
        assert st == 200, body
        harness.wait_until(lambda: "Started effect 'sparkle'" in d.log()[mark:], what="the background effect")
        harness.wait_until(lambda: player(host)["status"] == 0, timeout=20, what="the doorbell playlist to end")
        log = d.log()[mark:]
        assert log.index("Started effect 'chime'") < log.index("Started effect 'sparkle'")
        st, _, body = host.http("GET", "/lyrd/effects")
        assert json.loads(body)["runningEffects"] == [], "the last entry stopped the looping effect"
        assert complaints(d, baseline) == []
        assert d.stop() == 0
    finally:
        server.shutdown()


# ---- the web page's endpoints ----------------------------------------------------------------

def test_webpage_examples(host):
    host.start_daemon()
    with open(os.path.join(host.root, "show.lseq"), "wb") as f:
        f.write(lseq_bytes(64, 40, STEP_MS))
    replies = []
    for line in lines("webpage"):
        r = host.exec(shlex.split(line), check=False, timeout=20, cwd=host.root)
        assert r.returncode == 0, (line, r.stderr)
        replies.append(r.stdout)
    assert replies[0].strip() == "302 http://localhost:32322/ui/"
    assert json.loads(replies[1])["Message"] == "Stored show.lseq"
    names = [f["name"] for f in json.loads(replies[2])["folders"]["sequences"]]
    assert names == ["show.lseq"]
    assert json.loads(replies[3])["Status"] == "OK"
    assert 'uploadSizeLimitMB = "4096"' in host.read_file("settings")
    assert any("Uploaded" in l for l in json.loads(replies[4])["lines"])


def test_home_assistant_examples(host, baseline):
    mq = settings_values(example("settings", "mqtt"))
    host.write_file("mosquitto.conf", "listener %s 127.0.0.1\nallow_anonymous true\n" % mq["MQTTPort"])
    host.spawn(["/usr/sbin/mosquitto", "-c", os.path.join(host.media, "mosquitto.conf")])
    show_host(host, "board", "mqtt")
    d = start(host)
    d.wait_for_log("Home Assistant discovery sent", timeout=20)
    sub, *pubs = lines("homeassistant")
    r = host.exec(shlex.split(sub), check=False, timeout=20)
    assert r.returncode in (0, 27), r.stderr  # 27: -W ran out, as it should
    configs = {}
    for l in r.stdout.splitlines():
        topic, _, payload = l.partition(" ")
        configs[topic.split("/")[1] + "/" + topic.split("/")[3]] = json.loads(payload)
    assert configs["select/playlist"]["options"] == ["evening"]
    assert {"button/stop_now", "number/volume", "switch/scheduler", "sensor/next_show"} <= set(configs)
    for line in pubs:
        r = host.exec(shlex.split(line), check=False)
        assert r.returncode == 0, (line, r.stderr)
    harness.wait_until(lambda: status(host)["next_playlist"]["playlist"] == "Scheduler is disabled.", what="scheduler off")
    harness.wait_until(lambda: status(host)["volume"] == 40, what="volume 40")
    assert complaints(d, baseline) == []
    assert d.stop() == 0


def test_securing_examples(net, baseline):
    secure = settings_values(example("settings", "secure"))
    curls = lines("curl-secure")
    address = re.search(r"http://([\d.]+):", curls[0]).group(1)
    host = net.add_host("porch", addresses=[address + "/24"])
    show_host(host, "board", "secure")
    assert secure["APIListenAddress"] == "eth0"
    d = host.start_daemon(["-f"])
    harness.wait_until(lambda: host.exec(["curl", "-s", "-o", "/dev/null", "http://%s:32322/lyrd/status" % address],
                               check=False).returncode == 0, what="the API on eth0")
    for line in curls:
        argv = shlex.split(line, comments=True)
        want = re.search(r"#\s*(\d{3})\s*$", line)
        r = host.exec(argv + ["-w", "\n%{http_code}"], check=False, timeout=20)
        assert r.returncode == 0, (line, r.stderr)
        body, _, code = r.stdout.rpartition("\n")
        assert code == (want.group(1) if want else "200"), (line, r.stdout)
        if line.endswith("/ui/api/auth"):
            assert json.loads(body) == {"required": True, "authorized": False}
    # Listening on eth0 only: loopback is not answered.
    r = host.exec(["curl", "-s", "http://127.0.0.1:32322/lyrd/status"], check=False)
    assert r.returncode == 7  # could not connect
    assert d.stop() == 0


# ---- Art-Net and DDP controllers, remaps ----------------------------------------------------

class ControllerPackets:
    """Art-Net universes and DDP frames arriving at the controllers' addresses."""

    def __init__(self, host):
        import socket as so
        self.art = host.socket(so.AF_INET, so.SOCK_DGRAM)
        self.art.bind(("0.0.0.0", 6454))
        self.ddp = host.socket(so.AF_INET, so.SOCK_DGRAM)
        self.ddp.setsockopt(so.SOL_SOCKET, so.SO_RCVBUF, 8 << 20)
        self.ddp.bind(("0.0.0.0", 4048))
        self.universes = {}  # port address -> data length
        self.syncs = 0
        self.frames = []  # whole DDP frames
        self._buf = bytearray()

    def collect(self, seconds):
        import select
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            r, _, _ = select.select([self.art, self.ddp], [], [], 0.2)
            for s in r:
                p = s.recv(2048)
                if s is self.art and p[:8] == b"Art-Net\0":
                    if p[8:10] == b"\x00\x50":
                        self.universes[p[14] | (p[15] << 8)] = (p[16] << 8) | p[17]
                    elif p[8:10] == b"\x00\x52":
                        self.syncs += 1
                elif s is self.ddp:
                    self._buf += p[10:]
                    if p[0] & 0x01:
                        self.frames.append(bytes(self._buf))
                        self._buf = bytearray()

    def close(self):
        self.art.close()
        self.ddp.close()


def test_controllers_and_remaps(net, baseline):
    outputs = json.loads(example("controllers", "config/co-universes.json"))
    art = outputs["channelOutputs"][0]
    ddp = outputs["channelOutputs"][1]
    art_address = art["universes"][0]["address"]
    prefix = ".".join(art_address.split(".")[:3])
    board = net.add_host("board", addresses=[prefix + ".2/24"])
    ctl = net.add_host("ctl", addresses=[art_address + "/24", ddp["address"] + "/24"])
    rx = ControllerPackets(ctl)
    try:
        show_host(board, "board")
        for name in ("config/co-universes.json", "config/channelremap.json", "playlists/arches.json"):
            board.write_file(name, example("controllers", name))
        playlist = json.loads(example("controllers", "playlists/arches.json"))
        seq = next(e["sequenceName"] for e in playlist["mainPlaylist"] if e["type"] == "sequence")
        top = ddp["startChannel"] + ddp["channelCount"] - 1
        board.write_file("sequences/" + seq, lseq_bytes(top, 1500 // STEP_MS, STEP_MS))
        d = start(board)
        assert "Channel remaps: 2 loaded" in d.log()
        rx.collect(0.3)
        st, _, body = board.http("POST", "/command", body={"command": "Start Playlist", "args": ["arches"]})
        assert st == 200, body
        rx.collect(2.5)
        harness.wait_until(lambda: player(board)["status"] == 0, what="the playlist to end")

        u = art["universes"][0]
        assert rx.universes == {u["id"] + i: u["channelCount"] for i in range(u["universeCount"])}
        assert rx.syncs > 0
        remaps = json.loads(example("controllers", "config/channelremap.json"))["remaps"]
        moving = [f for f in rx.frames if any(f)]
        assert moving and all(len(f) == ddp["channelCount"] for f in moving)
        remaps = {r["name"]: r for r in remaps}
        first = ddp["startChannel"]

        def pattern(n, channel, count):
            """Channels channel.. of frame n of the test sequence (lseq_bytes)."""
            out = bytearray((n + channel - 1 + k) & 0xFF for k in range(count))
            for i in range(max(0, 5 - channel)):
                out[i] = struct.pack(">I", n)[channel - 1 + i]
            return bytes(out)

        def copied(f, r, n):
            dst = r["destination"] - first
            return all(f[dst + i * r["count"]:dst + (i + 1) * r["count"]] == pattern(n, r["source"], r["count"])
                       for i in range(r.get("loops", 1)))

        # The frame number's low byte from the last channel, which no remap touches.
        checked = [(f, (f[-1] - (first + ddp["channelCount"] - 2)) & 0xFF) for f in moving[1:-4]]
        assert checked
        for f, n in checked:
            low = [pattern(m, 1, 4) for m in range(n, 1500 // STEP_MS, 256)]
            dst = remaps["arches"]["destination"] - first
            assert f[dst:dst + 4] in low, "arches: the frame number block"
            assert f[dst + 4:dst + 150] == pattern(n, 5, 146), "arches"
            assert copied(f, remaps["tree-copy"], n), "tree-copy, switched on by the playlist"
        for line in lines("curl-remap"):
            assert curl(board, line)["Message"] == "channel remaps reloaded"
        assert complaints(d, baseline) == []
        assert d.stop() == 0
    finally:
        rx.close()


# ---- recording from a sequencer ----------------------------------------------------------------

def test_recording_from_a_sequencer(net, baseline):
    from test_recording import BOARD, DESK, inputs, lseq_frames, require_input, send_frames
    desk = net.add_host("desk", addresses=[DESK + "/24"])
    board = net.add_host("board", addresses=[BOARD + "/24"])
    board.exec(["ip", "route", "add", "239.0.0.0/8", "dev", "eth0"])  # for the sACN multicast groups
    show_host(board, "board")
    board.write_file("config/ci-universes.json", inputs(1))
    d = start(board)
    require_input(board)
    start_line, status_line, stop_line = lines("recording")
    reply = curl(board, start_line)
    assert reply["Message"] == "Recording carol.lseq" and reply["recording"]["active"], reply
    send_frames(desk, [1], 20, 60, min_gap_ms=60)  # the sequencer plays the show, each frame >= 60 ms
    reply = curl(board, status_line)
    assert reply["active"] and reply["name"] == "carol.lseq" and reply["frames"] > 20, reply
    reply = curl(board, stop_line)
    assert reply["Message"].startswith("Recording carol.lseq saved: "), reply
    with open(os.path.join(board.media, "sequences", "carol.lseq"), "rb") as f:
        data = f.read()
    assert struct.unpack("<H", data[20:22])[0] == 25
    assert b"mf" in data[24:64] and b"carol.ogg\0" in data[24:64]
    counters = [int.from_bytes(fr[0:4], "big") for fr in lseq_frames(data)]
    seen = [k for i, k in enumerate(counters) if k and (i == 0 or counters[i - 1] != k)]
    assert seen == list(range(1, 21)), counters
    assert complaints(d, baseline) == []
