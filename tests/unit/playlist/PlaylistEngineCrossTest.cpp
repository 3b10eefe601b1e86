#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "Player.h"
#include "common.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistEntryBase.h"
#include "playlist/ShellEntry.h"
#include "settings.h"

namespace {

// An entry that plays until the test finishes it, with a fixed length.
class FakeEntry : public PlaylistEntryBase {
public:
    FakeEntry(Playlist* p, uint64_t len = 0) : PlaylistEntryBase(p), len(len) { type = "fake"; }
    uint64_t GetLengthInMS() override { return len; }
    uint64_t GetElapsedMS() override { return elapsed; }
    int GetNextBranchType() override { return branchType; }
    int GetNextItem() override { return nextItem; }
    int StartPlaying() override {
        starts++;
        return PlaylistEntryBase::StartPlaying();
    }
    uint64_t len, elapsed = 0;
    int branchType = 0, nextItem = 0, starts = 0;
};

struct Engine : ::testing::Test {
    std::string media;
    Playlist* pl = nullptr;

    void SetUp() override {
        char tmpl[] = "/tmp/lyrd-playlist-XXXXXX";
        media = mkdtemp(tmpl);
        ResetLyrDirsForTesting(media, media);
        mkdir((media + "/playlists").c_str(), 0775);
        pl = new Playlist(nullptr);
        playlist = pl;
    }
    void TearDown() override {
        delete pl;
        playlist = nullptr;
    }
    FakeEntry* add(std::vector<PlaylistEntryBase*>& section, uint64_t len = 0) {
        auto* e = new FakeEntry(pl, len);
        section.push_back(e);
        int pos = 0;
        for (auto* s : {&pl->leadIn, &pl->mainPlaylist, &pl->leadOut})
            for (auto* x : *s) x->playlistPosition = pos++;
        return e;
    }
    FakeEntry* current() {
        Json::Value c = pl->GetCurrentEntry();
        int pos = c["playlistPosition"].asInt();
        for (auto* s : {&pl->leadIn, &pl->mainPlaylist, &pl->leadOut})
            for (auto* x : *s)
                if (x->playlistPosition == pos) return static_cast<FakeEntry*>(x);
        return nullptr;
    }
    void finishCurrent() {
        current()->FinishPlay();
        pl->Process();
    }
    void writePlaylist(const std::string& name, const std::string& json) {
        std::ofstream(media + "/playlists/" + name + ".json") << json;
    }
};

}  // namespace

TEST_F(Engine, LeadOutOnlyStartsInTheLeadOut) {
    add(pl->leadOut);
    EXPECT_EQ(pl->Start(), 1);
    EXPECT_EQ(pl->GetCurrentSectionName(), "LeadOut");
    EXPECT_EQ(pl->GetPosition(), 1);
}

TEST_F(Engine, StartPositionAtTheCountRestartsFromTheBeginning) {
    add(pl->mainPlaylist);
    add(pl->mainPlaylist);
    pl->SetPosition(2);
    pl->Start();
    EXPECT_EQ(pl->GetPosition(), 1);
}

TEST_F(Engine, LoopCountTwoPlaysMainTwiceThenLeadOut) {
    auto* a = add(pl->mainPlaylist);
    add(pl->leadOut);
    pl->SetRepeat(1);
    pl->loopCount = 2;
    pl->Start();
    finishCurrent();
    EXPECT_EQ(pl->GetCurrentSectionName(), "MainPlaylist");
    EXPECT_EQ(a->starts, 2);
    finishCurrent();
    EXPECT_EQ(pl->GetCurrentSectionName(), "LeadOut");
    finishCurrent();
    EXPECT_EQ(pl->getPlaylistStatus(), 0);
}

TEST_F(Engine, OffsetBranchesAreClampedToTheSection) {
    add(pl->mainPlaylist);
    add(pl->mainPlaylist);
    auto* c = add(pl->mainPlaylist);
    c->branchType = 2;
    c->nextItem = -5;
    pl->SetPosition(2);
    pl->Start();
    finishCurrent();
    EXPECT_EQ(pl->GetSectionPosition(), 0);
    // +10 from the last entry ends the section (no repeat, no lead-out: idle).
    pl->SetPosition(2);
    pl->Start();
    c->nextItem = 10;
    finishCurrent();
    EXPECT_EQ(pl->getPlaylistStatus(), 0);
}

