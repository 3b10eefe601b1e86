// The run engine: sections, loops, item moves, branches, end positions,
// stops, pause and inserted playlists, driven with fake entries.
#include <gtest/gtest.h>

#include "playlist/PlaylistTestUtil.h"

using namespace pltest;

class EngineTest : public PlaylistTest {};

TEST_F(EngineTest, PlaysSectionsInOrderThenGoesIdle) {
    Fill({"in"}, {"m1", "m2"}, {"out"});
    ASSERT_EQ(pl->Start(), 1);
    EXPECT_EQ(pl->GetCurrentSectionName(), "LeadIn");
    EXPECT_EQ(pl->GetPosition(), 1);
    RunToIdle();
    EXPECT_EQ(journal, (Journal{"start in", "start m1", "start m2", "start out"}));
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_IDLE);
    EXPECT_EQ(pl->GetCurrentState(), "idle");
    EXPECT_EQ(pl->GetPosition(), 0);
}

TEST_F(EngineTest, LeadOutOnlyStartsInLeadOut) {
    Fill({}, {}, {"out"});
    ASSERT_EQ(pl->Start(), 1);
    EXPECT_EQ(pl->GetCurrentSectionName(), "LeadOut");
    EXPECT_EQ(pl->GetPosition(), 1);
}

TEST_F(EngineTest, EmptyPlaylistDoesNotStart) {
    EXPECT_EQ(pl->Start(), 0);
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_IDLE);
}

TEST_F(EngineTest, StartPositionAtCountRestartsFromTheBeginning) {
    Fill({"in"}, {"m1", "m2"}, {});
    pl->SetPosition(3);
    pl->Start();
    EXPECT_EQ(pl->GetCurrentSectionName(), "LeadIn");
    EXPECT_EQ(pl->GetSectionPosition(), 0);
    EXPECT_EQ(journal.back(), "start in");

    pl->SetPosition(2);  // 0-based overall index 2 = second main entry
    pl->Start();
    EXPECT_EQ(pl->GetCurrentSectionName(), "MainPlaylist");
    EXPECT_EQ(pl->GetSectionPosition(), 1);
}

TEST_F(EngineTest, NextAtLastMainEntryWithRepeatJumpsToFirstMainEntry) {
    Fill({"in"}, {"m1", "m2"}, {"out"});
    pl->SetRepeat(1);
    pl->SetPosition(2);
    pl->Start();
    pl->NextItem();
    EXPECT_EQ(pl->GetCurrentSectionName(), "MainPlaylist");
    EXPECT_EQ(pl->GetSectionPosition(), 0);
    EXPECT_EQ(journal, (Journal{"start m2", "stop m2", "start m1"}));
}

TEST_F(EngineTest, NextAtLastMainEntryWithoutRepeatOrLeadOutOnlyStopsThenIdles) {
    Fill({}, {"m1", "m2"}, {});
    for (auto* e : pl->mainPlaylist) static_cast<FakeEntry*>(e)->ticksToFinish = -1;
    pl->SetPosition(1);
    pl->Start();
    pl->NextItem();
    EXPECT_EQ(journal, (Journal{"start m2", "stop m2"}));
    EXPECT_TRUE(pl->IsPlaying());
    pl->Process();
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_IDLE);
}

TEST_F(EngineTest, NextAndPrevAtSectionEdges) {
    Fill({"in1", "in2"}, {"m1", "m2"}, {"out"});
    for (auto* s : {&pl->leadIn, &pl->mainPlaylist, &pl->leadOut})
        for (auto* e : *s) static_cast<FakeEntry*>(e)->ticksToFinish = -1;
    pl->SetPosition(2);  // m1
    pl->Start();
    pl->PrevItem();  // first main entry without repeat: last lead-in entry
    EXPECT_EQ(pl->GetPosition(), 2);
    EXPECT_EQ(pl->GetCurrentSectionName(), "LeadIn");
    pl->NextItem();
    pl->NextItem();
    pl->NextItem();  // m2 -> lead-out
    EXPECT_EQ(pl->GetCurrentSectionName(), "LeadOut");
    pl->NextItem();  // last lead-out entry: nothing to start
    EXPECT_EQ(journal.back(), "stop out");

    pl->SetRepeat(1);
    pl->SetPosition(2);
    pl->Start();
    pl->PrevItem();  // first main entry with repeat: last main entry
    EXPECT_EQ(pl->GetPosition(), 4);
}

