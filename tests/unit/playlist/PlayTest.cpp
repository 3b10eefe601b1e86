// Playing playlist files: loading, bad input, nesting, reloads, end
// positions, jumps and inserted playlists.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "channeloutput/LSEQFile.h"
#include "platform/Warnings.h"
#include "playlist/PlaylistTestUtil.h"

using namespace pltest;

class PlayTest : public PlaylistTest {
protected:
    static Json::Value Doc(const std::string& name, const Json::Value& main, const Json::Value& in = Json::Value(),
                           const Json::Value& out = Json::Value()) {
        Json::Value d;
        d["name"] = name;
        d["mainPlaylist"] = main;
        if (!in.isNull()) d["leadIn"] = in;
        if (!out.isNull()) d["leadOut"] = out;
        return d;
    }
    static Json::Value List(std::initializer_list<Json::Value> items) {
        Json::Value a(Json::arrayValue);
        for (const auto& i : items) a.append(i);
        return a;
    }
    // Moves the file's modification time `seconds` into the future.
    void Age(const std::string& name, int seconds) {
        std::string path = dir.sub("playlists/" + name + ".json");
        struct timespec t[2];
        clock_gettime(CLOCK_REALTIME, &t[0]);
        t[0].tv_sec += seconds;
        t[1] = t[0];
        utimensat(AT_FDCWD, path.c_str(), t, 0);
    }
    int Count(testutil::LogCapture& log, const std::string& text) {
        int n = 0;
        for (const auto& l : log.lines())
            if (l.message.find(text) != std::string::npos) n++;
        return n;
    }
};

TEST_F(PlayTest, LoadNumbersEntriesAcrossSections) {
    WritePlaylist("p", Doc("p", List({Pause(), Pause(), Pause()}), List({Pause(), Pause()})));
    pl->Load("p");
    ASSERT_EQ(pl->leadIn.size(), 2u);
    ASSERT_EQ(pl->mainPlaylist.size(), 3u);
    EXPECT_EQ(pl->leadIn[1]->playlistPosition, 1);
    EXPECT_EQ(pl->mainPlaylist[0]->playlistPosition, 2);
    EXPECT_EQ(pl->mainPlaylist[2]->playlistPosition, 4);
    EXPECT_TRUE(pl->leadOut.empty());
}

TEST_F(PlayTest, PlayFiresStartedPresetAndRunsEntries) {
    WritePlaylist("show", Doc("show", List({Command("one"), Pause(), Command("two")})));
    ASSERT_EQ(pl->Play("show", 0, 0, -1, -1), 1);
    RunToIdle();
    EXPECT_EQ(presets, (Journal{"one", "PLAYLIST_STARTED show", "two", "PLAYLIST_STOPPED show"}));
}

TEST_F(PlayTest, MissingNameFallsBackToTheRequestedName) {
    Json::Value d;
    d["mainPlaylist"] = List({Pause(100)});
    WritePlaylist("nameless", d);
    pl->Play("nameless", 0, 0, -1, -1);
    EXPECT_EQ(pl->GetPlaylistName(), "nameless");
    EXPECT_EQ(presets.back(), "PLAYLIST_STARTED nameless");
}

TEST_F(PlayTest, EndPositionStopsAfterThatEntry) {
    WritePlaylist("c", Doc("c", List({Command("c0"), Pause(), Command("c2"), Pause(), Command("c4")})));
    pl->Play("c", 0, 0, -1, 2);
    RunToIdle();
    EXPECT_EQ(presets, (Journal{"c0", "PLAYLIST_STARTED c", "c2", "PLAYLIST_STOPPED c"}));

    presets.clear();
    pl->Play("c", 0, 0, -1, 0);
    RunToIdle();
    EXPECT_EQ(presets, (Journal{"c0", "PLAYLIST_STARTED c", "PLAYLIST_STOPPED c"}));
}

