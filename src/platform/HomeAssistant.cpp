#include "platform/HomeAssistant.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "LockstepModel.h"
#include "Player.h"
#include "Portal.h"
#include "Scheduler.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/Logging.h"
#include "platform/MosquittoClient.h"
#include "platform/Version.h"
#include "settings.h"

namespace {

const char* const ALL = "~/set/playlist/ALLPLAYLISTS/";
// Home Assistant keeps at most 255 characters of a sensor state.
const size_t MAX_STATE = 255;

Json::Value entity(const HomeAssistant::Device& d, const std::string& base, const std::string& object,
                   const std::string& name) {
    Json::Value c(Json::objectValue);
    c["~"] = base;
    c["name"] = name;
    c["unique_id"] = d.node + "_" + object;
    c["availability_topic"] = "~/availability";
    c["payload_available"] = "online";
    c["payload_not_available"] = "offline";
    Json::Value dev(Json::objectValue);
    dev["identifiers"].append(d.node);
    dev["name"] = d.name;
    dev["manufacturer"] = "lyrd";
    dev["model"] = d.model;
    dev["sw_version"] = d.version;
    if (!d.url.empty()) dev["configuration_url"] = d.url;
    c["device"] = dev;
    c["origin"]["name"] = "lyrd";
    c["origin"]["sw_version"] = d.version;
    return c;
}

HomeAssistant::Entity button(const HomeAssistant::Device& d, const std::string& base,
                             const std::string& object, const std::string& name, const std::string& action,
                             const std::string& icon) {
    Json::Value c = entity(d, base, object, name);
    c["command_topic"] = ALL + action;
    c["icon"] = icon;
    return {"button", object, c};
}

HomeAssistant::Entity sensor(const HomeAssistant::Device& d, const std::string& base,
                             const std::string& object, const std::string& name, const std::string& topic,
                             const std::string& icon) {
    Json::Value c = entity(d, base, object, name);
    c["state_topic"] = topic;
    c["icon"] = icon;
    return {"sensor", object, c};
}

std::string topicSafe(const std::string& text) {
    std::string out;
    for (unsigned char ch : text)
        out.push_back(isalnum(ch) || ch == '_' || ch == '-' ? static_cast<char>(ch) : '_');
    return out;
}

std::string clip(std::string s) {
    if (s.size() > MAX_STATE) s.resize(MAX_STATE);
    return s;
}

int toInt(const Json::Value& v) {
    if (v.isNumeric()) return v.asInt();
    if (v.isString()) return static_cast<int>(strtol(v.asCString(), nullptr, 10));
    return 0;
}

std::string localHostName() {
    std::string name = getSetting("HostName");
    if (!name.empty()) return name;
    char buf[256] = {0};
    if (gethostname(buf, sizeof(buf) - 1) == 0 && buf[0]) return buf;
    return "lyrd";
}

// The address the board's page is reached at: the listen address when the
// API has one, else the first IPv4 address of the listen interface (any
// interface but loopback when it listens everywhere).
std::string pageAddress() {
    std::string listen = getSetting("APIListenAddress");
    in_addr probe;
    if (inet_pton(AF_INET, listen.c_str(), &probe) == 1) return listen;
    std::string found;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return "";
    for (struct ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
        if (listen.empty() ? (i->ifa_flags & IFF_LOOPBACK) != 0 : listen != i->ifa_name) continue;
        char buf[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, buf, sizeof(buf));
        found = buf;
    }
    freeifaddrs(list);
    return found;
}

void PublishFull(MosquittoClient& client, const std::string& topic, const std::string& payload, bool retain) {
    std::string error;
    if (!client.PublishTopic(topic, payload, retain, error)) LogWarn(VB_MQTT, "%s\n", error.c_str());
}

}  // namespace

bool HomeAssistant::State::operator==(const State& o) const {
    return status == o.status && playlist == o.playlist && sequence == o.sequence && media == o.media &&
           next == o.next && remaining == o.remaining && volume == o.volume && schedulerOn == o.schedulerOn;
}