TEST_F(EngineTest, ItemMovesNeedAPlayingPlaylist) {
    Fill({}, {"m1", "m2"}, {});
    pl->NextItem();
    pl->PrevItem();
    pl->RestartItem();
    EXPECT_TRUE(journal.empty());
}

TEST_F(EngineTest, LoopCountTwoPlaysMainTwiceThenLeadOut) {
    Fill({}, {"m1", "m2"}, {"out"});
    pl->repeat = 1;
    pl->loopCount = 2;
    pl->Start();
    RunToIdle();
    EXPECT_EQ(journal, (Journal{"start m1", "start m2", "start m1", "start m2", "start out"}));
}

TEST_F(EngineTest, RepeatWithoutLoopCountKeepsLooping) {
    Fill({}, {"m1"}, {});
    pl->repeat = 1;
    pl->Start();
    for (int i = 0; i < 10; i++) pl->Process();
    EXPECT_TRUE(pl->IsPlaying());
    EXPECT_EQ(pl->GetLoop(), 10);
}

TEST_F(EngineTest, OffsetBranchesClampToTheSection) {
    Fill({}, {"m0", "m1", "m2"}, {"out"});
    FakeEntry* third = At(pl->mainPlaylist, 2);
    third->branchType = 2;
    third->nextItem = -5;
    pl->SetPosition(2);
    pl->Start();
    pl->Process();
    EXPECT_EQ(pl->GetSectionPosition(), 0);
    EXPECT_EQ(journal.back(), "start m0");

    // +10 from the first entry of three ends the section.
    FakeEntry* first = At(pl->mainPlaylist, 0);
    first->branchType = 2;
    first->nextItem = 10;
    pl->Process();
    EXPECT_EQ(pl->GetCurrentSectionName(), "LeadOut");
}

TEST_F(EngineTest, IndexBranchesPickSectionAndItem) {
    Fill({"in"}, {"m0", "m1", "m2"}, {"out"});
    FakeEntry* in = At(pl->leadIn, 0);
    in->branchType = 1;
    in->nextSection = "mainPlaylist";
    in->nextItem = 2;
    FakeEntry* m2 = At(pl->mainPlaylist, 2);
    m2->branchType = 1;
    m2->nextSection = "leadOut";
    m2->nextItem = 7;  // past the end: first entry
    pl->Start();
    RunToIdle();
    EXPECT_EQ(journal, (Journal{"start in", "start m2", "start out"}));
}

TEST_F(EngineTest, GracefulStopFinishesEntryThenPlaysLeadOut) {
    Fill({"in"}, {"m1", "m2"}, {"out"});
    pl->name = "show";
    pl->Start();
    pl->Process();  // in -> m1
    pl->StopGracefully(0, 0);
    EXPECT_EQ(pl->GetCurrentState(), "stoppingGracefully");
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_STOPPING_GRACEFULLY);
    RunToIdle();
    EXPECT_EQ(journal, (Journal{"start in", "start m1", "start out"}));
    EXPECT_EQ(presets, (Journal{"PLAYLIST_STOPPING_GRACEFULLY show", "PLAYLIST_STOPPED show"}));
}

TEST_F(EngineTest, StopAfterLoopFinishesTheLoop) {
    Fill({}, {"m1", "m2"}, {"out"});
    pl->repeat = 1;
    pl->Start();
    pl->StopGracefully(0, 1);
    EXPECT_EQ(pl->GetCurrentState(), "stoppingAfterLoop");
    RunToIdle();
    EXPECT_EQ(journal, (Journal{"start m1", "start m2", "start out"}));
}

TEST_F(EngineTest, StopNowStopsTheEntryAndFiresPresets) {
    Fill({}, {"m1"}, {});
    At(pl->mainPlaylist, 0)->ticksToFinish = -1;
    pl->name = "show";
    pl->Start();
    pl->StopNow(1);
    EXPECT_EQ(journal, (Journal{"start m1", "stop m1"}));
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_IDLE);
    EXPECT_EQ(presets, (Journal{"PLAYLIST_STOPPING_NOW show", "PLAYLIST_STOPPED show"}));
    EXPECT_TRUE(pl->mainPlaylist.empty());  // cleaned up
}