TEST_F(PlayTest, PlayingTheRunningPlaylistAgainJumpsWithoutReloading) {
    WritePlaylist("j", Doc("j", List({Pause(100), Pause(100), Pause(100), Pause(100), Pause(100)})));
    pl->Play("j", 0, 0, -1, -1);
    WritePlaylist("j", Doc("j", List({Pause(100)})));
    EXPECT_EQ(pl->Play("j", 4, 0, -1, -1), 1);
    EXPECT_EQ(pl->GetSize(), 5);
    EXPECT_EQ(pl->GetPosition(), 5);
}

TEST_F(PlayTest, RandomStartPositionNeedsThreeMainEntries) {
    WritePlaylist("two", Doc("two", List({Pause(100), Pause(100)})));
    pl->Play("two", -2, 0, -1, -1);
    EXPECT_EQ(pl->GetPosition(), 1);
    WritePlaylist("three", Doc("three", List({Pause(100), Pause(100), Pause(100)}), List({Pause(100)})));
    pl->Play("three", -2, 0, -1, -1);
    EXPECT_GE(pl->GetPosition(), 2);  // somewhere in the main section
}

TEST_F(PlayTest, UnreadableFilesAndWrongTypesAreLoggedAndSkipped) {
    testutil::LogCapture log;
    testutil::writeFile(dir.sub("playlists/broken.json"), "{ \"name\": ");
    EXPECT_EQ(pl->Play("broken", 0, 0, -1, -1), 0);
    EXPECT_TRUE(log.containsAt(LOG_ERR, "Error loading"));
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_IDLE);

    testutil::writeFile(dir.sub("playlists/array.json"), "[1, 2]");
    EXPECT_EQ(pl->Play("array", 0, 0, -1, -1), 0);

    Json::Value d;
    d["name"] = "bad";
    d["repeat"] = "yes";
    d["loopCount"] = Json::Value(Json::objectValue);
    d["leadIn"] = Json::Value(Json::objectValue);
    Json::Value badPause = Pause();
    badPause["duration"] = Json::Value(Json::objectValue);
    Json::Value noCommand;
    noCommand["type"] = "command";
    Json::Value numericType;
    numericType["type"] = 5;
    Json::Value untyped;
    untyped["duration"] = 1;
    Json::Value unknown;
    unknown["type"] = "bogus";
    d["mainPlaylist"] = List({untyped, unknown, numericType, "text", badPause, noCommand, Command("ok")});
    WritePlaylist("bad", d);
    EXPECT_EQ(pl->Play("bad", 0, 0, -1, -1), 1);
    EXPECT_EQ(pl->GetSize(), 2);
    EXPECT_EQ(pl->GetRepeat(), 0);
    EXPECT_TRUE(log.contains("\"repeat\" should be a number, not 'yes'"));
    EXPECT_TRUE(log.containsAt(LOG_ERR, "Unknown Playlist Entry Type: bogus"));
    EXPECT_TRUE(log.contains("an entry has no \"type\""));
    EXPECT_TRUE(log.contains("a section is not a list"));
    EXPECT_TRUE(log.contains("Missing command entry"));
    RunToIdle();
    EXPECT_EQ(presets.back(), "PLAYLIST_STOPPED bad");
}

TEST_F(PlayTest, OversizedFileIsRefused) {
    testutil::LogCapture log;
    std::string big = "{\"name\": \"big\", \"desc\": \"" + std::string(33 * 1024 * 1024, 'x') + "\"}";
    testutil::writeFile(dir.sub("playlists/big.json"), big);
    EXPECT_EQ(pl->Play("big", 0, 0, -1, -1), 0);
    EXPECT_TRUE(log.contains("is too large"));
}

TEST_F(PlayTest, SelfIncludingPlaylistIsCutAtDepthFive) {
    testutil::LogCapture log;
    Json::Value self;
    self["type"] = "playlist";
    self["name"] = "self";
    WritePlaylist("self", Doc("self", List({Command("x"), self})));
    pl->Load("self");
    EXPECT_EQ(pl->mainPlaylist.size(), 5u);  // the top level and four nested copies
    EXPECT_EQ(Count(log, "Sub-playlist depth exceeded 5 trying to include 'self'"), 1);
}

