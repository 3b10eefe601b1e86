"""Start-up, command line, runtime information file and orderly stop."""
import json
import os
import signal

import pytest

USAGE = """Usage: {0} [OPTION...]

lyrd is the Tamrin Player daemon.

Options:
  -f, --foreground              - Don't daemonize the application.  In the
                                  foreground, all logging will be on the
                                  console instead of the log file
  -d, --daemonize               - Daemonize even if the config file says not to.
  -v, --volume VOLUME           - Set a volume (over-written by config file)
  -m, --mode MODE               - Set the mode: "player", "bridge",
                                  "master", or "remote"
  -l, --log-file FILENAME       - Set the log file
  -H  --detect-hardware         - Detect Tamrin hardware on SPI port
  -C  --configure-hardware      - Configured detected Tamrin hardware on SPI
  -h, --help                    - This menu.
      --log-level LEVEL         - Set the global log output level (all loggers):
                                  "info", "warn", "debug", "excess")
      --log-level LEVEL:logger  - Set the loger level for one or more loggers.
                                  each level should be spereated by semicolon
                                  with one or more loggers seperated by comma
                                  example: debug:schedule,player;excess:mqtt 
                                  valid loggers are: 
                                    ChannelData - channel data itself
                                    ChannelOut  - channel output code
                                    Command     - command processing
                                    Control     - Control socket debugging
                                    E131Bridge  - E1.31 bridge
                                    Effect      - Effects sequences
                                    General     - general messages
                                    GPIO        - GPIO Input handling
                                    HTTP        - HTTP API requests
                                    MediaOut    - Media file handling
                                    Playlist    - Playlist handling
                                    Plugin      - Plugin handling
                                    Schedule    - Playlist scheduling
                                    Sequence    - Sequence parsing
                                    Setting     - Settings parsing
                                    Sync        - Player/Remote Synchronization
                                  The default logging is read from settings
"""


def lyrd_path(host):
    return os.path.join(host.install, "src", "lyrd")


class TestCommandLine:
    def test_help_prints_usage_verbatim(self, host):
        r = host.run_lyrd(["-h"])
        assert r.returncode == 0
        assert r.stdout.endswith(USAGE.format(lyrd_path(host)))

    def test_unknown_option_prints_usage_and_fails(self, host):
        r = host.run_lyrd(["--no-such-option"])
        assert r.returncode == 1
        assert USAGE.format(lyrd_path(host)) in r.stdout

    def test_detect_piface_is_not_handled(self, host):
        r = host.run_lyrd(["--detect-piface"])
        assert r.returncode == 1
        assert "Usage:" in r.stdout

    def test_bridge_mode_is_refused(self, host):
        r = host.run_lyrd(["-f", "-m", "bridge"])
        assert r.returncode == 1
        assert "Error parsing mode\n" in r.stderr

    def test_log_level_option_prints_levels(self, host):
        d = host.start_daemon(["-f", "--log-level", "debug:Schedule,Playlist"])
        out = d.log()
        assert "debug:" in out and "Schedule" in out
        assert "Log Level set to 4 (debug:Schedule,Playlist)" in out
        assert d.stop() == 0


class TestStartAndStop:
    def test_sigterm_stops_in_order(self, host):
        d = host.start_daemon()
        assert d.stop() == 0
        out = d.log()
        assert "Shutting down main loop." in out
        assert "Main Loop complete, shutting down." in out
        assert out.index("Stopping channel output thread.") < out.index("Main Loop complete")

    def test_sigint_stops_too(self, host):
        d = host.start_daemon()
        d.signal(signal.SIGINT)
        assert d.wait_exit() == 0

    def test_creates_standard_media_folders(self, host):
        d = host.start_daemon()
        for folder in ("playlists", "sequences", "music", "videos", "config", "logs", "tmp", "scripts"):
            assert os.path.isdir(os.path.join(host.media, folder)), folder
        d.stop()

    def test_lyrd_stopped_preset_runs(self, host):
        # A preset that cannot succeed still shows in the log that it ran.
        host.write_file("config/commandPresets.json", {"commands": [
            {"name": "LYRD_STOPPED", "commands": [{"command": "No Such Command For Test", "args": []}]}]})
        d = host.start_daemon(["-f", "--log-level", "debug"])
        d.stop()
        assert "No Such Command For Test" in d.log()

    def test_restart_marker_is_removed(self, host):
        host.write_file("tmp/lyrd_restarted", "")
        d = host.start_daemon(["-f", "--log-level", "debug"])
        assert not os.path.exists(os.path.join(host.media, "tmp", "lyrd_restarted"))
        d.stop()


class TestBadInput:
    def test_garbage_settings_file_falls_back_to_defaults(self, host):
        host.write_file("settings", b"\x00\xff\xfe garbage\nno equals sign here\n=\n \n" + os.urandom(200))
        d = host.start_daemon()
        assert d.stop() == 0

    def test_missing_settings_description(self, host):
        os.unlink(os.path.join(host.install, "www", "settings.json"))
        d = host.start_daemon()
        assert d.stop() == 0

    def test_unparsable_settings_description(self, host):
        with open(os.path.join(host.install, "www", "settings.json"), "w") as f:
            f.write("{ not json")
        d = host.start_daemon()
        assert d.stop() == 0

    def test_unparsable_presets(self, host):
        host.write_file("config/commandPresets.json", "{ nope")
        d = host.start_daemon()
        assert d.stop() == 0

    def test_unknown_mode_in_settings_ends_start_up(self, host):
        host.write_settings({"lyrMode": "conductor"})
        d = host.start_daemon(wait=False)
        assert d.wait_exit() == 1


class TestSettingsUpgrade:
    def test_master_mode_is_rewritten(self, host):
        host.write_file("settings", 'HostName = "show1"\n\nlyrMode = "master"\n\nLockstepEnabled = "0"\nVolume = "70"\n')
        d = host.start_daemon()
        d.stop()
        text = host.read_file("settings")
        assert text == 'HostName = "show1"\nlyrMode = "player"\nLockstepEnabled = "1"\nVolume = "70"\n'

    def test_master_mode_appends_lockstep_line(self, host):
        host.write_file("settings", 'lyrMode = "master"\nHostName = "show1"\n')
        os.chmod(os.path.join(host.media, "settings"), 0o640)
        d = host.start_daemon()
        d.stop()
        assert host.read_file("settings") == 'lyrMode = "player"\nHostName = "show1"\nLockstepEnabled = "1"\n'
        assert os.stat(os.path.join(host.media, "settings")).st_mode & 0o777 == 0o640


class TestRuntimeInfo:
    def test_absent_with_only_loopback(self, host):
        host.write_file("lyr-info.json", "{}")
        d = host.start_daemon()
        assert not os.path.exists(os.path.join(host.media, "lyr-info.json"))
        assert "as no IP addresses found" in d.log()
        d.stop()

    def test_lists_every_address(self, net):
        h = net.add_host("b", addresses=["10.200.7.1/24", "10.200.8.1/24"])
        d = h.start_daemon()
        with open(os.path.join(h.media, "lyr-info.json")) as f:
            info = json.load(f)
        assert info["addresses"] == "10.200.7.1,10.200.8.1"
        assert "address" not in info
        d.stop()
