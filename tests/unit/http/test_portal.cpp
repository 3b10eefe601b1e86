// PlayerResource called directly: the common request path, the read and
// write endpoints that do not need a playing show, and the duration text.
#include <gtest/gtest.h>
#include <json/json.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "Portal.h"
#include "channeloutput/ChannelOutputThread.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/Logging.h"
#include "settings.h"

using httpserver::http_request;
using httpserver::http_response;

namespace {

class PortalTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lyrd-portal-XXXXXX";
        dir = mkdtemp(tmpl);
        ResetLyrDirsForTesting(dir, dir);
        savedLevels = LyrLogger::GetLogLevelString();
        LyrLogger::INSTANCE.HTTP.level = LOG_DEBUG;
        SetLogSink([this](int, const std::string& facility, const std::string& msg) {
            std::lock_guard<std::mutex> l(linesLock);
            lines.push_back(facility + ": " + msg);
        });
    }
    void TearDown() override {
        SetLogSink(nullptr);
        SetLogLevelComplex(savedLevels);
        RegisterShutdownHandler(nullptr);
        std::string cmd = "rm -rf '" + dir + "'";
        (void)system(cmd.c_str());
    }

    std::shared_ptr<http_response> call(const std::string& method, const std::string& path,
                                        const std::string& body = "",
                                        const std::map<std::string, std::string>& args = {}) {
        http_request req(method, path, body, args);
        return httpserver::dispatch(res, req);
    }
    Json::Value doc(const std::shared_ptr<http_response>& r) { return LoadJsonFromString(r->get_content()); }
    bool logged(const std::string& text) {
        std::lock_guard<std::mutex> l(linesLock);
        for (const auto& line : lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

    PlayerResource res;
    std::string dir;
    std::string savedLevels;
    std::mutex linesLock;
    std::vector<std::string> lines;
};

}  // namespace

TEST(SecondsToTime, FormsOfADuration) {
    EXPECT_EQ(secondsToTime(0), "00:00");
    EXPECT_EQ(secondsToTime(59), "00:59");
    EXPECT_EQ(secondsToTime(3600), "60:00");
    EXPECT_EQ(secondsToTime(3601), "01:00:01");
    EXPECT_EQ(secondsToTime(3661), "01:01:01");
    EXPECT_EQ(secondsToTime(86400), "24:00:00");
    EXPECT_EQ(secondsToTime(90061), "1 day, 01:01:01");
    EXPECT_EQ(secondsToTime(2 * 86400 + 59), "2 days, 00:59");
    EXPECT_EQ(secondsToTime(-5), "00:00");
}

TEST_F(PortalTest, UptimeStartsAgainWhenTheClockJumpsPastSystemUptime) {
    time_t now = 1700000000;
    res.SetStartTimeForTesting(now - 100);
    EXPECT_EQ(res.GetUptime(now, 1000), 100);
    EXPECT_EQ(res.GetStartTime(), now - 100);
    // Wall clock stepped forward a day after start: uptime would exceed the kernel's.
    EXPECT_EQ(res.GetUptime(now + 86400, 1000), 0);
    EXPECT_EQ(res.GetStartTime(), now + 86400);
    EXPECT_EQ(res.GetUptime(now + 86410, 1010), 10);
}

TEST_F(PortalTest, UnknownEndpointsAnswer404PerMethod) {
    auto r = call("GET", "/lyrd/nosuch");
    EXPECT_EQ(r->get_response_code(), 404);
    EXPECT_EQ(r->get_content_type(), "application/json");
    EXPECT_EQ(doc(r)["Message"].asString(), "endpoint lyrd/nosuch does not exist");
    EXPECT_TRUE(logged("API - Error unknown GET request: nosuch"));
    EXPECT_EQ(call("POST", "/lyrd/nosuch")->get_response_code(), 404);
    EXPECT_TRUE(logged("API - Error unknown POST request: nosuch"));
    r = call("DELETE", "/lyrd/status");
    EXPECT_EQ(r->get_response_code(), 404);
    EXPECT_EQ(r->get_content_type(), "text/plain");
    EXPECT_TRUE(logged("API - Error unknown DELETE request: status"));
    // "playlists/" with no known suffix is no endpoint either.
    EXPECT_EQ(call("POST", "/lyrd/playlists/show")->get_response_code(), 404);
}