TEST_F(PlayTest, NestedPlaylistsAreInlinedInPlace) {
    WritePlaylist("inner", Doc("inner", List({Command("i-main")}), List({Command("i-in")}),
                               List({Command("i-out")})));
    Json::Value inner;
    inner["type"] = "playlist";
    inner["name"] = "inner";
    WritePlaylist("outer", Doc("outer", List({Command("o1"), inner, Command("o2")})));
    pl->Load("outer");
    ASSERT_EQ(pl->mainPlaylist.size(), 5u);
    pl->Start();
    RunToIdle();
    EXPECT_EQ(presets, (Journal{"o1", "i-in", "i-main", "i-out", "o2", "PLAYLIST_STOPPED outer"}));
}

TEST_F(PlayTest, ChangedFileIsReloadedAtTheNextSectionBoundary) {
    testutil::LogCapture log;
    WritePlaylist("r", Doc("r", List({Command("old-main")}), List({Pause(), Pause()})));
    pl->Play("r", 0, 0, -1, -1);
    pl->Process();  // second lead-in entry: no section boundary yet
    WritePlaylist("r", Doc("r", List({Command("new-main")}), List({Pause(), Pause()})));
    Age("r", 2);
    RunToIdle();
    EXPECT_TRUE(log.contains("Playlist .json file has been modified, reloading playlist"));
    EXPECT_EQ(presets, (Journal{"PLAYLIST_STARTED r", "new-main", "PLAYLIST_STOPPED r"}));
}

TEST_F(PlayTest, FailedReloadKeepsPlayingTheOldCopy) {
    testutil::LogCapture log;
    WritePlaylist("r", Doc("r", List({Command("main")}), List({Pause()})));
    pl->Play("r", 0, 0, -1, -1);
    testutil::writeFile(dir.sub("playlists/r.json"), "not json");
    Age("r", 2);
    RunToIdle();
    EXPECT_TRUE(log.containsAt(LOG_ERR, "Error reloading playlist, continuing with existing copy."));
    EXPECT_EQ(presets, (Journal{"PLAYLIST_STARTED r", "main", "PLAYLIST_STOPPED r"}));
}

TEST_F(PlayTest, InsertedPlaylistPlaysAfterTheCurrentEntryAndReturns) {
    WritePlaylist("a", Doc("a", List({Pause(), Command("a-after")})));
    WritePlaylist("b", Doc("b", List({Command("b1")})));
    pl->Play("a", 0, 0, -1, -1);
    pl->InsertPlaylistAsNext("b", 0, -1);
    pl->Process();
    EXPECT_EQ(playlist, pl);  // b ran through in one tick and handed back
    RunToIdle();
    EXPECT_EQ(presets, (Journal{"PLAYLIST_STARTED a", "b1", "PLAYLIST_STARTED b", "PLAYLIST_STOPPED b", "a-after",
                                "PLAYLIST_STOPPED a"}));
    EXPECT_TRUE(PL_CLEANUPS.empty());
}

TEST_F(PlayTest, ImmediateInsertPausesAndResumesTheParent) {
    WritePlaylist("a", Doc("a", List({Pause(100), Command("a-after")})));
    WritePlaylist("b", Doc("b", List({Pause(100), Command("b1")})));
    pl->Play("a", 0, 0, -1, -1);
    pl->InsertPlaylistImmediate("b", 0, -1);
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_PAUSED);
    pl->Process();
    ASSERT_NE(playlist, pl);
    EXPECT_EQ(playlist->GetPlaylistName(), "b");
    EXPECT_EQ(playlist->GetParentPlaylist(), pl);
    playlist->NextItem();  // b: on to its last entry, which finishes at once
    RunToIdle(3);
    EXPECT_EQ(playlist, pl);
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_PLAYING);
    EXPECT_EQ(pl->GetPosition(), 1);  // still in the long pause
    EXPECT_EQ(presets.back(), "PLAYLIST_STOPPED b");
}