TEST_F(EngineTest, StopsOfAnIdlePlaylistDoNothing) {
    pl->StopGracefully(1, 0);
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_IDLE);
    pl->StopNow(1);
    EXPECT_TRUE(presets.empty());
}

TEST_F(EngineTest, PauseOnlyForEntriesThatCanPause) {
    Fill({}, {"m1"}, {});
    At(pl->mainPlaylist, 0)->ticksToFinish = -1;
    pl->Start();
    pl->Pause();
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_PLAYING);

    At(pl->mainPlaylist, 0)->pausable = true;
    pl->Pause();
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_PAUSED);
    EXPECT_TRUE(pl->IsPlaying());
    int before = At(pl->mainPlaylist, 0)->processes;
    pl->Process();
    EXPECT_EQ(At(pl->mainPlaylist, 0)->processes, before);  // paused entries are not ticked
    pl->Resume();
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_PLAYING);
}

TEST_F(EngineTest, GracefulStopWhilePausedResumesFirst) {
    Fill({}, {"m1"}, {});
    At(pl->mainPlaylist, 0)->pausable = true;
    At(pl->mainPlaylist, 0)->ticksToFinish = 2;
    pl->Start();
    pl->Pause();
    pl->StopGracefully(0, 0);
    EXPECT_EQ(journal.back(), "resume m1");
    RunToIdle();
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_IDLE);
}

TEST_F(EngineTest, EntriesThatFinishAtOnceArePassedInTheSameTick) {
    Fill({}, {"m1"}, {});
    FakeEntry* quick1 = Fake("q1", 0);
    FakeEntry* quick2 = Fake("q2", 0);
    pl->mainPlaylist.push_back(quick1);
    pl->mainPlaylist.push_back(quick2);
    pl->mainPlaylist.push_back(Fake("m2", -1));
    pl->NumberEntries();
    pl->Start();
    pl->Process();
    EXPECT_EQ(journal, (Journal{"start m1", "start q1", "start q2", "start m2"}));
}

TEST_F(EngineTest, RepeatingPlaylistOfInstantEntriesDoesNotSpin) {
    pl->mainPlaylist.push_back(Fake("q1", 0));
    pl->mainPlaylist.push_back(Fake("q2", 0));
    pl->NumberEntries();
    pl->repeat = 1;
    pl->Start();
    pl->Process();  // returns: at most one pass round the playlist per tick
    EXPECT_LE(journal.size(), 5u);
    EXPECT_TRUE(pl->IsPlaying());
}

TEST_F(EngineTest, InconsistentPositionStopsWithAnError) {
    testutil::LogCapture log;
    Fill({}, {"m1"}, {});
    pl->Start();
    delete pl->mainPlaylist[0];
    pl->mainPlaylist.clear();
    pl->Process();
    EXPECT_TRUE(log.containsAt(LOG_ERR, "Section position 0 is outside of section MainPlaylist"));
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_IDLE);
}

TEST_F(EngineTest, PositionsAndMillisecondArithmetic) {
    pl->leadIn.push_back(Fake("in", -1, 5000));
    pl->mainPlaylist.push_back(Fake("m1", -1, 8000));
    pl->mainPlaylist.push_back(Fake("m2", -1, 20000));
    pl->NumberEntries();
    pl->SetPosition(2);
    pl->Start();
    At(pl->mainPlaylist, 1)->elapsedMS = 4000;
    int position = 0;
    uint64_t inEntry = 0;
    EXPECT_EQ(pl->GetCurrentPosInMS(position, inEntry), 17000u);
    EXPECT_EQ(position, 2);
    EXPECT_EQ(inEntry, 4000u);
    EXPECT_EQ(pl->GetPosStartInMS(2), 13000u);
    EXPECT_EQ(pl->GetPosStartInMS(9), 33000u);

    uint64_t ms = 15000;
    EXPECT_EQ(pl->FindPosForMS(ms), 2);
    EXPECT_EQ(ms, 2000u);
    ms = 13000;  // an entry of exactly the remaining length is skipped
    EXPECT_EQ(pl->FindPosForMS(ms), 2);
    EXPECT_EQ(ms, 0u);
    ms = 33000;
    EXPECT_EQ(pl->FindPosForMS(ms), -1);
    EXPECT_EQ(ms, 0u);
}