TEST_F(PortalTest, UnsetResultsKeepGetAt200) {
    auto r = call("GET", "/lyrd/sequence");
    EXPECT_EQ(r->get_response_code(), 200);
    Json::Value d = doc(r);
    EXPECT_EQ(d["Status"].asString(), "ERROR");
    EXPECT_EQ(d["respCode"].asInt(), 400);
    EXPECT_EQ(d["Message"].asString(), "GET endpoint helper did not set result JSON");
    EXPECT_TRUE(logged("API - Getting list of running sequences"));

    for (const char* p : {"/lyrd/restart", "/lyrd/settings/reload", "/lyrd/settings/reload/Foo",
                          "/lyrd/playlists/stop", "/lyrd/sequences/x.lseq/start"}) {
        r = call("POST", p);
        EXPECT_EQ(r->get_response_code(), 400) << p;
        EXPECT_EQ(doc(r)["Message"].asString(), "POST endpoint helper did not set result JSON") << p;
    }
    r = call("PUT", "/lyrd/playlists/My Show/settings", "{}");
    EXPECT_EQ(r->get_response_code(), 400);
    EXPECT_EQ(r->get_content_type(), "text/plain");
    EXPECT_EQ(doc(r)["Message"].asString(), "PUT endpoint helper did not set result JSON");
    EXPECT_TRUE(logged("API - Updating runtime settings for playlist 'My Show'"));
}

TEST_F(PortalTest, PostBodyMustBeJsonWhenPresent) {
    auto r = call("POST", "/lyrd/outputs", "{");
    EXPECT_EQ(r->get_response_code(), 400);
    EXPECT_EQ(r->get_content_type(), "text/plain");
    EXPECT_EQ(r->get_content(), "Error parsing POST content");
    EXPECT_TRUE(logged("Error parsing POST content"));
    // An empty body is dispatched as an empty value.
    r = call("POST", "/lyrd/outputs", "");
    EXPECT_EQ(r->get_response_code(), 400);
    EXPECT_EQ(doc(r)["Message"].asString(), "'command' field not specified");
    // A body that is JSON but not an object has no "command" either.
    EXPECT_EQ(doc(call("POST", "/lyrd/schedule", "[1,2]"))["Message"].asString(),
              "'command' field not specified");
}

TEST_F(PortalTest, CommandEndpoints) {
    EXPECT_EQ(doc(call("POST", "/lyrd/outputs", R"({"command":"enable"})"))["Message"].asString(),
              "channel output enabled");
    EXPECT_EQ(doc(call("POST", "/lyrd/outputs", R"({"command":"disable"})"))["Message"].asString(),
              "channel output disabled");
    EXPECT_EQ(doc(call("POST", "/lyrd/outputs", R"({"command":"explode"})"))["respCode"].asInt(), 400);
    EXPECT_EQ(doc(call("POST", "/lyrd/outputs/remap", R"({"command":"reload"})"))["Message"].asString(),
              "channel remaps reloaded");
    EXPECT_EQ(doc(call("POST", "/lyrd/effects/Twinkle", R"({"command":"start"})"))["Message"].asString(),
              "PostEffect result would go here");
    EXPECT_TRUE(logged("API - PostEffect(Twinkle) cmd: start"));
    EXPECT_EQ(doc(call("POST", "/lyrd/effects/Twinkle", "{}"))["Message"].asString(),
              "'command' field not specified");
    EXPECT_EQ(doc(call("POST", "/lyrd/tamrin/hardware"))["Message"].asString(),
              "PostTamrinHardware result would go here");
    EXPECT_EQ(doc(call("POST", "/lyrd/gpio/ext", "{}"))["Message"].asString(),
              "'config' field not specified");
    Json::Value g = doc(call("POST", "/lyrd/gpio/ext", R"({"config":1})"));
    EXPECT_EQ(g["Message"].asString(), "POST endpoint helper did not set result JSON");
    EXPECT_TRUE(logged("API - Doing something with gpio"));
    EXPECT_EQ(doc(call("POST", "/lyrd/schedule", R"({"command":"reload"})"))["Message"].asString(),
              "Schedule reload triggered");
    EXPECT_EQ(doc(call("DELETE", "/lyrd/e131stats"))["Message"].asString(), "Stats Cleared");
}

TEST_F(PortalTest, PathArgumentsOfLogOnlyEndpoints) {
    call("POST", "/lyrd/playlists/Main Show/item/3");
    EXPECT_TRUE(logged("API - Jumping to item 3 in playlist 'Main Show'"));
    call("POST", "/lyrd/playlists/a/b/section/leadOut");
    EXPECT_TRUE(logged("API - Jumping to section 'leadOut' in playlist 'a/b'"));
    call("POST", "/lyrd/playlists/show/start", R"({"x":1})");
    EXPECT_TRUE(logged("API - Starting playlist 'show' w/ content '{\"x\":1}'"));
    call("POST", "/lyrd/playlists/stop", "{}");
    EXPECT_TRUE(logged("API - Stopping all running playlists w/ content '{}'"));
    call("POST", "/lyrd/sequences/s.lseq/back/12");
    EXPECT_TRUE(logged("API - Stepping sequence 's.lseq' BACK by 12 frame(s)"));
    call("POST", "/lyrd/sequences/s.lseq/pause/1");
    EXPECT_TRUE(logged("API - Pausing sequence 's.lseq'"));
    call("POST", "/lyrd/sequences/s.lseq/step");
    EXPECT_TRUE(logged("API - Stepping sequence 's.lseq' by 1 frame"));
}

