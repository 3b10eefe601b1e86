"""Recording live channel input into sequences: the commands and HTTP
resource, a recording cut short by a full disk, and the round trip from an
outside sACN sender through a recording and a playlist to an E1.31 receiver."""
import json
import os

import pytest


@pytest.fixture
def daemon(host):
    d = host.start_daemon(["-f", "--log-level", "info"])
    host.wait_http()
    yield d
    d.stop()


def test_commands_check_arguments_without_input(host, daemon):
    st, body = host.http_json("GET", "/commands/Start Recording".replace(" ", "%20"))
    assert st == 200
    assert [a["name"] for a in body["args"]] == ["name", "interval", "media"]
    assert [a["optional"] for a in body["args"]] == [False, True, True]
    assert body["args"][1]["default"] == "25"

    st, _, text = host.http("POST", "/command", body={"command": "Start Recording", "args": []})
    assert (st, text) == (400, "Start Recording needs a sequence name")
    st, _, text = host.http("POST", "/command", body={"command": "Start Recording", "args": ["show", "5"]})
    assert st == 400 and text.startswith("Frame interval must be"), text
    st, _, text = host.http("POST", "/command", body={"command": "Start Recording", "args": ["../x"]})
    assert st == 400 and "plain file name" in text, text
    st, _, text = host.http("POST", "/command", body={"command": "Start Recording", "args": ["show"]})
    assert (st, text) == (400, "No channel input is configured: nothing to record")
    st, _, text = host.http("GET", "/command/Stop%20Recording")
    assert (st, text) == (400, "No recording is running")

    st, body = host.http_json("POST", "/recording/start", body={"name": "show", "interval": 40})
    assert st == 400 and body["Status"] == "ERROR", body
    assert body["Message"] == "No channel input is configured: nothing to record"
    assert body["recording"]["active"] is False
    st, body = host.http_json("POST", "/recording/start", body="[1]")
    assert st == 400, body
    st, _, _ = host.http("POST", "/recording/start", body="{")
    assert st == 400
    assert host.http("POST", "/recording/nosuch")[0] == 404
    st, body = host.http_json("GET", "/recording")
    assert st == 200 and body["active"] is False and body["name"] == ""
    st, body = host.http_json("GET", "/lyrd/status")
    assert body["recording"] == {"active": False, "name": "", "frames": 0, "seconds": 0.0, "intervalMS": 0,
                                 "channels": 0, "mediaFile": "", "error": ""}
    assert not [n for n in os.listdir(os.path.join(host.media, "sequences"))]