TEST_F(PlayTest, InsertedPlaylistThatCannotStartIsDiscarded) {
    WritePlaylist("a", Doc("a", List({Pause(), Command("a-after")})));
    pl->Play("a", 0, 0, -1, -1);
    pl->InsertPlaylistAsNext("missing", 0, -1);
    RunToIdle();
    EXPECT_EQ(presets, (Journal{"PLAYLIST_STARTED a", "a-after", "PLAYLIST_STOPPED a"}));
}

TEST_F(PlayTest, GracefulStopOfAChildLeavesItsPausedParentRunning) {
    WritePlaylist("a", Doc("a", List({Pause(100), Command("a-after")}), Json::Value(), List({Command("a-out")})));
    WritePlaylist("b", Doc("b", List({Pause(100), Command("b-more")}), Json::Value(), List({Command("b-out")})));
    pl->Play("a", 0, 0, -1, -1);
    pl->InsertPlaylistImmediate("b", 0, -1);
    pl->Process();
    ASSERT_NE(playlist, pl);
    playlist->StopGracefully(0, 0);
    EXPECT_EQ(pl->getPlaylistStatus(), PLAYLIST_STATUS_STOPPING_GRACEFULLY);
    playlist->mainPlaylist[0]->Stop();  // b's pause ends
    RunToIdle(3);
    // b played its lead-out and handed back; a's paused entry goes on
    // instead of waiting for a resume that would never come.
    EXPECT_EQ(playlist, pl);
    EXPECT_EQ(presets[presets.size() - 2], "b-out");
    EXPECT_EQ(presets.back(), "PLAYLIST_STOPPED b");
    EXPECT_FALSE(pl->mainPlaylist[0]->IsPaused());
    EXPECT_EQ(pl->GetCurrentState(), "stoppingGracefully");
    pl->StopNow(1);
}

TEST_F(PlayTest, OnTheFlyPlaylistForASequence) {
    testutil::LogCapture log;
    ASSERT_TRUE(WriteLSEQTestSequence(dir.sub("sequences/show.lseq"), 3, 4, 25, "C:\\Shows\\song.mp3"));
    testutil::writeFile(dir.sub("music/song.mp3"), "");
    pl->Load("show.lseq");
    EXPECT_TRUE(log.contains("Generated an on-the-fly playlist for show.lseq/song.mp3"));

    ASSERT_TRUE(WriteLSEQTestSequence(dir.sub("sequences/lost.lseq"), 3, 4, 25, "/media/lost.mp3"));
    pl->Load("lost.lseq");
    EXPECT_TRUE(log.contains("Generated an on-the-fly playlist for lost.lseq\n"));
    bool warned = false;
    for (const auto& w : WarningHolder::GetWarnings())
        if (w == "lseq \"lost.lseq\" lists a media file of \"lost.mp3\" but it can not be found") warned = true;
    EXPECT_TRUE(warned);
    ASSERT_EQ(pl->mainPlaylist.size(), 1u);
    EXPECT_EQ(pl->mainPlaylist[0]->type, "sequence");
    EXPECT_EQ(pl->mainPlaylist[0]->GetLengthInMS(), 100u);
    EXPECT_FALSE(pl->FileHasBeenModified());
}

TEST_F(PlayTest, SanitizeMediaNameFindsTheCleanedName) {
    testutil::writeFile(dir.sub("music/song.mp3"), "");
    testutil::writeFile(dir.sub("videos/clip (1).mp4"), "");
    EXPECT_EQ(sanitizeMediaName("so!ng.mp3"), "song.mp3");
    EXPECT_EQ(sanitizeMediaName("song.mp3"), "song.mp3");
    EXPECT_EQ(sanitizeMediaName("clip (1).mp4"), "clip (1).mp4");
    EXPECT_EQ(sanitizeMediaName("absent.mp3"), "");
}
