// Home Assistant discovery payloads: the keys Home Assistant requires per
// component, one device block for all, topics that land on what the MQTT
// client obeys, and the state taken from the status document.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "platform/HomeAssistant.h"

namespace {

HomeAssistant::Device device() {
    HomeAssistant::Device d;
    d.node = HomeAssistant::NodeId("M2-1a2b-3c", "porch");
    d.name = "porch";
    d.model = "Raspberry Pi 4 Model B";
    d.version = "1.2.3";
    d.url = "http://10.0.0.9:32322/ui/";
    return d;
}

std::string expand(const Json::Value& c, const char* key) {
    std::string t = c[key].asString();
    if (!t.empty() && t[0] == '~') t = c["~"].asString() + t.substr(1);
    return t;
}

}  // namespace

TEST(HomeAssistantTest, NodeIdIsTopicSafeAndStable) {
    EXPECT_EQ(HomeAssistant::NodeId("M2-1a2b-3c", "porch"), "lyrd_M2-1a2b-3c");
    EXPECT_EQ(HomeAssistant::NodeId("a b/c+#", "porch"), "lyrd_a_b_c__");
    EXPECT_EQ(HomeAssistant::NodeId("", "garage.local"), "lyrd_garage_local");
    EXPECT_EQ(HomeAssistant::ConfigTopic("homeassistant", "lyrd_x", "button", "next"),
              "homeassistant/button/lyrd_x/next/config");
}

TEST(HomeAssistantTest, EveryEntityCarriesWhatItsComponentRequires) {
    const std::string base = "yard/lyrd/porch";
    auto entities = HomeAssistant::Entities(device(), base, {"evening", "morning"});
    std::set<std::string> ids, objects;
    std::map<std::string, int> perComponent;
    for (const auto& e : entities) {
        const Json::Value& c = e.config;
        SCOPED_TRACE(e.component + "/" + e.object);
        perComponent[e.component]++;
        EXPECT_TRUE(ids.insert(c["unique_id"].asString()).second);
        EXPECT_TRUE(objects.insert(e.object).second);
        EXPECT_FALSE(c["name"].asString().empty());
        EXPECT_EQ(c["~"].asString(), base);
        EXPECT_EQ(expand(c, "availability_topic"), base + "/availability");
        const Json::Value& dev = c["device"];
        EXPECT_EQ(dev["identifiers"][0].asString(), "lyrd_M2-1a2b-3c");
        EXPECT_EQ(dev["name"].asString(), "porch");
        EXPECT_EQ(dev["model"].asString(), "Raspberry Pi 4 Model B");
        EXPECT_EQ(dev["sw_version"].asString(), "1.2.3");
        EXPECT_EQ(dev["configuration_url"].asString(), "http://10.0.0.9:32322/ui/");
        if (e.component == "sensor" || e.component == "binary_sensor") {
            EXPECT_TRUE(c.isMember("state_topic"));
            EXPECT_FALSE(c.isMember("command_topic"));
        } else {
            EXPECT_TRUE(c.isMember("command_topic"));
        }
        if (e.component == "select") {
            ASSERT_TRUE(c["options"].isArray());
            EXPECT_EQ(c["options"].size(), 2u);
            EXPECT_EQ(c["options"][0].asString(), "evening");
        }
        if (e.component == "number") {
            EXPECT_LT(c["min"].asInt(), c["max"].asInt());
        }
    }
    EXPECT_EQ(perComponent["select"], 1);
    EXPECT_EQ(perComponent["button"], 4);
    EXPECT_EQ(perComponent["number"], 1);
    EXPECT_EQ(perComponent["sensor"], 5);
    EXPECT_EQ(perComponent["binary_sensor"], 1);
    EXPECT_EQ(perComponent["switch"], 1);
}

