// Effect sequences: timing on a fake clock, placement, overlap, loops and
// stops (EffectRunner); files, names and refusals through the daemon's
// functions, the commands and the playlist entry.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "channelout/ChannelOutTestUtil.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/LSEQFile.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "platform/CommandManager.h"
#include "platform/EffectCommands.h"
#include "platform/EffectRunner.h"
#include "platform/Effects.h"
#include "playlist/PlaylistEntryEffect.h"

namespace {

const int64_t MS = 1000000;

// Frame f of a written effect: every channel holds base + f.
bool writeEffect(const std::string& path, uint32_t channels, uint32_t frames, int stepMS, uint8_t base,
                 const std::string& startHeader = "") {
    LSEQWriter w(path, channels, stepMS);
    if (!startHeader.empty()) w.addVariableHeader("sc", startHeader);
    std::vector<uint8_t> data(channels);
    for (uint32_t f = 0; f < frames; f++) {
        std::fill(data.begin(), data.end(), uint8_t(base + f));
        w.addFrame(data.data());
    }
    return w.close();
}

class RunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = cotest::MakeMediaDir();
        buf.assign(64, 0);
    }
    void TearDown() override { cotest::RemoveDir(dir); }

    std::unique_ptr<LSEQFile> effect(const std::string& name, uint32_t channels, uint32_t frames, int stepMS,
                                     uint8_t base) {
        std::string path = dir + "/" + name + ".lseq";
        EXPECT_TRUE(writeEffect(path, channels, frames, stepMS, base));
        return std::unique_ptr<LSEQFile>(LSEQFile::openLSEQFile(path));
    }
    void drawAt(int64_t t) {
        std::fill(buf.begin(), buf.end(), 0);
        runner.draw(buf.data(), uint32_t(buf.size()), t);
    }

    std::string dir;
    std::vector<uint8_t> buf;
    int64_t now = 1000 * MS;
    EffectRunner runner{[this] { return now; }};
};

TEST_F(RunnerTest, OneShotShowsEachFrameOnItsIntervalAtItsChannelsThenEnds) {
    int id = runner.start(effect("a", 4, 3, 50, 10), "a", 5, false, false);
    EXPECT_EQ(id, 1);
    EXPECT_TRUE(runner.anyRunning());

    drawAt(now);
    EXPECT_EQ(buf[3], 0) << "channel 4 is before the effect";
    EXPECT_EQ(buf[4], 10);
    EXPECT_EQ(buf[7], 10);
    EXPECT_EQ(buf[8], 0) << "channel 9 is after it";
    drawAt(now + 49 * MS);
    EXPECT_EQ(buf[4], 10);
    drawAt(now + 50 * MS);
    EXPECT_EQ(buf[4], 11);
    drawAt(now + 149 * MS);
    EXPECT_EQ(buf[4], 12);

    drawAt(now + 150 * MS);
    EXPECT_EQ(buf[4], 0) << "after its last frame an effect draws nothing";
    EXPECT_FALSE(runner.anyRunning());
    EXPECT_TRUE(runner.list().empty());
}

TEST_F(RunnerTest, EndIsSeenByTheClockWithoutADraw) {
    int id = runner.start(effect("a", 4, 2, 20, 1), "a", 1, false, false);
    EXPECT_TRUE(runner.isRunning(id));
    now += 39 * MS;
    EXPECT_TRUE(runner.isRunning(id));
    EXPECT_EQ(runner.list()[0].frame, 1u);
    now += 1 * MS;
    EXPECT_FALSE(runner.isRunning(id));
}

TEST_F(RunnerTest, LoopWrapsUntilStopped) {
    int id = runner.start(effect("l", 2, 3, 10, 100), "l", 1, true, false);
    drawAt(now + 30 * MS);
    EXPECT_EQ(buf[0], 100);
    drawAt(now + 9000 * MS + 25 * MS);
    EXPECT_EQ(buf[0], 102);
    EXPECT_TRUE(runner.stop(id));
    EXPECT_FALSE(runner.stop(id)) << "a second stop finds nothing";
    drawAt(now + 9000 * MS + 35 * MS);
    EXPECT_EQ(buf[0], 0);
}

