"""Access control of the HTTP API, its listen address and the command
socket's directory, against daemons in namespace hosts."""

import http.client
import json
import os
import socket
import stat
import time

import pytest

import harness

TOKEN = "k9-Xq2-letmein"


def request(host, method, path, body=None, headers=None, address="127.0.0.1"):
    """(status, headers, body) of one request from inside the host."""
    conn = http.client.HTTPConnection(address, harness.HTTP_PORT, timeout=10)
    conn.sock = host.connect(harness.HTTP_PORT, address, 10)
    if isinstance(body, (dict, list)):
        body = json.dumps(body)
    conn.request(method, path, body=body, headers=headers or {})
    resp = conn.getresponse()
    data = resp.read().decode("utf-8", errors="replace")
    conn.close()
    return resp.status, dict(resp.getheaders()), data


def bearer(token=TOKEN):
    return {"Authorization": "Bearer " + token}


# Every kind of request that changes something: POST, PUT, DELETE, the GET
# command resource and the GETs that act.  Each is harmless to repeat.
WRITES = [
    ("POST", "/command", {"command": "Volume Set", "args": ["30"]}),
    ("GET", "/command/Volume%20Set/31", None),
    ("HEAD", "/command/Volume%20Set/32", None),
    ("POST", "/lyrd/volume/33", None),
    ("GET", "/lyrd/volume?set=34", None),
    ("GET", "/lyrd/lockstepStats?reset=1", None),
    ("POST", "/lyrd/schedule", {"command": "reload"}),
    ("POST", "/lyrd/testing", {"enabled": 0}),
    ("PUT", "/overlays/range/5", {"Value": 9}),
    ("DELETE", "/lyrd/e131stats", None),
    ("POST", "/models", {"models": []}),
    ("PUT", "/ui/api/nosuch", "x"),
    # The page: an upload, a settings change, and reading the settings
    # (they hold the token).
    ("POST", "/ui/api/files/sequences/up.lseq", b"LSEQ-not-really"),
    ("POST", "/ui/api/settings", {"values": {"uploadSizeLimitMB": "4096"}}),
    ("GET", "/ui/api/settings", None),
]

READS = ["/lyrd/status", "/lyrd/version", "/lyrd/lockstepSystems", "/lyrd/lockstepStats", "/player/status",
         "/commands", "/lyrd/volume", "/overlays/models", "/ui/api/auth", "/ui/", "/ui/api/files"]


@pytest.fixture
def pair(net):
    hosts = {}
    for i, name in enumerate(["master", "remote"], start=1):
        h = net.add_host(name, addresses=["10.214.0.%d/24" % i])
        h.exec(["ip", "addr", "del", "10.214.0.%d/24" % i, "dev", "eth0"])
        h.exec(["ip", "addr", "add", "10.214.0.%d/24" % i, "brd", "+", "dev", "eth0"])
        hosts[name] = h
    return hosts


