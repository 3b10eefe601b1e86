"""Home Assistant MQTT discovery against a real broker, with a client that
acts as Home Assistant does: it sends its birth message, reads every config,
checks what Home Assistant requires of each component, renders the
templates with Jinja2 and drives the entities through their command topics."""

import itertools
import json
import os
import threading
import time

import pytest

import harness

mqtt = pytest.importorskip("paho.mqtt.client")
jinja2 = pytest.importorskip("jinja2")

PORT = 18840
BASE = "t/lyrd/box"
REQUIRED = {
    "select": ["command_topic", "options"],
    "button": ["command_topic"],
    "number": ["command_topic"],
    "sensor": ["state_topic"],
    "binary_sensor": ["state_topic"],
    "switch": ["command_topic"],
}
_ids = itertools.count(1)


class FakeHomeAssistant:
    """Subscribes to discovery and to the board's topics; remembers the last
    payload of each topic and every config message in order."""

    def __init__(self, host, prefix="homeassistant"):
        self.prefix = prefix
        self.lock = threading.Lock()
        self.topics = {}
        self.config_log = []
        self.client = mqtt.Client(client_id="ha-%d" % next(_ids))
        self.client.on_message = self._on_message
        # Connect from inside the host's namespace; the socket stays there.
        harness.in_namespace(host.netns, lambda: self.client.connect("127.0.0.1", PORT, 30))
        self.client.subscribe([(prefix + "/#", 1), (BASE + "/#", 1)])
        self.client.loop_start()

    def _on_message(self, client, userdata, msg):
        payload = msg.payload.decode(errors="replace")
        with self.lock:
            self.topics[msg.topic] = payload
            if msg.topic.endswith("/config"):
                self.config_log.append((msg.topic, payload))

    def birth(self):
        self.client.publish(self.prefix + "/status", "online", qos=1)

    def configs(self):
        """Live configs by (component, object id), "~" expanded."""
        out = {}
        with self.lock:
            items = list(self.topics.items())
        for topic, payload in items:
            parts = topic.split("/")
            if len(parts) != 5 or parts[0] != self.prefix or parts[4] != "config" or not payload:
                continue
            c = json.loads(payload)
            base = c.get("~", "")
            for k, v in list(c.items()):
                if isinstance(v, str) and k.endswith("_topic"):
                    c[k] = base + v[1:] if v.startswith("~") else v
            out[(parts[1], parts[3])] = c
        return out

    def state(self, config, template_key="value_template"):
        with self.lock:
            value = self.topics.get(config["state_topic"])
        if value is not None and template_key in config:
            value = jinja2.Template(config[template_key]).render(value=value)
        return value

    def press(self, config, payload="PRESS"):
        self.client.publish(config["command_topic"], payload, qos=1)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def player(host):
    return host.http_json("GET", "/player/status")[1]["playlists"][0]


