// The player front: manual and scheduled starts, the stop countdown, stop
// time adjustments, the forced-stop record and the "/player" resource.
#include <gtest/gtest.h>

#include "Player.h"
#include "common.h"
#include "playlist/PlaylistTestUtil.h"

using namespace pltest;

namespace {
time_t fakeNow = 1000000;
time_t FakeClock() { return fakeNow; }
}  // namespace

class PlayerTest : public PlaylistTest {
protected:
    void SetUp() override {
        PlaylistTest::SetUp();
        fakeNow = 1000000;
        Player::INSTANCE.SetClockForTesting(FakeClock);
        Json::Value d;
        d["name"] = "long";
        d["mainPlaylist"].append(Pause(1000));
        d["leadOut"].append(Command("lead-out"));
        WritePlaylist("long", d);
    }
    void TearDown() override {
        for (int i = 0; i < 8 && Player::INSTANCE.GetStatus() != 0; i++) Player::INSTANCE.StopNow(0);
        Player::INSTANCE.SetClockForTesting(nullptr);
        PlaylistTest::TearDown();
    }
    void Scheduled(long stopIn, int method) {
        ASSERT_EQ(Player::INSTANCE.StartScheduledPlaylist("long", 0, 0, 7, 3, fakeNow, fakeNow + stopIn, method), 1);
    }
    void TickTo(time_t t) {
        while (fakeNow < t) {
            fakeNow++;
            Player::INSTANCE.Process();
        }
    }
    Player& p = Player::INSTANCE;
};

TEST_F(PlayerTest, CountdownAnnouncesAndUsesTheSingularForOneSecond) {
    testutil::LogCapture log;
    Scheduled(601, PLAYER_STOP_GRACEFUL);
    TickTo(fakeNow + 1);  // 600 left
    EXPECT_TRUE(log.contains("Playlist 'long' will switch to 'Stopping Gracefully' in 600 seconds\n"));
    TickTo(fakeNow + 599);  // 1 left
    EXPECT_TRUE(log.contains("in 1 second\n"));
    EXPECT_FALSE(log.contains("in 599 seconds"));
    TickTo(fakeNow + 1);
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_STOPPING_GRACEFULLY);
    EXPECT_FALSE(p.forceStopped);
}

TEST_F(PlayerTest, ShortenedStopTimeEndsWithAForcedStop) {
    Scheduled(1000, PLAYER_STOP_HARD);
    EXPECT_TRUE(p.AdjustPlaylistStopTime(-600));
    TickTo(fakeNow + 400);
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_IDLE);
    EXPECT_TRUE(p.forceStopped);
    EXPECT_EQ(p.GetForceStoppedPlaylist(), "long");
}

TEST_F(PlayerTest, ExtendedStopTimeEndsWithAnUnforcedStop) {
    Scheduled(10, PLAYER_STOP_GRACEFUL_AFTER_LOOP);
    EXPECT_TRUE(p.AdjustPlaylistStopTime(20));
    TickTo(fakeNow + 29);
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_PLAYING);
    TickTo(fakeNow + 1);
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_STOPPING_AFTER_LOOP);
    EXPECT_FALSE(p.forceStopped);
}

TEST_F(PlayerTest, AdjustStopTimeLimits) {
    testutil::LogCapture log;
    EXPECT_FALSE(p.AdjustPlaylistStopTime(10));
    EXPECT_TRUE(log.contains("there is no playlist running"));
    p.StartPlaylist("long", 0, -1, -1, 0);
    EXPECT_FALSE(p.AdjustPlaylistStopTime(10));
    EXPECT_TRUE(log.contains("it was manually started"));
    p.StopNow(0);

    Scheduled(50000, PLAYER_STOP_GRACEFUL);
    time_t stop = p.GetStopTime();
    EXPECT_TRUE(p.AdjustPlaylistStopTime(43200));
    EXPECT_FALSE(p.AdjustPlaylistStopTime(43201));
    EXPECT_TRUE(p.AdjustPlaylistStopTime(-10800));
    EXPECT_FALSE(p.AdjustPlaylistStopTime(-10801));
    EXPECT_EQ(p.GetStopTime(), stop + 43200 - 10800);
}