TEST_F(EngineTest, FindPosForMsWithTenAndTwentySecondEntries) {
    pl->mainPlaylist.push_back(Fake("a", -1, 10000));
    pl->mainPlaylist.push_back(Fake("b", -1, 20000));
    pl->NumberEntries();
    uint64_t ms = 15000;
    EXPECT_EQ(pl->FindPosForMS(ms), 1);
    EXPECT_EQ(ms, 5000u);
    ms = 10000;
    EXPECT_EQ(pl->FindPosForMS(ms), 1);
    EXPECT_EQ(ms, 0u);
    ms = 30000;
    EXPECT_EQ(pl->FindPosForMS(ms), -1);
    EXPECT_EQ(ms, 0u);
}

TEST_F(EngineTest, IdleAndPlayingInfo) {
    Json::Value idle = pl->GetInfo();
    EXPECT_EQ(idle["blankAtEnd"].asInt(), 0);
    EXPECT_EQ(idle["currentState"].asString(), "idle");
    EXPECT_TRUE(idle["currentEntry"].isNull());
    Fill({}, {"m1", "m2"}, {});
    pl->name = "show";
    pl->Start();
    Json::Value info = pl->GetInfo();
    EXPECT_EQ(info["blankAtEnd"].asInt(), 1);
    EXPECT_EQ(info["size"].asInt(), 2);
    EXPECT_EQ(info["name"].asString(), "show");
    EXPECT_EQ(info["currentEntry"]["label"].asString(), "m1");
    Json::Value cfg = pl->GetConfig();
    EXPECT_EQ(cfg["mainPlaylist"].size(), 2u);
    EXPECT_FALSE(cfg.isMember("leadIn"));
    Json::Value mq = pl->GetMqttStatusJSON();
    EXPECT_EQ(mq["status"].asString(), "playing");
    EXPECT_EQ(mq["activePlaylists"][0]["currentItems"].size(), 1u);
}

TEST_F(EngineTest, MqttTopicsSteerTheLoadedPlaylist) {
    testutil::LogCapture log;
    Fill({}, {"m1", "m2", "m3"}, {});
    for (auto* e : pl->mainPlaylist) static_cast<FakeEntry*>(e)->ticksToFinish = -1;
    pl->Start();
    EXPECT_TRUE(pl->MQTTHandler("whatever-name/next", ""));
    EXPECT_EQ(pl->GetSectionPosition(), 1);
    EXPECT_TRUE(pl->MQTTHandler("x/prev", ""));
    EXPECT_EQ(pl->GetSectionPosition(), 0);
    EXPECT_TRUE(pl->MQTTHandler("x/repeat", "1junk"));
    EXPECT_EQ(pl->GetRepeat(), 1);
    EXPECT_FALSE(pl->MQTTHandler("noslash", ""));
    EXPECT_TRUE(log.containsAt(LOG_WARN, "Ignoring Invalid playlist topic: playlist/noslash"));
    EXPECT_FALSE(pl->MQTTHandler("x/unknown", ""));
    EXPECT_TRUE(pl->MQTTHandler("ALLPLAYLISTS/stop/now", ""));
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_IDLE);
}

TEST_F(EngineTest, ShuffleNeverStartsWithThePreviousLastEntry) {
    for (int round = 0; round < 30; round++) {
        pl->Cleanup();
        Fill({}, {"a", "b", "c", "d"}, {});
        pl->random = 1;
        PlaylistEntryBase* last = pl->mainPlaylist.back();
        pl->RandomizeMainPlaylist();
        ASSERT_EQ(pl->mainPlaylist.size(), 4u);
        EXPECT_NE(pl->mainPlaylist.front(), last);
        for (int i = 0; i < 4; i++) EXPECT_EQ(pl->mainPlaylist[i]->playlistPosition, i);
    }
    pl->Cleanup();
    Fill({}, {"only"}, {});
    pl->random = 1;
    pl->RandomizeMainPlaylist();
    EXPECT_EQ(At(pl->mainPlaylist, 0)->label, "only");
}