TEST_F(PortalTest, BadNumbersAnswer400Documents) {
    for (const char* p : {"/lyrd/volume/abc", "/lyrd/volume/", "/lyrd/volume/123456789012345",
                          "/lyrd/playlists/p/item/x", "/lyrd/sequences/s/step/"}) {
        auto r = call("POST", p);
        EXPECT_EQ(r->get_response_code(), 400) << p;
        EXPECT_EQ(doc(r)["Status"].asString(), "ERROR") << p;
    }
    EXPECT_EQ(call("GET", "/lyrd/volume", "", {{"set", "loud"}})->get_response_code(), 400);
}

TEST_F(PortalTest, VolumeIsStoredAndReadBack) {
    Json::Value d = doc(call("POST", "/lyrd/volume/75"));
    EXPECT_EQ(d["Message"].asString(), "Volume set");
    EXPECT_EQ(d["volume"].asInt(), 75);
    EXPECT_EQ(getVolume(), 75);
    auto r = call("GET", "/lyrd/volume", "", {{"simple", "true"}});
    EXPECT_EQ(r->get_content_type(), "text/plain");
    EXPECT_EQ(r->get_content(), "75");
    EXPECT_EQ(doc(call("GET", "/lyrd/volume", "", {{"set", "40"}}))["volume"].asInt(), 40);
    // The answer reports the clamped volume actually in effect.
    EXPECT_EQ(doc(call("POST", "/lyrd/volume/150"))["volume"].asInt(), 100);
    EXPECT_EQ(doc(call("GET", "/lyrd/status"))["volume"].asInt(), 100);
}

TEST_F(PortalTest, LogLevelsChangeAndAreListed) {
    EXPECT_EQ(doc(call("POST", "/lyrd/log/level/excess:Sync"))["Message"].asString(), "Log Level Updated");
    Json::Value d = doc(call("GET", "/lyrd/log"));
    EXPECT_EQ(d["log"]["Sync"].asString(), "excess");
    EXPECT_EQ(d["log"]["HTTP"].asString(), "debug");
    EXPECT_EQ(d["log"].size(), LyrLogger::INSTANCE.all().size());
    auto r = call("POST", "/lyrd/log/level/loud:Nowhere");
    EXPECT_EQ(r->get_response_code(), 400);
    EXPECT_EQ(doc(call("GET", "/lyrd/log"))["log"]["Sync"].asString(), "excess");
}

TEST_F(PortalTest, ShutdownAnswersOkAndRequestsTheStop) {
    int calls = 0;
    bool restart = true;
    RegisterShutdownHandler([&](bool r) {
        calls++;
        restart = r;
    });
    Json::Value d = doc(call("POST", "/lyrd/shutdown"));
    EXPECT_EQ(d["Status"].asString(), "OK");
    EXPECT_EQ(d["Message"].asString(), "Shutting down lyrd");
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(restart);
}

TEST_F(PortalTest, IdleStatusDocument) {
    auto r = call("GET", "/lyrd/status");
    EXPECT_EQ(r->get_response_code(), 200);
    Json::Value d = doc(r);
    EXPECT_FALSE(d.isMember("Status"));
    EXPECT_EQ(d["lyrd"].asString(), "running");
    EXPECT_EQ(d["status_name"].asString(), "idle");
    EXPECT_EQ(d["repeat_mode"].asString(), "0");
    EXPECT_EQ(d["current_playlist"]["index"].asString(), "0");
    EXPECT_TRUE(d["uptimeDays"].isDouble());
    EXPECT_TRUE(d["uptimeSeconds"].isInt());
    EXPECT_TRUE(d["warnings"].isArray());
    EXPECT_EQ(d["uptimeTotalSeconds"].asInt64() % 60, d["uptimeSeconds"].asInt());
    EXPECT_TRUE(logged("API - Getting lyrd status"));
    EXPECT_TRUE(logged("API Req: /lyrd/status"));
}

// The web front end polls this every second for weeks: the mode's name must
// not be left allocated behind each answer (the sanitizer build's leak check
// fails this test when it is).
TEST_F(PortalTest, StatusNamesTheModeOnEveryPoll) {
    ::lyrMode saved = settings.lyrMode;
    settings.lyrMode = REMOTE_MODE;
    EXPECT_EQ(doc(call("GET", "/lyrd/status"))["mode_name"].asString(), "remote");
    settings.lyrMode = PLAYER_MODE;
    for (int i = 0; i < 3; i++) EXPECT_EQ(doc(call("GET", "/lyrd/status"))["mode_name"].asString(), "player");
    settings.lyrMode = saved;
}

