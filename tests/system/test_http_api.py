"""The HTTP control API of a running daemon: routing, result documents, read and write endpoints."""
import json
import time

import pytest


@pytest.fixture
def api(host):
    d = host.start_daemon()
    host.wait_http()
    yield host
    d.stop()


def get_json(host, path):
    st, ctype, body = host.http("GET", path)
    return st, ctype, json.loads(body)


class TestRouting:
    def test_unknown_endpoint_is_404_with_exact_message(self, api):
        st, ctype, doc = get_json(api, "/lyrd/nosuch")
        assert st == 404
        assert ctype == "application/json"
        assert doc == {"Status": "ERROR", "respCode": 404, "Message": "endpoint lyrd/nosuch does not exist"}

    def test_unparsable_post_body_is_400_text(self, api):
        st, ctype, body = api.http("POST", "/lyrd/outputs", body="{")
        assert (st, ctype, body) == (400, "text/plain", "Error parsing POST content")

    def test_get_without_result_is_200_carrying_400(self, api):
        st, _, doc = get_json(api, "/lyrd/sequence")
        assert st == 200
        assert doc["respCode"] == 400
        assert doc["Message"] == "GET endpoint helper did not set result JSON"

    def test_post_without_result_is_400(self, api):
        st, ctype, body = api.http("POST", "/lyrd/restart")
        assert st == 400 and ctype == "application/json"
        assert json.loads(body)["Message"] == "POST endpoint helper did not set result JSON"

    def test_put_and_delete_answer_text_plain(self, api):
        st, ctype, body = api.http("PUT", "/lyrd/playlists/show/settings", body="{}")
        assert st == 400 and ctype == "text/plain"
        assert json.loads(body)["Message"] == "PUT endpoint helper did not set result JSON"
        st, ctype, body = api.http("DELETE", "/lyrd/e131stats")
        assert (st, ctype) == (200, "text/plain")
        assert json.loads(body)["Message"] == "Stats Cleared"

    def test_unregistered_path_is_404(self, api):
        st, _, body = api.http("GET", "/nowhere/at/all")
        assert (st, body) == (404, "Not Found")


class TestStatus:
    def test_idle_status_document(self, api):
        st, ctype, doc = get_json(api, "/lyrd/status")
        assert st == 200 and ctype == "application/json"
        assert "Status" not in doc and "respCode" not in doc
        assert doc["lyrd"] == "running"
        assert doc["mode"] == 2 and doc["mode_name"] == "player"
        assert doc["status"] == 0 and doc["status_name"] == "idle"
        assert doc["repeat_mode"] == "0"
        assert doc["current_playlist"] == {"playlist": "", "description": "", "type": "", "index": "0",
                                           "count": "0"}
        assert doc["time_elapsed"] == "00:00" and doc["seconds_played"] == "0"
        assert doc["MQTT"] == {"configured": False, "connected": False}
        assert isinstance(doc["warnings"], list)
        assert set(doc["next_playlist"]) == {"playlist", "start_time"}
        assert doc["uptimeStr"].endswith(" seconds")

    def test_remote_mode_idle_keeps_defaults(self, host):
        d = host.start_daemon(settings={"lyrMode": "remote"})
        host.wait_http()
        _, _, doc = get_json(host, "/lyrd/status")
        assert doc["mode_name"] == "remote"
        assert doc["status"] == 0
        assert doc["current_sequence"] == "" and doc["current_song"] == ""
        assert doc["seconds_played"] == "0" and doc["time_remaining"] == "00:00"
        assert "scheduler" not in doc and "repeat_mode" not in doc
        d.stop()


