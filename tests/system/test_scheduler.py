"""A schedule starts a real playlist a few seconds ahead, survives a
broken edit and an extension while it plays, and stops it gracefully at its
(extended) end time, all seen through /lyrd/status."""

import json
import time

import pytest

PLAYLIST = {"name": "Evening Show", "desc": "", "repeat": 0, "loopCount": 0, "leadIn": [],
            "mainPlaylist": [{"type": "pause", "duration": 2, "enabled": 1, "playOnce": 0}], "leadOut": []}


def status(host):
    st, _, body = host.http("GET", "/lyrd/status")
    assert st == 200, body
    return json.loads(body)


def wait_for(host, pred, until, what):
    while True:
        doc = status(host)
        if pred(doc):
            return doc
        assert time.time() < until, "%s; last status: %s" % (what, json.dumps(doc.get("scheduler")))
        time.sleep(0.2)


def hms(t):
    return time.strftime("%H:%M:%S", time.gmtime(t))


def entry(start, end):
    return {"playlist": "Evening Show", "day": 7, "startTime": hms(start), "endTime": hms(end),
            "repeat": True, "stopType": 0}


def test_schedule_starts_and_gracefully_stops_a_playlist(host):
    # Far enough ahead for the daemon to start and list it as the next show.
    start = int(time.time()) + 10
    end = start + 12
    if hms(start) > hms(end + 5):
        pytest.skip("the schedule window would cross midnight")
    host.write_file("playlists/Evening Show.json", PLAYLIST)
    host.write_file("config/schedule.json", [entry(start, end)])
    d = host.start_daemon(env={"TZ": "UTC"})
    host.wait_http()

    doc = status(host)
    sch = doc["scheduler"]
    assert sch["status"] == "idle" and sch["enabled"] == 1
    assert sch["nextPlaylist"]["playlistName"] == "Evening Show"
    st, _, body = host.http("GET", "/lyrd/schedule")
    items = json.loads(body)["schedule"]["items"]
    assert any(i["startTime"] == start and i["endTime"] == end for i in items), items

    doc = wait_for(host, lambda s: s["scheduler"]["status"] == "playing", start + 5, "did not start")
    assert time.time() >= start - 1
    cur = doc["scheduler"]["currentPlaylist"]
    assert cur["playlistName"] == "Evening Show"
    assert (cur["scheduledStartTime"], cur["scheduledEndTime"]) == (start, end)

    # A broken edit while it plays: logged, the show goes on, nothing crashes.
    host.write_file("config/schedule.json", '[{"playlist": "Evening Show", ')
    st, _, body = host.http("POST", "/lyrd/schedule", body={"command": "reload"})
    assert st == 200, body
    time.sleep(1.5)
    assert d.running() and status(host)["scheduler"]["status"] == "playing"
    host.write_file("config/schedule.json", [entry(start, end)])
    host.http("POST", "/lyrd/schedule", body={"command": "reload"})

    st, _, body = host.http("POST", "/command", body={"command": "Extend Schedule", "args": ["5"]})
    assert st == 200 and "Schedule Updated" in body, body
    cur = status(host)["scheduler"]["currentPlaylist"]
    assert (cur["scheduledEndTime"], cur["actualEndTime"]) == (end, end + 5)

    wait_for(host, lambda s: s["status"] == 0, end + 5 + 8, "did not stop")
    assert time.time() >= end + 5
    time.sleep(2)
    assert status(host)["status"] == 0  # its window is over: not started again
    log = d.log()
    assert "will switch to 'Stopping Gracefully'" in log
    assert "Error parsing JSON" in log
    assert log.count("Starting repeating playlist 'Evening Show' with scheduled 'Graceful Stop'") == 1
    d.stop()


def test_restart_resumes_a_scheduled_playlist_at_its_entry(host):
    """A restart while the scheduler's playlist plays re-executes the daemon
    with the playlist and the current entry, and the new process carries on
    from that entry instead of the top."""
    pauses = [{"type": "pause", "duration": 3, "enabled": 1, "playOnce": 0} for _ in range(8)]
    host.write_file("playlists/Evening Show.json", dict(PLAYLIST, mainPlaylist=pauses))
    now = time.time()
    if hms(now - 60) > hms(now + 120):
        pytest.skip("the schedule window would cross midnight")
    host.write_file("config/schedule.json", [entry(now - 60, now + 120)])
    d = host.start_daemon(["-f", "--log-level", "info"], env={"TZ": "UTC"})
    host.wait_http()

    def position():
        st, _, body = host.http("GET", "/player/status")
        return json.loads(body)["playlists"][0]["position"] if st == 200 else -1

    deadline = time.time() + 20
    while position() != 3:
        assert time.time() < deadline, "the scheduled playlist never reached its third entry"
        time.sleep(0.1)
    from cmdclient import CommandClient
    c = CommandClient(host)
    c.send("restart")
    out = d.wait_for_log("Performing Restart.", timeout=20)
    d.wait_for_log("Starting main processing loop", timeout=20, start=out.index("Performing Restart."))
    with open("/proc/%d/cmdline" % d.pid) as f:
        argv = f.read().split("\0")
    assert argv[argv.index("-p"):argv.index("-p") + 4] == ["-p", "Evening Show", "-P", "2"], argv
    assert "-r" in argv
    host.wait_http()
    deadline = time.time() + 10
    while position() != 3:
        assert time.time() < deadline, "after the restart the playlist is at %d, not 3" % position()
        time.sleep(0.1)
    c.close()
    assert d.stop() == 0