TEST_F(PortalTest, ReadEndpointsGiveOkDocuments) {
    Json::Value v = doc(call("GET", "/lyrd/version"));
    EXPECT_EQ(v["lyrdAPI"].asString(), "v1");
    EXPECT_TRUE(v["majorVersion"].isInt());
    EXPECT_TRUE(doc(call("GET", "/lyrd/effects"))["runningEffects"].isArray());
    EXPECT_TRUE(doc(call("GET", "/lyrd/playlists"))["playlists"].isArray());
    EXPECT_EQ(doc(call("GET", "/lyrd/playlist/filetime"))["fileTime"].asInt64(), 0);
    EXPECT_EQ(doc(call("GET", "/lyrd/playlist/config"))["Status"].asString(), "OK");
    EXPECT_EQ(doc(call("GET", "/lyrd/e131stats"))["Status"].asString(), "OK");
    EXPECT_EQ(doc(call("GET", "/lyrd/lockstepSystems", "", {{"localOnly", "1"}}))["Status"].asString(), "OK");
    EXPECT_TRUE(doc(call("GET", "/lyrd/schedule")).isMember("schedule"));
}

TEST_F(PortalTest, BytesThatAreNotUtf8AreReplacedNotGarbled) {
    auto r = call("GET",
                  "/lyrd/a\xff"
                  "b\xc3 \xe2\x82\xac\xed\xa0\x80");
    Json::Value d = doc(r);
    EXPECT_EQ(d["Message"].asString(),
              "endpoint lyrd/a\xef\xbf\xbd"
              "b\xef\xbf\xbd \xe2\x82\xac\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
              " does not exist");
}

TEST_F(PortalTest, ApiServerRoutesItsFamiliesOverTheNetwork) {
    APIServer api(0, "127.0.0.1");
    api.Init();
    ASSERT_TRUE(api.GetServer()->is_running());
    httpserver::webserver& ws = *api.GetServer();
    auto route = [&](const std::string& method, const std::string& path) {
        return ws.answer(http_request(method, path));
    };
    EXPECT_EQ(route("GET", "/lyrd/status")->get_content_type(), "application/json");
    EXPECT_EQ(route("GET", "/commands")->get_response_code(), 200);
    EXPECT_EQ(route("GET", "/commandPresets")->get_response_code(), 200);
    EXPECT_EQ(route("GET", "/command/No Such")->get_response_code(), 404);
    EXPECT_EQ(route("GET", "/lyrdx")->get_response_code(), 404);
    EXPECT_NE(api.GetServer()->get_bound_port(), 0);
    // A second Init is harmless.
    api.Init();
    EXPECT_TRUE(api.GetServer()->is_running());
}

TEST_F(PortalTest, ChannelTestShowsAsTestingWhateverThePlayerDoes) {
    APIServer api(0, "127.0.0.1");
    api.Init();
    httpserver::webserver& ws = *api.GetServer();
    auto post = [&](const std::string& body) {
        return ws.answer(http_request("POST", "/lyrd/testing", body));
    };
    auto refused = post(R"({"enabled":1,"mode":"NoSuchPattern"})");
    EXPECT_EQ(refused->get_response_code(), 400);
    EXPECT_EQ(post("[1]")->get_response_code(), 400);
    ASSERT_EQ(post(R"({"enabled":1,"mode":"RGBFill","channelSet":"1-3"})")->get_response_code(), 200);
    EXPECT_EQ(doc(ws.answer(http_request("GET", "/lyrd/status")))["status_name"].asString(), "testing");
    EXPECT_EQ(doc(ws.answer(http_request("GET", "/lyrd/testing")))["mode"].asString(), "RGBFill");
    ASSERT_EQ(post(R"({"enabled":0})")->get_response_code(), 200);
    EXPECT_EQ(doc(ws.answer(http_request("GET", "/lyrd/status")))["status_name"].asString(), "idle");
    // The test started the output thread; the daemon's tear-down would stop it.
    StopChannelOutputThread();
}

// The front end polls the status every second for weeks: each answer must
// give back everything it took.  (Under a sanitizer mallinfo2 sees nothing and
// the leak checker judges instead.)
TEST_F(PortalTest, StatusAnswersDoNotLeak) {
    LyrLogger::INSTANCE.HTTP.level = LOG_WARN;
    for (int i = 0; i < 100; i++) call("GET", "/lyrd/status");
    size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 5000; i++) call("GET", "/lyrd/status");
    long grown = static_cast<long>(mallinfo2().uordblks) - static_cast<long>(before);
    EXPECT_LT(grown, 32 * 1024) << "bytes still held after 5000 status answers";
}