def test_writes_need_the_token_reads_and_a_remote_do_not(pair):
    master, remote = pair["master"], pair["remote"]
    d = master.start_daemon(settings={"HostName": "master", "LockstepEnabled": "1", "APIToken": TOKEN})
    master.wait_http()
    remote.start_daemon(settings={"HostName": "remote", "lyrMode": "remote"})
    remote.wait_http()

    for method, path, body in WRITES:
        st, hdr, text = request(master, method, path, body)
        assert st == 401, (method, path, st, text)
        assert hdr.get("WWW-Authenticate") == 'Bearer realm="lyrd"'
    # Nothing of it happened.
    assert master.http_json("GET", "/lyrd/volume")[1]["volume"] not in (30, 31, 32, 33, 34)
    assert not os.path.exists(os.path.join(master.media, "sequences", "up.lseq"))
    assert "4096" not in master.read_file("settings")

    for method, path, body in WRITES:
        st, _, text = request(master, method, path, body, bearer())
        assert st not in (401, 429), (method, path, st, text)
    assert master.http_json("GET", "/lyrd/volume")[1]["volume"] == 34
    assert os.path.exists(os.path.join(master.media, "sequences", "up.lseq"))
    assert 'uploadSizeLimitMB = "4096"' in master.read_file("settings")

    for path in READS:
        st, _, text = request(master, "GET", path)
        assert st == 200, (path, st, text)
    st, _, text = request(master, "GET", "/ui/api/auth")
    assert json.loads(text) == {"required": True, "authorized": False}

    # The boards still find each other, and the remote reads the master's
    # status and system list without a token.
    assert harness.poll(lambda: "remote" in [s["hostname"] for s in
                                         json.loads(request(master, "GET", "/lyrd/lockstepSystems")[2])["systems"]])
    for path in ("/lyrd/status", "/lyrd/lockstepSystems"):
        st, _, _ = request(remote, "GET", path, address="10.214.0.1")
        assert st == 200
    st, _, _ = request(remote, "POST", "/command", {"command": "Stop Now"}, address="10.214.0.1")
    assert st == 401

    # The page's login: the cookie it sets opens writes.
    st, hdr, _ = request(master, "POST", "/ui/api/login", {"token": TOKEN})
    assert st == 200
    cookie = hdr["Set-Cookie"]
    assert cookie.startswith("lyrdToken=") and "HttpOnly" in cookie and "SameSite=Strict" in cookie
    assert "Path=/" in cookie
    sent = {"Cookie": cookie.split(";")[0]}
    assert json.loads(request(master, "GET", "/ui/api/auth", headers=sent)[2])["authorized"] is True
    assert request(master, "POST", "/command", {"command": "Volume Set", "args": ["40"]}, sent)[0] == 200

    # A wrong token: 401, then that address waits 3 s (429 at once, even
    # with the right token); another address is not held up.
    st, _, _ = request(master, "POST", "/command", {"command": "Stop Now"}, bearer("guess"))
    wrong_at = time.monotonic()
    assert st == 401
    st, hdr, _ = request(master, "POST", "/command", {"command": "Stop Now"}, bearer())
    if time.monotonic() - wrong_at < 2.5:
        assert st == 429
        assert 1 <= int(hdr["Retry-After"]) <= 3
    st, _, _ = request(remote, "POST", "/command", {"command": "Stop Now"}, bearer(), address="10.214.0.1")
    assert st == 200
    assert request(master, "GET", "/lyrd/status")[0] == 200
    time.sleep(max(0.0, wrong_at + 3.2 - time.monotonic()))
    st, _, _ = request(master, "POST", "/command", {"command": "Stop Now"}, bearer())
    assert st == 200
    d.wait_for_log("wrong access token; that address waits 3 s")

    # Shutting down is a write like any other.
    assert request(master, "POST", "/lyrd/shutdown")[0] == 401
    assert d.running()
    assert request(master, "POST", "/lyrd/shutdown", headers=bearer())[0] == 200
    assert d.wait_exit() == 0


def refused(host, address):
    try:
        request(host, "GET", "/lyrd/status", address=address)
    except ConnectionRefusedError:
        return True
    return False


def test_listen_address_and_interface_are_honoured(net):
    h = net.add_host("solo", addresses=["10.215.0.1/24"])
    # One address: that address answers, loopback does not.  No token: the
    # API is open as before, and says so.
    d = h.start_daemon(settings={"APIListenAddress": "10.215.0.1"})
    assert harness.poll(lambda: request(h, "GET", "/lyrd/status", address="10.215.0.1")[0] == 200)
    assert refused(h, "127.0.0.1")
    assert json.loads(request(h, "GET", "/ui/api/auth", address="10.215.0.1")[2]) == {
        "required": False, "authorized": True}
    assert request(h, "POST", "/command", {"command": "Volume Set", "args": ["20"]}, address="10.215.0.1")[0] == 200
    d.stop()

    # An interface: its address answers, loopback does not.
    d = h.start_daemon(settings={"APIListenAddress": "eth0"})
    assert harness.poll(lambda: request(h, "GET", "/lyrd/status", address="10.215.0.1")[0] == 200)
    assert refused(h, "127.0.0.1")
    d.stop()

    # A name that is neither: loopback only, and the log says why.
    d = h.start_daemon(settings={"APIListenAddress": "eht0"})
    assert harness.poll(lambda: request(h, "GET", "/lyrd/status")[0] == 200)
    assert refused(h, "10.215.0.1")
    d.wait_for_log("listening on 127.0.0.1 only")
    d.stop()


def test_command_socket_directory_is_fixed_or_refused(host):
    run_dir = os.path.join(host.run_dir, "lyrd")
    os.makedirs(run_dir)
    os.chmod(run_dir, 0o777)  # world-writable, not sticky: anyone could replace the socket
    d = host.start_daemon()
    d.wait_for_log("fixed (mode 1777")
    assert stat.S_IMODE(os.stat(run_dir).st_mode) == 0o1777
    sock = os.path.join(run_dir, "LYRD")
    assert stat.S_ISSOCK(os.lstat(sock).st_mode)
    d.wait_for_log("Command socket /run/lyrd/LYRD: local only")
    d.stop()

    # A directory that is a link elsewhere is refused.
    for name in os.listdir(run_dir):
        os.unlink(os.path.join(run_dir, name))
    os.rmdir(run_dir)
    elsewhere = os.path.join(host.run_dir, "elsewhere")
    os.makedirs(elsewhere)
    os.symlink(elsewhere, run_dir)
    d = host.start_daemon(wait=False)
    assert d.wait_exit() == 1
    assert "is a symbolic link; refusing to use it" in d.log()