class TestWrites:
    def test_volume_set_by_post_and_read_back(self, api):
        st, _, body = api.http("POST", "/lyrd/volume/75")
        assert st == 200
        doc = json.loads(body)
        assert doc["Message"] == "Volume set" and doc["volume"] == 75
        assert api.http("GET", "/lyrd/volume?simple=true")[1:] == ("text/plain", "75")
        assert get_json(api, "/lyrd/status")[2]["volume"] == 75

    def test_bad_numbers_answer_400_and_the_server_keeps_working(self, api):
        for method, path in [("POST", "/lyrd/volume/abc"), ("POST", "/lyrd/volume/"),
                             ("POST", "/lyrd/volume/99999999999999"), ("GET", "/lyrd/volume?set=x"),
                             ("POST", "/lyrd/sequences/s.lseq/step/zz"), ("POST", "/lyrd/playlists/p/item/q")]:
            st, _, body = api.http(method, path)
            assert st == 400, path
            assert json.loads(body)["Status"] == "ERROR"
        # every worker is still alive
        for _ in range(10):
            assert api.http("GET", "/lyrd/status")[0] == 200

    def test_outputs_command_missing(self, api):
        st, _, body = api.http("POST", "/lyrd/outputs", body={})
        assert st == 400
        assert json.loads(body)["Message"] == "'command' field not specified"
        st, _, body = api.http("POST", "/lyrd/outputs", body={"command": "enable"})
        assert st == 200 and json.loads(body)["Message"] == "channel output enabled"

    def test_log_level_change_is_reported(self, api):
        st, _, body = api.http("POST", "/lyrd/log/level/debug:HTTP")
        assert st == 200 and json.loads(body)["Message"] == "Log Level Updated"
        assert get_json(api, "/lyrd/log")[2]["log"]["HTTP"] == "debug"
        st, _, body = api.http("POST", "/lyrd/log/level/nonsense:nowhere")
        assert st == 400

    def test_shutdown_answers_then_daemon_exits(self, host):
        d = host.start_daemon()
        host.wait_http()
        st, _, body = host.http("POST", "/lyrd/shutdown")
        assert st == 200
        assert json.loads(body) == {"Status": "OK", "respCode": 200, "Message": "Shutting down lyrd"}
        assert d.wait_exit(15) == 0


class TestPlaying:
    def test_status_and_read_endpoints_while_a_playlist_plays(self, host):
        host.write_file("playlists/Evening Show.json", {
            "name": "Evening Show", "desc": "Front yard", "repeat": 0, "loopCount": 0, "leadIn": [],
            "mainPlaylist": [{"type": "pause", "duration": 30, "enabled": 1, "playOnce": 0}], "leadOut": []})
        d = host.start_daemon()
        host.wait_http()
        st, _, text = host.http("POST", "/command", body={"command": "Start Playlist", "args": ["Evening Show"]})
        assert st == 200, text
        deadline = time.monotonic() + 10
        while True:
            doc = get_json(host, "/lyrd/status")[2]
            if doc["status"] == 1 and int(doc["seconds_played"]) >= 1:
                break
            assert time.monotonic() < deadline, doc
            time.sleep(0.2)
        assert doc["status_name"] == "playing"
        cp = doc["current_playlist"]
        assert (cp["playlist"], cp["description"], cp["type"], cp["count"]) == ("Evening Show", "Front yard",
                                                                                 "pause", "1")
        assert int(doc["seconds_played"]) + int(doc["seconds_remaining"]) in (29, 30)
        assert doc["time_remaining"] == "00:%02d" % int(doc["seconds_remaining"])
        assert "scheduler" in doc and doc["repeat_mode"] == 0
        assert get_json(host, "/lyrd/playlists")[2]["playlists"] == ["Evening Show"]
        assert get_json(host, "/lyrd/playlist/filetime")[2]["fileTime"] > 0
        assert get_json(host, "/lyrd/playlist/config")[2]["currentEntry"]["type"] == "pause"
        host.http("POST", "/command", body={"command": "Stop Now", "args": []})
        deadline = time.monotonic() + 10
        while get_json(host, "/lyrd/status")[2]["status"] != 0:
            assert time.monotonic() < deadline
            time.sleep(0.2)
        assert get_json(host, "/lyrd/playlists")[2]["playlists"] == []
        d.stop()