TEST_F(RunnerTest, OverlappingEffectsDrawInStartOrderAndStopIndependently) {
    int a = runner.start(effect("a", 10, 1, 1000, 1), "a", 1, true, false);
    int b = runner.start(effect("b", 10, 1, 1000, 2), "b", 6, true, true);
    EXPECT_NE(a, b);
    drawAt(now);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[4], 1);
    EXPECT_EQ(buf[5], 2) << "the later effect is on top where they overlap";
    EXPECT_EQ(buf[14], 2);
    EXPECT_EQ(buf[15], 0);

    auto list = runner.list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "a");
    EXPECT_EQ(list[1].startChannel, 6);
    EXPECT_TRUE(list[1].background);

    EXPECT_TRUE(runner.stop(a));
    drawAt(now);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[5], 2);
}

TEST_F(RunnerTest, StopByNameStopsEveryCopyAndStopAllEmpties) {
    runner.start(effect("x", 2, 1, 100, 5), "x", 1, true, false);
    runner.start(effect("x2", 2, 1, 100, 5), "x", 10, true, false);
    runner.start(effect("y", 2, 1, 100, 6), "y", 20, true, false);
    EXPECT_FALSE(runner.stop("nope"));
    EXPECT_TRUE(runner.stop("x"));
    ASSERT_EQ(runner.list().size(), 1u);
    EXPECT_EQ(runner.list()[0].name, "y");
    int next = runner.start(effect("z", 2, 1, 100, 6), "z", 1, true, false);
    EXPECT_EQ(next, 4) << "ids are not reused";
    runner.stopAll();
    EXPECT_FALSE(runner.anyRunning());
}

TEST_F(RunnerTest, ChannelsPastTheBufferAreCutOff) {
    runner.start(effect("big", 20, 1, 100, 9), "big", 60, true, false);
    runner.start(effect("off", 20, 1, 100, 9), "off", 100, true, false);
    drawAt(now);
    EXPECT_EQ(buf[58], 0);
    EXPECT_EQ(buf[59], 9);
    EXPECT_EQ(buf[63], 9);
}

TEST_F(RunnerTest, AFileThatShrankGivesZerosNotACrash) {
    std::string path = dir + "/s.lseq";
    ASSERT_TRUE(writeEffect(path, 8, 4, 10, 50));
    std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(path));
    ASSERT_TRUE(f);
    runner.start(std::move(f), "s", 1, true, false);
    ASSERT_EQ(truncate(path.c_str(), 30), 0);
    std::fill(buf.begin(), buf.end(), 7);
    runner.draw(buf.data(), uint32_t(buf.size()), now + 20 * MS);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[8], 7) << "channels outside the effect are untouched";
}

// ---- the daemon's functions, commands and the playlist entry

class EffectsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = cotest::MakeMediaDir();
        system(("mkdir -p " + dir + "/effects").c_str());
        RegisterEffectCommands();
    }
    void TearDown() override {
        StopAllEffects();
        StopChannelOutputThread();
        cotest::RemoveDir(dir);
    }
    std::string path(const std::string& name) { return dir + "/effects/" + name; }

    std::string dir;
};

TEST_F(EffectsTest, RefusesMissingBrokenEmptyAndEscapingNames) {
    std::string error;
    EXPECT_EQ(StartEffect("missing", 0, 0, false, error), -1);
    EXPECT_NE(error.find("not found"), std::string::npos) << error;

    FILE* f = fopen(path("junk.lseq").c_str(), "w");
    fputs("this is not a sequence", f);
    fclose(f);
    EXPECT_EQ(StartEffect("junk", 0, 0, false, error), -1);
    EXPECT_NE(error.find("not a readable sequence"), std::string::npos) << error;

    ASSERT_TRUE(writeEffect(path("empty.lseq"), 4, 0, 25, 0));
    EXPECT_EQ(StartEffect("empty.lseq", 0, 0, false, error), -1);
    EXPECT_NE(error.find("no frames"), std::string::npos) << error;

    ASSERT_TRUE(writeEffect(dir + "/sequences/outside.lseq", 4, 2, 25, 0));
    EXPECT_EQ(StartEffect("../sequences/outside", 0, 0, false, error), -1);
    EXPECT_EQ(StartEffect("/etc/passwd", 0, 0, false, error), -1);
    EXPECT_EQ(StartEffect("", 0, 0, false, error), -1);
    EXPECT_NE(error.find("effects folder"), std::string::npos) << error;

    EXPECT_FALSE(EffectsRunning()) << "refusals start nothing";
    EXPECT_EQ(GetRunningEffects(), "");
}

