// Shared pieces of the playlist tests: a scripted fake entry, a media
// directory in a temporary folder, and a recorder command for presets.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/TestUtil.h"
#include "platform/Command.h"
#include "platform/CommandManager.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistEntryBase.h"
#include "settings.h"

namespace pltest {

using Journal = std::vector<std::string>;

// An entry whose behaviour the test sets: how many ticks until it finishes
// (0: finishes as it starts, -1: never), its length and elapsed time,
// whether it can pause, and what it asks for when finished.
class FakeEntry : public PlaylistEntryBase {
public:
    FakeEntry(Playlist* pl, const std::string& label, Journal* journal, uint64_t lengthMS = 0)
        : PlaylistEntryBase(pl), label(label), journal(journal), lengthMS(lengthMS) {
        type = "fake";
    }
    int StartPlaying() override {
        starts++;
        if (journal) journal->push_back("start " + label);
        PlaylistEntryBase::StartPlaying();
        ticksLeft = ticksToFinish;
        if (ticksToFinish == 0) FinishPlay();
        return 1;
    }
    int Process() override {
        processes++;
        if (ticksLeft > 0 && --ticksLeft == 0) FinishPlay();
        return PlaylistEntryBase::Process();
    }
    int Stop() override {
        stops++;
        if (journal) journal->push_back("stop " + label);
        return PlaylistEntryBase::Stop();
    }
    void Pause() override {
        if (pausable) paused = true;
    }
    bool IsPaused() override { return paused; }
    void Resume() override {
        if (paused && journal) journal->push_back("resume " + label);
        paused = false;
    }
    uint64_t GetLengthInMS() override { return lengthMS; }
    uint64_t GetElapsedMS() override { return elapsedMS; }
    int GetNextBranchType() override { return branchType; }
    std::string GetNextSection() override { return nextSection; }
    int GetNextItem() override { return nextItem; }
    std::string GetNextData() override { return nextData; }
    Json::Value GetConfig() override {
        Json::Value v = PlaylistEntryBase::GetConfig();
        v["label"] = label;
        return v;
    }

    void Finish() { FinishPlay(); }

    std::string label;
    Journal* journal;
    uint64_t lengthMS;
    uint64_t elapsedMS = 0;
    int ticksToFinish = -1;
    int ticksLeft = 0;
    bool pausable = false;
    bool paused = false;
    int branchType = 0;
    std::string nextSection;
    int nextItem = 0;
    std::string nextData;
    int starts = 0, stops = 0, processes = 0;
};

// Records its arguments; presets in the tests run it.
class RecordCommand : public Command {
public:
    explicit RecordCommand(Journal* journal) : Command("Test Record"), journal(journal) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        journal->push_back(args.empty() ? "" : args[0]);
        return std::make_unique<Result>("ok");
    }
    Journal* journal;
};

// A media directory with the usual folders, the presets of the playlist
// engine recording into `presets`, and the global playlist pointing at a
// fresh top playlist.
class PlaylistTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"playlists", "sequences", "music", "videos", "scripts", "config", "tmp"})
            testutil::makeDir(dir.sub(d));
        ResetLyrDirsForTesting(dir.path(), dir.path());
        Json::Value presetsDoc;
        for (const char* p : {"PLAYLIST_STARTED", "PLAYLIST_STOPPING_GRACEFULLY", "PLAYLIST_STOPPING_AFTER_LOOP",
                              "PLAYLIST_STOPPING_NOW", "PLAYLIST_STOPPED"}) {
            Json::Value preset;
            preset["name"] = p;
            Json::Value cmd;
            cmd["command"] = "Test Record";
            cmd["args"].append(std::string(p) + " %PLAYLIST_NAME%");
            preset["commands"].append(cmd);
            presetsDoc["commands"].append(preset);
        }
        testutil::writeFile(dir.sub("config/commandPresets.json"), presetsDoc.toStyledString());
        CommandManager::INSTANCE.addCommand(new RecordCommand(&presets));
        CommandManager::INSTANCE.LoadPresets();
        savedGlobal = playlist;
        pl = new Playlist(nullptr);
        playlist = pl;
    }
    void TearDown() override {
        // Inserted playlists still chained to the top one go with it.
        Playlist::DeleteFinishedPlaylists();
        Playlist* p = playlist;
        while (p && p != pl) {
            Playlist* parent = p->GetParentPlaylist();
            delete p;
            p = parent;
        }
        delete pl;
        playlist = savedGlobal;
        CommandManager::INSTANCE.removeCommand("Test Record");
        CommandManager::INSTANCE.LoadPresets();
    }

    FakeEntry* Fake(const std::string& label, int ticks = 1, uint64_t lengthMS = 0) {
        auto* e = new FakeEntry(pl, label, &journal, lengthMS);
        e->ticksToFinish = ticks;
        return e;
    }
    // Fills the three sections with fakes of one tick each, named by label.
    void Fill(const std::vector<std::string>& in, const std::vector<std::string>& main,
              const std::vector<std::string>& out) {
        for (const auto& l : in) pl->leadIn.push_back(Fake(l));
        for (const auto& l : main) pl->mainPlaylist.push_back(Fake(l));
        for (const auto& l : out) pl->leadOut.push_back(Fake(l));
        pl->NumberEntries();
    }
    FakeEntry* At(std::vector<PlaylistEntryBase*>& section, int i) { return static_cast<FakeEntry*>(section[i]); }
    // Ticks the playlist in charge until it is idle (at most `max` ticks).
    int RunToIdle(int max = 100) {
        int n = 0;
        while (playlist->IsPlaying() && n < max) {
            playlist->Process();
            n++;
        }
        return n;
    }
    void WritePlaylist(const std::string& name, const Json::Value& doc) {
        testutil::writeFile(dir.sub("playlists/" + name + ".json"), doc.toStyledString());
    }
    static Json::Value Pause(double seconds = 0) {
        Json::Value e;
        e["type"] = "pause";
        e["duration"] = seconds;
        return e;
    }
    static Json::Value Command(const std::string& text) {
        Json::Value e;
        e["type"] = "command";
        e["command"] = "Test Record";
        e["args"].append(text);
        return e;
    }

    testutil::TempDir dir;
    testutil::LogLevels levels;
    Journal journal;
    Journal presets;
    Playlist* pl = nullptr;
    Playlist* savedGlobal = nullptr;
};

}  // namespace pltest