def test_discovery_entities_follow_the_show(host):
    host.write_file("mosquitto.conf", "listener %d 127.0.0.1\nallow_anonymous true\n" % PORT)
    host.spawn(["/usr/sbin/mosquitto", "-c", os.path.join(host.media, "mosquitto.conf")])
    pauses = [{"type": "pause", "duration": 40}, {"type": "pause", "duration": 40}]
    host.write_file("playlists/evening.json", {"name": "evening", "mainPlaylist": pauses})
    host.write_file("playlists/morning.json", {"name": "morning", "mainPlaylist": pauses})
    settings = {"MQTTHost": "127.0.0.1", "MQTTPort": str(PORT), "MQTTPrefix": "t", "HostName": "box"}
    d = host.start_daemon(settings=settings)
    d.wait_for_log("MQTT connected")
    ha = harness.poll(lambda: _try(lambda: FakeHomeAssistant(host)))
    assert ha
    ha.birth()

    # Every entity, each with what its component needs, on one device.
    assert harness.poll(lambda: len(ha.configs()) == 13), sorted(ha.configs())
    configs = ha.configs()
    devices = set()
    for (component, obj), c in configs.items():
        for key in REQUIRED[component]:
            assert key in c, (component, obj, key)
        assert c["unique_id"] and c["availability_topic"] == BASE + "/availability"
        devices.add(json.dumps(c["device"], sort_keys=True))
    assert len(devices) == 1
    dev = configs[("button", "next")]["device"]
    assert dev["name"] == "box" and dev["identifiers"] and dev["sw_version"]
    assert dev["configuration_url"].startswith("http://") and dev["configuration_url"].endswith(":32322/ui/")
    select = configs[("select", "playlist")]
    assert select["options"] == ["evening", "morning"]
    assert harness.poll(lambda: ha.topics.get(BASE + "/availability") == "online")
    assert harness.poll(lambda: ha.state(configs[("binary_sensor", "playing")]) == "OFF")
    assert harness.poll(lambda: ha.state(configs[("switch", "scheduler")]) == "ON")

    # The select starts a playlist; status, playing and the select follow.
    ha.press(select, "evening")
    assert harness.poll(lambda: ha.state(select) == "evening")
    assert harness.poll(lambda: ha.state(configs[("sensor", "status")]) == "playing")
    assert ha.state(configs[("binary_sensor", "playing")]) == "ON"
    assert harness.poll(lambda: 0 < int(ha.state(configs[("sensor", "time_remaining")]) or 0) <= 40)

    # Next and previous move through the entries.
    ha.press(configs[("button", "next")])
    assert harness.poll(lambda: player(host)["position"] == 2)
    ha.press(configs[("button", "previous")])
    assert harness.poll(lambda: player(host)["position"] == 1)

    # The number sets the volume (Home Assistant sends "35.0" or "35").
    ha.press(configs[("number", "volume")], "35.0")
    assert harness.poll(lambda: ha.state(configs[("number", "volume")]) == "35")
    assert host.http_json("GET", "/lyrd/volume")[1]["volume"] == 35

    # The switch turns the scheduler off and on.
    sched = configs[("switch", "scheduler")]
    ha.press(sched, "OFF")
    assert harness.poll(lambda: ha.state(sched) == "OFF")
    assert harness.poll(lambda: "disabled" in (ha.state(configs[("sensor", "next_show")]) or ""))
    ha.press(sched, "ON")
    assert harness.poll(lambda: ha.state(sched) == "ON")

    # Stop gracefully, then stop now.
    ha.press(configs[("button", "stop_gracefully")])
    assert harness.poll(lambda: player(host)["status"] == 2)
    ha.press(configs[("button", "stop_now")])
    assert harness.poll(lambda: ha.state(configs[("sensor", "status")]) == "idle")
    assert ha.state(configs[("binary_sensor", "playing")]) == "OFF"

    # A deleted playlist leaves the options; no playlist left removes the select.
    os.unlink(os.path.join(host.media, "playlists", "morning.json"))
    assert harness.poll(lambda: ha.configs().get(("select", "playlist"), {}).get("options") == ["evening"])
    os.unlink(os.path.join(host.media, "playlists", "evening.json"))
    assert harness.poll(lambda: ("select", "playlist") not in ha.configs())
    assert ha.topics[harness_topic("select", "playlist", select)] == ""

    # Home Assistant restarts: a new client, a new birth message, the
    # configs again (the retained ones arrive at once; the board resends).
    ha.close()
    ha2 = FakeHomeAssistant(host)
    assert harness.poll(lambda: len(ha2.configs()) == 12)
    with ha2.lock:
        ha2.config_log.clear()
    ha2.birth()
    assert harness.poll(lambda: len({t for t, p in ha2.config_log if p}) == 12, timeout=10)
    d.wait_for_log("Home Assistant discovery sent")

    # Turned off, the board removes what it announced.
    d.stop()
    settings["HomeAssistantDiscovery"] = "0"
    d = host.start_daemon(settings=settings)
    assert harness.poll(lambda: len(ha2.configs()) == 0)
    ha2.close()
    assert d.stop() == 0


def harness_topic(component, obj, config):
    return "homeassistant/%s/%s/%s/config" % (component, config["device"]["identifiers"][0], obj)


def _try(fn):
    try:
        return fn()
    except OSError:
        return None
