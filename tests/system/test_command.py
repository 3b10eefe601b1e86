"""The text command socket: replies to the character, bursts, bad input."""
import os
import stat
import threading

import pytest

from cmdclient import CommandClient


@pytest.fixture
def client(host):
    host.write_file("config/commandPresets.json", {"commands": [
        {"name": "SHOW_ON", "presetSlot": 3, "commands": [
            {"command": "No Such Command For Test", "args": []}]},
        {"name": "TWO", "commands": [
            {"command": "No Such Command For Test", "args": []},
            {"command": "No Such Command For Test", "args": []}]}]})
    host.daemon = host.start_daemon(["-f", "--log-level", "debug"])
    c = CommandClient(host)
    c.wait_ready()
    yield c
    c.close()
    host.daemon.stop()


def fields(reply):
    assert reply.endswith("\n")
    return reply[:-1].split(",")


class TestReplies:
    def test_socket_and_link(self, host, client):
        path = os.path.join(host.run_dir, "lyrd", "LYRD")
        assert stat.S_ISSOCK(os.stat(path).st_mode)
        # World-writable for the clients' reply sockets, and sticky: no local
        # user can remove or replace the daemon's socket.
        assert stat.S_IMODE(os.stat(os.path.dirname(path)).st_mode) == 0o1777
        assert os.readlink(os.path.join(host.tmp, "LYRD")) == "/run/lyrd/LYRD"

    def test_status_while_idle(self, client):
        f = fields(client.ask("s"))
        assert f[0] == "2" and f[1] == "0"
        assert f[2].isdigit()
        assert f[3] == "No playlist scheduled." and f[4] == ""
        assert len(f) == 5

    def test_stop_gracefully_while_idle(self, client):
        assert client.ask("S") == "0,Not playing,,,,,,,,,,,\n"
        assert client.ask("StopGracefully") == "0,Not playing,,,,,,,,,,,\n"
        assert client.ask("L") == "0,Not playing,,,,,,,,,,,\n"

    def test_stop_now_while_idle(self, client):
        assert client.ask("d") == "2,0,Not playing,,,,,,,,,,\n"

    def test_volume(self, client):
        assert client.ask("v") == "2,0,Invalid Volume,,,,,,,,,,\n"
        assert client.ask("v,") == "2,0,Invalid Volume,,,,,,,,,,\n"
        assert client.ask("v,42") == "2,1,Setting Volume,,,,,,,,,,\n"
        assert fields(client.ask("s"))[2] == "42"
        client.ask("v,250")
        assert fields(client.ask("s"))[2] == "100"

    def test_presets_by_name_and_slot(self, client):
        assert client.ask("t,3") == "2,1,Command Preset Triggered,1,,,,,,,,,\n"
        assert client.ask("t,TWO") == "2,1,Command Preset Triggered,2,,,,,,,,,\n"
        assert client.ask("t,0").startswith("2,")

    def test_reload_schedule(self, client):
        assert client.ask("R") == "2,1,Reloading Schedule,,,,,,,,,,\n"

    def test_log_level(self, client):
        assert client.ask("LogLevel,Schedule,excess") == "2,1,Log Level Updated,Schedule,excess,,,,,,,,,\n"
        assert client.ask("LogLevel,NoSuchLogger,debug") == "2,0,Error Updating Log Level,NoSuchLogger,debug,,,,,,,,,\n"

    def test_uptime(self, client):
        f = fields(client.ask("GetLYRDUptime"))
        assert f[:3] == ["2", "1", "LYRD Uptime"] and f[3].isdigit() and len(f) == 13

    def test_effects_are_refused_cleanly(self, client):
        assert client.ask("e,Nothing,1,0") == "2,0,Invalid Effect,,,,,,,,,,\n"
        assert client.ask("e") == "2,0,Invalid Effect,,,,,,,,,,\n"
        assert client.ask("StopAllEffects") == "2,1,All Effects Stopped,,,,,,,,,,\n"
        assert client.ask("StopEffect,3") == "2,0,Stop Effect Failed,,,,,,,,,,\n"
        assert client.ask("GetRunningEffects") == "2,1,Running Effects"

    def test_playlist_item_skips_while_idle(self, client):
        assert client.ask("NextPlaylistItem") == "2,0,No playlist running\n"
        assert client.ask("PrevPlaylistItem") == "2,0,No playlist running\n"

    def test_start_without_name(self, client):
        assert client.ask("p") == "2,0,Unknown Playlist,,,,,,,,,,\n"

    def test_unknown_command(self, client):
        assert client.ask("frobnicate,1,2") == "Invalid command: 'frobnicate'\n"