TEST_F(EffectsTest, StartsAtItsOwnChannelOrTheOneAskedForAndIsListed) {
    ASSERT_TRUE(writeEffect(path("own.lseq"), 6, 1, 1000, 1, "101"));
    ASSERT_TRUE(writeEffect(path("plain.lseq"), 6, 1, 1000, 1));
    ASSERT_TRUE(writeEffect(path("badsc.lseq"), 6, 1, 1000, 1, "lots"));
    int own = StartEffect("own", 0, 1, false);
    int asked = StartEffect("own.lseq", 300, 1, true);
    int plain = StartEffect("plain", -5, 1, false);
    int bad = StartEffect("badsc", 0, 1, false);
    ASSERT_GT(own, 0);
    ASSERT_GT(asked, own);
    Json::Value list = GetRunningEffectsJson();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0]["startChannel"].asInt(), 101);
    EXPECT_EQ(list[0]["name"].asString(), "own");
    EXPECT_EQ(list[1]["startChannel"].asInt(), 300);
    EXPECT_TRUE(list[1]["background"].asBool());
    EXPECT_EQ(list[2]["startChannel"].asInt(), 1);
    EXPECT_EQ(list[3]["startChannel"].asInt(), 1) << "an unreadable start header falls back to channel 1";
    EXPECT_TRUE(list[0]["loop"].asBool());
    EXPECT_EQ(list[0]["channelCount"].asInt(), 6);
    EXPECT_EQ(GetRunningEffects(), "\n" + std::to_string(own) + ",own\n" + std::to_string(asked) + ",own\n" +
                                       std::to_string(plain) + ",plain\n" + std::to_string(bad) + ",badsc");
    EXPECT_TRUE(ChannelOutputThreadIsRunning()) << "a running effect needs the output thread";

    EXPECT_TRUE(StopEffect("own.lseq")) << "a name with the extension finds the running effect";
    EXPECT_EQ(GetRunningEffectsJson().size(), 2u);
    EXPECT_TRUE(StopEffect(plain));
    EXPECT_FALSE(StopEffect(plain));
    StopAllEffects();
    EXPECT_FALSE(EffectsRunning());
}

TEST_F(EffectsTest, CommandsCheckTheirArgumentsAndReportTheReason) {
    ASSERT_TRUE(writeEffect(path("fx.lseq"), 3, 1, 1000, 1));
    CommandManager& cm = CommandManager::INSTANCE;
    EXPECT_TRUE(cm.run("Effect Start", {})->isError());
    EXPECT_TRUE(cm.run("Effect Start", {"fx", "abc"})->isError());
    EXPECT_TRUE(cm.run("Effect Start", {"fx", "1", "maybe"})->isError());
    EXPECT_TRUE(cm.run("Effect Start", {"fx", "1", "true", "sometimes"})->isError());
    auto missing = cm.run("Effect Start", {"nothere"});
    EXPECT_TRUE(missing->isError());
    EXPECT_NE(missing->get().find("not found"), std::string::npos) << missing->get();
    EXPECT_FALSE(EffectsRunning());

    auto ok = cm.run("Effect Start", {"fx", "10", "true"});
    ASSERT_FALSE(ok->isError()) << ok->get();
    EXPECT_NE(ok->get().find("started with id"), std::string::npos);
    int id = GetRunningEffectsJson()[0]["id"].asInt();
    EXPECT_TRUE(cm.run("Effect Stop", {})->isError());
    EXPECT_TRUE(cm.run("Effect Stop", {"other"})->isError());
    EXPECT_FALSE(cm.run("Effect Stop", {std::to_string(id)})->isError()) << "stop by id";
    EXPECT_FALSE(EffectsRunning());

    cm.run("Effect Start", {"fx", "", "1"});
    cm.run("Effect Start", {"fx", "", "1"});
    EXPECT_FALSE(cm.run("Effect Stop", {"fx"})->isError()) << "stop by name";
    EXPECT_FALSE(EffectsRunning());
    cm.run("Effect Start", {"fx", "", "1"});
    EXPECT_FALSE(cm.run("Effects Stop All", {})->isError());
    EXPECT_FALSE(EffectsRunning());

    Json::Value d = cm.getDescriptions();
    bool described = false;
    for (const auto& c : d)
        if (c["name"].asString() == "Effect Start") described = c["args"].size() == 4;
    EXPECT_TRUE(described) << "Effect Start lists its four arguments";
}