TEST_F(Engine, EndPositionStopsAfterThatEntry) {
    add(pl->mainPlaylist);
    add(pl->mainPlaylist);
    add(pl->mainPlaylist);
    add(pl->mainPlaylist);
    writePlaylist("four", R"({"mainPlaylist": [{"type": "pause", "duration": 100}, {"type": "pause", "duration": 100},
        {"type": "pause", "duration": 100}, {"type": "pause", "duration": 100}]})");
    ASSERT_EQ(pl->Play("four", 0, 0, -1, 0), 1);
    pl->mainPlaylist[0]->FinishPlay();
    pl->Process();
    EXPECT_EQ(pl->getPlaylistStatus(), 0);
}

TEST_F(Engine, NextAtLastMainEntry) {
    add(pl->mainPlaylist);
    add(pl->mainPlaylist);
    pl->SetRepeat(1);
    pl->SetPosition(1);
    pl->Start();
    pl->NextItem();
    EXPECT_EQ(pl->GetPosition(), 1);
    pl->SetRepeat(0);
    pl->NextItem();  // to 2
    pl->NextItem();  // last, no repeat, no lead-out: only stops the entry
    EXPECT_EQ(pl->GetPosition(), 2);
    EXPECT_TRUE(current()->IsFinished());
    pl->Process();
    EXPECT_EQ(pl->getPlaylistStatus(), 0);
}

TEST_F(Engine, PositionsAndMilliseconds) {
    auto* in = add(pl->leadIn, 5000);
    (void)in;
    add(pl->mainPlaylist, 8000);
    auto* second = add(pl->mainPlaylist, 10000);
    add(pl->mainPlaylist, 20000);
    uint64_t ms = 15000;
    EXPECT_EQ(pl->FindPosForMS(ms), 2);  // 5 s + 8 s, then 2 s into the 10 s entry
    EXPECT_EQ(ms, 2000u);
    ms = 13000;
    EXPECT_EQ(pl->FindPosForMS(ms), 2);
    EXPECT_EQ(ms, 0u);
    ms = 43000;
    EXPECT_EQ(pl->FindPosForMS(ms), -1);
    EXPECT_EQ(ms, 0u);
    pl->SetPosition(2);
    pl->Start();
    second->elapsed = 4000;
    int position;
    uint64_t inEntry;
    EXPECT_EQ(pl->GetCurrentPosInMS(position, inEntry), 17000u);
    EXPECT_EQ(position, 2);
    EXPECT_EQ(inEntry, 4000u);
}

TEST_F(Engine, LoadingNestedAndBadFiles) {
    writePlaylist("self", R"({"name": "self", "mainPlaylist": [{"type": "pause", "duration": 1},
        {"type": "playlist", "name": "self"}]})");
    Json::Value root = pl->LoadJSON((media + "/playlists/self.json").c_str());
    pl->Load(root);
    EXPECT_EQ(pl->mainPlaylist.size(), 5u);  // itself inlined four more times, then cut
    writePlaylist("bad", R"({"repeat": "yes", "mainPlaylist": {}, "leadIn": [{"notype": 1}, {"type": "zzz"}, 7,
        {"type": "pause"}]})");
    EXPECT_EQ(pl->Load("bad"), 1);
    EXPECT_EQ(pl->leadIn.size(), 1u);
    EXPECT_TRUE(pl->mainPlaylist.empty());
    writePlaylist("broken", "{ not json");
    EXPECT_EQ(pl->Play("broken", 0, 0, -1, -1), 0);
    EXPECT_EQ(pl->getPlaylistStatus(), 0);
}

TEST_F(Engine, MqttTopics) {
    add(pl->mainPlaylist);
    add(pl->mainPlaylist);
    pl->Start();
    EXPECT_FALSE(pl->MQTTHandler("noslash", ""));
    EXPECT_TRUE(pl->MQTTHandler("anyname/next", ""));
    EXPECT_EQ(pl->GetPosition(), 2);
    EXPECT_TRUE(pl->MQTTHandler("x/repeat", "1"));
    EXPECT_EQ(pl->GetRepeat(), 1);
}

TEST(ScriptArguments, SplitLikeAShell) {
    std::vector<std::string> w;
    ASSERT_TRUE(SplitScriptArgs("a 'b c' \"d \\\"e\" f\\ g  ", w));
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[1], "b c");
    EXPECT_EQ(w[2], "d \"e");
    EXPECT_EQ(w[3], "f g");
    EXPECT_EQ(RunScript("../etc/passwd", ""), -1);
    EXPECT_EQ(RunScript("/bin/true", ""), -1);
}