std::string HomeAssistant::NodeId(const std::string& systemUUID, const std::string& hostName) {
    return "lyrd_" + topicSafe(systemUUID.empty() ? hostName : systemUUID);
}

std::string HomeAssistant::ConfigTopic(const std::string& prefix, const std::string& node,
                                       const std::string& component, const std::string& object) {
    return prefix + "/" + component + "/" + node + "/" + object + "/config";
}

std::vector<HomeAssistant::Entity> HomeAssistant::Entities(const Device& d, const std::string& base,
                                                           const std::vector<std::string>& playlists) {
    std::vector<Entity> out;
    if (!playlists.empty()) {
        Json::Value c = entity(d, base, "playlist", "Playlist");
        c["state_topic"] = "~/playlist/name/status";
        c["command_topic"] = "~/set/command/Start Playlist";
        for (const auto& p : playlists) c["options"].append(p);
        c["icon"] = "mdi:playlist-play";
        out.push_back({"select", "playlist", c});
    }
    out.push_back(button(d, base, "stop_now", "Stop now", "stop/now", "mdi:stop"));
    out.push_back(
        button(d, base, "stop_gracefully", "Stop gracefully", "stop/graceful", "mdi:stop-circle-outline"));
    out.push_back(button(d, base, "next", "Next", "next", "mdi:skip-next"));
    out.push_back(button(d, base, "previous", "Previous", "prev", "mdi:skip-previous"));

    Json::Value vol = entity(d, base, "volume", "Volume");
    vol["state_topic"] = "~/volume/status";
    vol["command_topic"] = "~/set/volume";
    vol["min"] = 0;
    vol["max"] = 100;
    vol["step"] = 1;
    vol["unit_of_measurement"] = "%";
    vol["icon"] = "mdi:volume-high";
    out.push_back({"number", "volume", vol});

    out.push_back(sensor(d, base, "status", "Status", "~/status", "mdi:information-outline"));
    out.push_back(
        sensor(d, base, "sequence", "Sequence", "~/playlist/sequence/status", "mdi:led-strip-variant"));
    out.push_back(sensor(d, base, "media", "Media", "~/playlist/media/status", "mdi:music"));
    Entity remaining =
        sensor(d, base, "time_remaining", "Time remaining", "~/playlist/remaining/status", "mdi:timer");
    remaining.config["unit_of_measurement"] = "s";
    remaining.config["device_class"] = "duration";
    out.push_back(remaining);
    out.push_back(sensor(d, base, "next_show", "Next show", "~/schedule/next/status", "mdi:calendar-clock"));

    Json::Value playing = entity(d, base, "playing", "Playing");
    playing["state_topic"] = "~/status";
    playing["value_template"] = "{{ 'OFF' if value in ('', 'idle') else 'ON' }}";
    playing["icon"] = "mdi:play-circle-outline";
    out.push_back({"binary_sensor", "playing", playing});

    Json::Value sched = entity(d, base, "scheduler", "Scheduler");
    sched["state_topic"] = "~/scheduler/status";
    sched["command_topic"] = "~/set/scheduler";
    sched["payload_on"] = "ON";
    sched["payload_off"] = "OFF";
    sched["icon"] = "mdi:calendar-check";
    out.push_back({"switch", "scheduler", sched});
    return out;
}

std::vector<std::pair<std::string, std::string>> HomeAssistant::AllEntityKeys() {
    std::vector<std::pair<std::string, std::string>> keys;
    for (const auto& e : Entities(Device{}, "", {"x"})) keys.emplace_back(e.component, e.object);
    return keys;
}