bool waitUntil(const std::function<bool()>& cond, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return cond();
}

TEST_F(EffectsTest, EntryWaitsForItsEffectUnlessInTheBackground) {
    ASSERT_TRUE(writeEffect(path("short.lseq"), 3, 3, 20, 1));
    ASSERT_TRUE(writeEffect(path("long.lseq"), 3, 2, 10000, 1));

    Json::Value cfg;
    cfg["effectName"] = "short";
    PlaylistEntryEffect wait(nullptr);
    ASSERT_TRUE(wait.Init(cfg));
    EXPECT_EQ(wait.StartPlaying(), 1);
    EXPECT_TRUE(wait.IsPlaying());
    EXPECT_TRUE(waitUntil(
        [&] {
            wait.Process();
            return wait.IsFinished();
        },
        5000))
        << "the entry ends with its 60 ms effect";

    Json::Value bg;
    bg["effectName"] = "long";
    bg["background"] = true;
    PlaylistEntryEffect background(nullptr);
    ASSERT_TRUE(background.Init(bg));
    background.StartPlaying();
    EXPECT_TRUE(background.IsFinished()) << "a background effect does not hold the playlist";
    EXPECT_TRUE(EffectsRunning());
    StopAllEffects();

    Json::Value held;
    held["effectName"] = "long";
    held["startChannel"] = 7;
    PlaylistEntryEffect stopped(nullptr);
    ASSERT_TRUE(stopped.Init(held));
    stopped.StartPlaying();
    EXPECT_EQ(GetRunningEffectsJson()[0]["startChannel"].asInt(), 7);
    stopped.Stop();
    EXPECT_FALSE(EffectsRunning()) << "stopping the entry stops its effect";
    EXPECT_EQ(stopped.GetConfig()["startChannel"].asInt(), 7);

    Json::Value gone;
    gone["effectName"] = "gone";
    PlaylistEntryEffect missing(nullptr);
    ASSERT_TRUE(missing.Init(gone));
    EXPECT_EQ(missing.StartPlaying(), 0);
    EXPECT_TRUE(missing.IsFinished()) << "a missing effect lets the playlist go on";

    Json::Value none;
    PlaylistEntryEffect unnamed(nullptr);
    EXPECT_FALSE(unnamed.Init(none));
}

TEST_F(EffectsTest, OutputThreadComposesEffectsOverTheSequenceData) {
    // The same function the output thread calls, on a full-size buffer.
    ASSERT_TRUE(writeEffect(path("fx.lseq"), 4, 1, 1000, 200, "3"));
    ASSERT_GT(StartEffect("fx", 0, 1, false), 0);
    std::vector<uint8_t> frame(LYRD_MAX_CHANNELS, 17);
    OverlayEffectData(frame.data(), uint32_t(frame.size()), ChannelOutputMonotonicNS());
    EXPECT_EQ(frame[1], 17);
    EXPECT_EQ(frame[2], 200);
    EXPECT_EQ(frame[5], 200);
    EXPECT_EQ(frame[6], 17);
}

}  // namespace