TEST(HomeAssistantTest, CommandTopicsAreTheOnesTheClientObeys) {
    const std::string base = "lyrd/porch";
    std::map<std::string, Json::Value> by;
    for (const auto& e : HomeAssistant::Entities(device(), base, {"evening"})) by[e.object] = e.config;
    // Playlist actions go to set/playlist/<name>/..., handled by the playlist.
    EXPECT_EQ(expand(by["stop_now"], "command_topic"), base + "/set/playlist/ALLPLAYLISTS/stop/now");
    EXPECT_EQ(expand(by["stop_gracefully"], "command_topic"),
              base + "/set/playlist/ALLPLAYLISTS/stop/graceful");
    EXPECT_EQ(expand(by["next"], "command_topic"), base + "/set/playlist/ALLPLAYLISTS/next");
    EXPECT_EQ(expand(by["previous"], "command_topic"), base + "/set/playlist/ALLPLAYLISTS/prev");
    EXPECT_EQ(expand(by["playlist"], "command_topic"), base + "/set/command/Start Playlist");
    // The states the playlist publishes already.
    EXPECT_EQ(expand(by["playlist"], "state_topic"), base + "/playlist/name/status");
    EXPECT_EQ(expand(by["status"], "state_topic"), base + "/status");
    EXPECT_EQ(expand(by["playing"], "state_topic"), base + "/status");
    EXPECT_EQ(expand(by["media"], "state_topic"), base + "/playlist/media/status");
    EXPECT_EQ(by["time_remaining"]["device_class"].asString(), "duration");
    EXPECT_EQ(by["scheduler"]["payload_on"].asString(), "ON");
}

TEST(HomeAssistantTest, NoPlaylistsNoSelectButItCanStillBeRemoved) {
    auto entities = HomeAssistant::Entities(device(), "b", {});
    for (const auto& e : entities) EXPECT_NE(e.component, "select");
    auto keys = HomeAssistant::AllEntityKeys();
    EXPECT_EQ(keys.size(), entities.size() + 1);
    EXPECT_NE(
        std::find(keys.begin(), keys.end(), std::make_pair(std::string("select"), std::string("playlist"))),
        keys.end());
}

TEST(HomeAssistantTest, StateComesFromTheStatusDocument) {
    Json::Value st;
    st["current_playlist"]["playlist"] = "evening";
    st["current_sequence"] = "carol.lseq";
    st["current_song"] = "carol.ogg";
    st["seconds_remaining"] = "42";
    st["volume"] = 65;
    st["next_playlist"]["playlist"] = "morning";
    st["next_playlist"]["start_time"] = "Sat @ 07:00:00";
    HomeAssistant::State s = HomeAssistant::StateFromStatus(st, false);
    EXPECT_EQ(s.playlist, "evening");
    EXPECT_EQ(s.sequence, "carol.lseq");
    EXPECT_EQ(s.media, "carol.ogg");
    EXPECT_EQ(s.remaining, 42);
    EXPECT_EQ(s.volume, 65);
    EXPECT_EQ(s.next, "morning (Sat @ 07:00:00)");
    EXPECT_TRUE(s.schedulerOn);

    Json::Value idle;
    idle["next_playlist"]["playlist"] = "Scheduler is disabled.";
    idle["next_playlist"]["start_time"] = "";
    idle["seconds_remaining"] = "-3";
    idle["current_sequence"] = std::string(300, 'x');
    s = HomeAssistant::StateFromStatus(idle, true);
    EXPECT_EQ(s.next, "Scheduler is disabled.");
    EXPECT_EQ(s.remaining, 0);
    EXPECT_FALSE(s.schedulerOn);
    EXPECT_EQ(s.sequence.size(), 255u);  // Home Assistant's limit for a state
}

TEST(HomeAssistantTest, PlaylistsAreTheJsonFilesOfTheFolder) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("ha-playlists-" + std::to_string(getpid()));
    fs::create_directories(dir / "sub.json");
    for (const char* n : {"morning.json", "evening.json", ".hidden.json", "notes.txt", "x.json.bak"})
        std::ofstream(dir / n) << "{}";
    EXPECT_EQ(HomeAssistant::ListPlaylists(dir.string()), (std::vector<std::string>{"evening", "morning"}));
    fs::remove_all(dir);
    EXPECT_TRUE(HomeAssistant::ListPlaylists(dir.string()).empty());
}

TEST(HomeAssistantTest, VolumeFromTheNumberEntity) {
    int v = -1;
    EXPECT_TRUE(HomeAssistant::ParseVolume("40", v));
    EXPECT_EQ(v, 40);
    EXPECT_TRUE(HomeAssistant::ParseVolume("40.0", v));
    EXPECT_EQ(v, 40);
    EXPECT_TRUE(HomeAssistant::ParseVolume("40.6", v));
    EXPECT_EQ(v, 41);
    EXPECT_TRUE(HomeAssistant::ParseVolume("-5", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(HomeAssistant::ParseVolume("150", v));
    EXPECT_EQ(v, 100);
    v = 7;
    for (const char* bad : {"", "abc", "40x", "nan", "inf"}) {
        EXPECT_FALSE(HomeAssistant::ParseVolume(bad, v)) << bad;
        EXPECT_EQ(v, 7);
    }
}