class TestBadInput:
    def test_burst_gets_one_reply_each(self, client):
        replies = []
        reader = threading.Thread(target=lambda: replies.extend(client.recv() for _ in range(20)))
        reader.start()
        for i in range(20):
            client.send("v,%d" % i)
        reader.join(15)
        assert len(replies) == 20
        assert all(r == "2,1,Setting Volume,,,,,,,,,,\n" for r in replies)

    def test_largest_datagram(self, client):
        reply = client.ask("x" * 4095)
        assert reply == "Invalid command: '%s'\n" % ("x" * 63)

    def test_binary_bytes(self, client):
        reply = client.ask(bytes(range(1, 256)))
        assert reply.startswith("Invalid command: '")
        assert client.ask("s").startswith("2,0,")

    def test_unknown_mode_does_not_end_the_daemon(self, host, client):
        assert client.ask("SetSetting,lyrMode,conductor") == ""
        assert fields(client.ask("s"))[0] == "2"
        assert host.daemon.running()
        assert "Refusing to set unknown mode 'conductor'" in host.daemon.log()

    def test_short_and_empty_fields(self, client):
        for cmd in (",", "t", "t,", "LogLevel", "SetSetting", "SetSetting,", "StartSequence",
                    "StartSequence,x", "ExtGPIO", "SetupExtGPIO,abc", "SetTestMode", "P,", "p,,"):
            client.send(cmd)
            client.recv()
        assert client.ask("s").startswith("2,0,")


def test_remote_mode_status(host):
    d = host.start_daemon(["-f", "-m", "remote"])
    c = CommandClient(host)
    c.wait_ready()
    f = fields(c.ask("s"))
    assert f[0] == "8" and f[1] == "0" and f[3:] == ["", "", "0", "0"]
    c.close()
    d.stop()


def test_quit_command_stops_the_daemon(host):
    d = host.start_daemon()
    c = CommandClient(host)
    c.wait_ready()
    c.send("q")
    assert d.wait_exit(20) == 0
    assert not os.path.exists(os.path.join(host.run_dir, "lyrd", "LYRD"))
    c.close()


def test_playlist_start_status_and_stop(host):
    host.write_file("playlists/show.json", {"name": "show", "mainPlaylist": [
        {"type": "pause", "duration": 30}]})
    d = host.start_daemon()
    c = CommandClient(host)
    c.wait_ready()
    assert c.ask("P,show") == "2,1,Playlist Started,,,,,,,,,,\n"
    f = fields(c.ask("s"))
    assert f[:2] == ["2", "1"]
    assert f[3:5] == ["show", "pause"]
    assert f[7:9] == ["1", "1"]
    assert 0 <= int(f[9]) <= 30 and 0 <= int(f[10]) <= 30
    assert f[13] == "0"
    assert c.ask("NextPlaylistItem") == "2,1,Skipping to next playlist item\n"
    assert c.ask("d").startswith("2,")
    assert c.ask("p,nosuchplaylist") == "2,0,Error Starting Playlist,,,,,,,,,,\n"
    c.close()
    d.stop()


def test_restart_re_executes_the_daemon(host):
    d = host.start_daemon(["-f", "--log-level", "info"])
    c = CommandClient(host)
    c.wait_ready()
    c.send("restart")
    out = d.wait_for_log("Performing Restart.", timeout=20)
    start = out.index("Performing Restart.")
    d.wait_for_log("Starting main processing loop", timeout=20, start=start)
    assert d.running()  # the same process, re-executed in place
    assert d.stop() == 0
    c.close()