TEST_F(PlayerTest, StartingTheRunningPlaylistAgainKeepsItsRecord) {
    Scheduled(500, PLAYER_STOP_GRACEFUL);
    time_t started = p.GetStartTime();
    fakeNow += 50;
    p.StartPlaylist("long", 0, -1, -1, 9);
    EXPECT_EQ(p.GetStartTime(), started);
    EXPECT_EQ(p.GetStopTime(), started + 500);
    EXPECT_EQ(p.GetPriority(), 3);

    p.StartPlaylist("other-name-not-running", 0, -1, -1, 9);
    EXPECT_EQ(p.GetStopTime(), 0);
    EXPECT_EQ(p.GetPriority(), 9);
}

TEST_F(PlayerTest, ForcedStopRecordIsClearedByTheNextStart) {
    p.StartPlaylist("long", 0, -1, -1, 0);
    p.StopGracefully(1, 0);
    EXPECT_TRUE(p.forceStopped);
    EXPECT_EQ(p.GetForceStoppedPlaylist(), "long");
    p.StopNow(0);
    EXPECT_FALSE(p.forceStopped);
    p.StopGracefully(1, 0);
    p.StartPlaylist("long", 0, -1, -1, 0);
    EXPECT_FALSE(p.forceStopped);
    EXPECT_EQ(p.GetForceStoppedPlaylist(), "");
}

// One stop ends the playlist in charge: an inserted playlist hands control
// back to its parent, which goes on; the hard-stop countdown repeats the stop
// until the whole chain is idle.
TEST_F(PlayerTest, StopNowEndsTheInsertedPlaylistAndItsParentGoesOn) {
    p.StartPlaylist("long", 0, -1, -1, 0);
    p.InsertPlaylistImmediate("long", 0, -1);
    p.Process();
    ASSERT_NE(playlist, pl);
    p.StopNow(1);
    EXPECT_EQ(playlist, pl);
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_PLAYING);
    p.StopNow(1);
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_IDLE);
}

TEST_F(PlayerTest, HardStopCountdownIdlesTheWholeChain) {
    Scheduled(5, PLAYER_STOP_HARD);
    p.InsertPlaylistImmediate("long", 0, -1);
    p.Process();
    ASSERT_NE(playlist, pl);
    TickTo(fakeNow + 6);
    EXPECT_EQ(playlist, pl);
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_IDLE);
}

TEST_F(PlayerTest, StatusDocumentAndResource) {
    Scheduled(100, PLAYER_STOP_HARD);
    Json::Value st = p.GetStatusJSON();
    ASSERT_EQ(st["playlists"].size(), 1u);
    const Json::Value& one = st["playlists"][0];
    EXPECT_EQ(one["name"].asString(), "long");
    EXPECT_EQ(one["status"].asInt(), 1);
    EXPECT_TRUE(one["scheduled"].asBool());
    EXPECT_EQ(one["position"].asInt(), 1);
    EXPECT_EQ(one["stopTime"].asInt64(), (int64_t)fakeNow + 100);
    EXPECT_EQ(one["stopMethod"].asInt(), PLAYER_STOP_HARD);
    EXPECT_EQ(one["priority"].asInt(), 3);
    EXPECT_EQ(one["details"]["mainPlaylist"].size(), 1u);

    auto a = p.render_GET(httpserver::http_request("GET", "/player"));
    auto b = p.render_GET(httpserver::http_request("GET", "/player/status"));
    auto c = p.render_GET(httpserver::http_request("GET", "/player/other"));
    auto d = p.render_PUT(httpserver::http_request("PUT", "/player"));
    EXPECT_EQ(a->get_response_code(), 200);
    EXPECT_EQ(a->get_content_type(), "application/json");
    Json::Value ja, jb;
    ASSERT_TRUE(LoadJsonFromString(a->get_content(), ja));
    ASSERT_TRUE(LoadJsonFromString(b->get_content(), jb));
    // The live parts (elapsed seconds, config time) may tick between the two.
    for (Json::Value* j : {&ja, &jb}) {
        (*j)["playlists"][0].removeMember("details");
        (*j)["playlists"][0].removeMember("currentEntry");
    }
    EXPECT_EQ(ja, jb);
    EXPECT_EQ(c->get_response_code(), 404);
    EXPECT_EQ(c->get_content(), "Not Found");
    EXPECT_EQ(d->get_response_code(), 404);
}