HomeAssistant::State HomeAssistant::StateFromStatus(const Json::Value& status, bool schedulerDisabled) {
    State s;
    s.playlist = status["current_playlist"]["playlist"].asString();
    s.sequence = clip(status["current_sequence"].asString());
    s.media = clip(status["current_song"].asString());
    s.remaining = std::max(0, toInt(status["seconds_remaining"]));
    s.volume = toInt(status["volume"]);
    std::string next = status["next_playlist"]["playlist"].asString();
    std::string start = status["next_playlist"]["start_time"].asString();
    s.next = clip(start.empty() ? next : next + " (" + start + ")");
    s.schedulerOn = !schedulerDisabled;
    return s;
}

std::vector<std::string> HomeAssistant::ListPlaylists(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        std::string f = e.path().filename().string();
        if (f.size() > 5 && f.compare(f.size() - 5, 5, ".json") == 0 && f[0] != '.' && e.is_regular_file(ec))
            names.push_back(f.substr(0, f.size() - 5));
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool HomeAssistant::ParseVolume(const std::string& payload, int& volume) {
    const char* s = payload.c_str();
    char* end = nullptr;
    double v = strtod(s, &end);
    while (end && *end == ' ') ++end;
    if (end == s || (end && *end) || !std::isfinite(v)) return false;
    volume = static_cast<int>(std::lround(std::min(100.0, std::max(0.0, v))));
    return true;
}

// ---- runtime

HomeAssistant::HomeAssistant(MosquittoClient& client) : client(client) {}

HomeAssistant::~HomeAssistant() {
    Stop();
}

HomeAssistant::Device HomeAssistant::LocalDevice() const {
    Device d;
    d.name = localHostName();
    d.node = NodeId(getSetting("SystemUUID"), d.name);
    d.model = GetHardwareModel();
    d.version = getLyrVersion();
    std::string addr = pageAddress();
    d.url = "http://" + (addr.empty() ? d.name : addr) + ":32322/ui/";
    return d;
}

void HomeAssistant::Start(bool on, const std::string& discoveryPrefix) {
    if (thread.joinable()) return;
    enabled = on;
    prefix = discoveryPrefix.empty() ? "homeassistant" : discoveryPrefix;
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    device = LocalDevice();
    callbackIds.push_back(
        client.AddTopicCallback(prefix + "/status", [this](const std::string&, const std::string& p) {
            if (p == "online") birthSeen = true;
        }));
    if (enabled) {
        callbackIds.push_back(
            client.AddCallback("/set/volume", [this](const std::string&, const std::string& p) {
                int v = 0;
                if (!ParseVolume(p, v)) {
                    LogWarn(VB_MQTT, "MQTT volume '%s' is not a number\n", p.c_str());
                    return;
                }
                setVolume(v);
            }));
        callbackIds.push_back(
            client.AddCallback("/set/scheduler", [](const std::string&, const std::string& p) {
                if (!scheduler) return;
                if (p == "ON" || p == "OFF") {
                    scheduler->SetDisabled(p == "OFF");
                } else {
                    LogWarn(VB_MQTT, "MQTT scheduler switch wants ON or OFF, not '%s'\n", p.c_str());
                }
            }));
    }
    LogInfo(VB_MQTT, "Home Assistant discovery %s (prefix '%s', device '%s')\n", enabled ? "on" : "off",
            prefix.c_str(), device.node.c_str());
    thread = std::thread([this] { Run(); });
}

void HomeAssistant::Stop() {
    {
        std::lock_guard<std::mutex> l(stopLock);
        stopping = true;
    }
    stopCV.notify_all();
    if (thread.joinable()) thread.join();
    for (int id : callbackIds) client.RemoveCallback(id);
    callbackIds.clear();
}

void HomeAssistant::Run() {
    std::unique_lock<std::mutex> l(stopLock);
    while (!stopping) {
        l.unlock();
        Tick(std::chrono::steady_clock::now());
        l.lock();
        stopCV.wait_for(l, std::chrono::milliseconds(200), [this] { return stopping; });
    }
}

void HomeAssistant::Tick(TimePoint now) {
    bool connected = client.IsConnected();
    if (connected && !wasConnected) {
        announcePending = true;
        announceAt = now;
    }
    wasConnected = connected;
    if (birthSeen.exchange(false)) {
        // Many devices answer the same birth message; spread them out.
        static thread_local std::mt19937 rng(std::random_device{}());
        announcePending = true;
        announceAt = now + std::chrono::milliseconds(std::uniform_int_distribution<int>(500, 2500)(rng));
    }
    if (!connected) return;
    if (announcePending && now >= announceAt) {
        announcePending = false;
        Announce();
        // The plain topics are not retained: send them again once Home
        // Assistant has subscribed to what the configs name.
        plainPending = enabled;
        plainStatesAt = now + std::chrono::milliseconds(1500);
    }
    if (!enabled) return;
    if (plainPending && now >= plainStatesAt) {
        plainPending = false;
        RepublishPlainStates();
    }
    if (now >= nextPoll) {
        nextPoll = now + std::chrono::seconds(1);
        std::vector<std::string> now_ = ListPlaylists(getLyrMediaDir("/playlists"));
        if (now_ != playlists) {
            playlists = now_;
            PublishSelect();
        }
        PublishStates(false);
    }
}

void HomeAssistant::Announce() {
    if (!enabled) {
        // Whatever an earlier run announced goes away.
        for (const auto& k : AllEntityKeys())
            PublishFull(client, ConfigTopic(prefix, device.node, k.first, k.second), "", true);
        LogInfo(VB_MQTT, "Home Assistant discovery off: announced entities removed\n");
        return;
    }
    device = LocalDevice();
    playlists = ListPlaylists(getLyrMediaDir("/playlists"));
    if (playlists.empty())
        PublishFull(client, ConfigTopic(prefix, device.node, "select", "playlist"), "", true);
    for (const auto& e : Entities(device, client.GetBaseTopic(), playlists))
        PublishFull(client, ConfigTopic(prefix, device.node, e.component, e.object),
                            SaveJsonToString(e.config, ""), true);
    LogInfo(VB_MQTT, "Home Assistant discovery sent (%zu playlists)\n", playlists.size());
    PublishStates(true);
}

void HomeAssistant::PublishSelect() {
    std::string topic = ConfigTopic(prefix, device.node, "select", "playlist");
    for (const auto& e : Entities(device, client.GetBaseTopic(), playlists)) {
        if (e.component == "select") {
            PublishFull(client, topic, SaveJsonToString(e.config, ""), true);
            return;
        }
    }
    PublishFull(client, topic, "", true);
}

HomeAssistant::State HomeAssistant::CurrentState() {
    Json::Value status;
    PlayerResource reader;
    reader.GetCurrentStatus(status);
    State s = StateFromStatus(status, scheduler && scheduler->IsDisabled());
    Json::Value info = Player::INSTANCE.GetInfo();
    s.status = info["currentState"].asString();
    if (s.status.empty()) s.status = "idle";
    return s;
}

void HomeAssistant::PublishStates(bool force) {
    State s = CurrentState();
    bool all = force || !statesSent;
    if (all || s.sequence != published.sequence) client.Publish("playlist/sequence/status", s.sequence, true);
    if (all || s.remaining != published.remaining)
        client.Publish("playlist/remaining/status", s.remaining, true);
    if (all || s.next != published.next) client.Publish("schedule/next/status", s.next, true);
    if (all || s.volume != published.volume) client.Publish("volume/status", s.volume, true);
    if (all || s.schedulerOn != published.schedulerOn)
        client.Publish("scheduler/status", s.schedulerOn ? "ON" : "OFF", true);
    published = s;
    statesSent = true;
}

void HomeAssistant::RepublishPlainStates() {
    State s = CurrentState();
    client.Publish("status", s.status);
    client.Publish("playlist/name/status", s.status == "idle" ? std::string() : s.playlist);
    client.Publish("playlist/media/status", s.media);
}