TEST_F(PlayerTest, PlaylistCommandsDriveThePlayer) {
    CommandManager& cm = CommandManager::INSTANCE;
    p.Init();
    EXPECT_TRUE(cm.run("Start Playlist", {})->isError());
    EXPECT_TRUE(cm.run("Start Playlist", {"long", "maybe"})->isError());
    EXPECT_FALSE(cm.run("Start Playlist", {"long", "true"})->isError());
    EXPECT_EQ(p.GetRepeat(), 1);
    EXPECT_EQ(cm.run("Start Playlist", {"long", "false", "true"})->get(), "Playlist 'long' is already playing");
    EXPECT_TRUE(cm.run("Start Playlist", {"no-such-playlist"})->isError());

    EXPECT_FALSE(cm.run("Start Playlist", {"long"})->isError());
    cm.run("Pause Playlist", {});
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_PAUSED);
    cm.run("Resume Playlist", {});
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_PLAYING);
    cm.run("Next Playlist Item", {});
    EXPECT_EQ(p.GetPosition(), 2);
    cm.run("Stop Gracefully After Loop", {});
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_STOPPING_AFTER_LOOP);
    EXPECT_TRUE(p.forceStopped);
    cm.run("Stop Now", {});
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_IDLE);

    // Without a repeat argument (or with an empty one) the file's "repeat"
    // holds; an explicit one overrides it.
    Json::Value r;
    r["name"] = "looping";
    r["repeat"] = 1;
    r["mainPlaylist"].append(Pause(1000));
    WritePlaylist("looping", r);
    EXPECT_FALSE(cm.run("Start Playlist", {"looping"})->isError());
    EXPECT_EQ(p.GetRepeat(), 1);
    cm.run("Stop Now", {});
    EXPECT_FALSE(cm.run("Start Playlist", {"looping", ""})->isError());
    EXPECT_EQ(p.GetRepeat(), 1);
    cm.run("Stop Now", {});
    EXPECT_FALSE(cm.run("Start Playlist", {"looping", "false"})->isError());
    EXPECT_EQ(p.GetRepeat(), 0);
    cm.run("Stop Now", {});

    EXPECT_TRUE(cm.run("Volume Set", {"loud"})->isError());
    EXPECT_TRUE(cm.run("Volume Set", {})->isError());
}

// The main loop cleans up after it has seen the playlist go idle; a start from
// an HTTP thread can come in between, and that playlist must keep playing.
TEST_F(PlayerTest, CleanupAfterAStopLeavesAPlaylistStartedSinceAlone) {
    testutil::LogCapture log;
    ASSERT_EQ(p.StartPlaylist("long"), 1);
    p.StopNow(0);
    ASSERT_EQ(p.GetStatus(), PLAYLIST_STATUS_IDLE);
    ASSERT_EQ(p.StartPlaylist("long"), 1);
    p.Cleanup();
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_PLAYING);
    p.Process();
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_PLAYING);
    EXPECT_FALSE(log.contains("is outside of section"));
    p.StopNow(0);
    p.Cleanup();
    EXPECT_EQ(p.GetStatus(), PLAYLIST_STATUS_IDLE);
}
