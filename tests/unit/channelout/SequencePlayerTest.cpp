#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "ChannelOutTestUtil.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/ChannelOutputs.h"
#include "channeloutput/LSEQFile.h"
#include "channeloutput/Sequence.h"
#include "platform/ChannelTester.h"
#include "platform/Logging.h"

namespace {

using namespace std::chrono_literals;

// Sequence player, output thread and E1.31 output together, received on
// loopback inside the test's own network namespace.
class SequencePlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(cotest::EnterPrivateNetwork());
        dir = cotest::MakeMediaDir();
        std::ofstream(dir + "/config/co-universes.json") << R"({"channelOutputs": [{"type": "universes",
            "universes": [{"id": 1, "startChannel": 1, "channelCount": 512, "address": "127.0.0.1"},
                          {"id": 2, "startChannel": 513, "channelCount": 88, "address": "127.0.0.1"}]}]})";
        ASSERT_EQ(1, InitializeChannelOutputs());
        SetChannelOutputAlwaysTransmit(false);
        EnableChannelOutput();
        sequence = new Sequence();
        rx = std::make_unique<cotest::Receiver>();
        ASSERT_TRUE(rx->ok);
    }
    void TearDown() override {
        StopChannelOutputThread();
        if (sequence) sequence->CloseSequenceFile();
        delete sequence;
        sequence = nullptr;
        CloseChannelOutputs();
        EnableChannelOutput();
        rx.reset();
        cotest::RemoveDir(dir);
    }
    void writeSeq(const std::string& name, uint32_t frames, int stepMS) {
        ASSERT_TRUE(WriteLSEQTestSequence(dir + "/sequences/" + name, 600, frames, stepMS));
    }
    // Universe-1 packets received until `quietMS` pass without one.
    std::vector<cotest::Packet> universe1(int quietMS) {
        std::vector<cotest::Packet> out;
        for (auto& p : rx->drain(quietMS))
            if (p.universe() == 1) out.push_back(std::move(p));
        return out;
    }
    std::vector<cotest::Packet> universe1For(int ms) {
        std::vector<cotest::Packet> out;
        for (auto& p : rx->collectFor(ms))
            if (p.universe() == 1) out.push_back(std::move(p));
        return out;
    }
    bool waitThreadStopped(int ms) {
        for (int i = 0; i < ms / 10; i++) {
            if (!ChannelOutputThreadIsRunning()) return true;
            std::this_thread::sleep_for(10ms);
        }
        return !ChannelOutputThreadIsRunning();
    }
    std::string dir;
    std::unique_ptr<cotest::Receiver> rx;
};

TEST_F(SequencePlayerTest, TwoSecondSequencePlaysEveryFrameInOrderThenStops) {
    writeSeq("two.lseq", 80, 25);
    auto t0 = std::chrono::steady_clock::now();
    sequence->StartSequence("two.lseq", 0);
    EXPECT_TRUE(sequence->IsSequenceRunning("two.lseq"));
    EXPECT_FALSE(sequence->IsSequenceRunning("other.lseq"));
    EXPECT_EQ("two.lseq", sequence->GetSequenceFilename());
    EXPECT_EQ(25, sequence->GetSeqStepTime());
    EXPECT_EQ(2000u, sequence->GetLengthMS());

    auto pk = universe1(400);
    auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_GE(pk.size(), 80u);
    std::vector<uint8_t> want(512);
    for (uint32_t f = 0; f < 80; f++) {
        ASSERT_EQ(f, pk[f].patternFrame()) << "packet " << f;
        FillLSEQTestFrame(f, want.data(), 512);
        ASSERT_EQ(0, memcmp(want.data(), pk[f].data(), 512)) << "frame " << f << " carries its own data";
        EXPECT_EQ(int(f & 0xFF), pk[f].sequence());
    }
    for (size_t i = 80; i < pk.size(); i++) EXPECT_EQ(79u, pk[i].patternFrame()) << "the last frame stays";
    EXPECT_GT(took, 1900ms);
    EXPECT_FALSE(sequence->IsSequenceRunning());
    EXPECT_TRUE(waitThreadStopped(500)) << "nothing left to output";
}

TEST_F(SequencePlayerTest, PauseHoldsAFrameAndStepsMoveIt) {
    writeSeq("p.lseq", 400, 20);
    sequence->StartSequence("p.lseq", 100);
    std::this_thread::sleep_for(150ms);
    sequence->SingleStepSequence();  // not paused: ignored
    sequence->SetSequencePaused(true);
    std::this_thread::sleep_for(60ms);
    int held = sequence->GetCurrentFrame();
    ASSERT_GE(held, 100);
    rx->collectFor(10);
    auto pk = universe1For(80);
    ASSERT_GE(pk.size(), 2u) << "a paused sequence keeps sending";
    for (auto& p : pk) EXPECT_EQ(uint32_t(held), p.patternFrame());
    EXPECT_EQ(uint64_t(held) * 20, sequence->GetElapsedMS());
    EXPECT_EQ(uint64_t(400 - held) * 20, sequence->GetRemainingMS());

    sequence->SingleStepSequence();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(held + 1, sequence->GetCurrentFrame());
    sequence->SingleStepSequenceBack();
    sequence->SingleStepSequenceBack();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(held - 1, sequence->GetCurrentFrame());
    rx->collectFor(10);
    pk = universe1For(60);
    ASSERT_FALSE(pk.empty());
    EXPECT_EQ(uint32_t(held - 1), pk.back().patternFrame());

    sequence->ToggleSequencePause();
    EXPECT_FALSE(sequence->IsSequencePaused());
    std::this_thread::sleep_for(100ms);
    EXPECT_GT(sequence->GetCurrentFrame(), held);
}

TEST_F(SequencePlayerTest, BlankingSendsOneAllZeroFrame) {
    sequence->SendBlankingData();
    auto pk = rx->drain(200);
    ASSERT_EQ(2u, pk.size()) << "one packet per universe";
    for (auto& p : pk)
        for (size_t i = 0; i < p.slots(); i++) ASSERT_EQ(0, p.data()[i]);
    EXPECT_FALSE(ChannelOutputThreadIsRunning());
}

TEST_F(SequencePlayerTest, ThreadStopsWhenIdleAndRunsWhileAnythingNeedsIt) {
    StartChannelOutputThread();
    EXPECT_TRUE(waitThreadStopped(300));

    SetChannelOutputAlwaysTransmit(true);
    StartChannelOutputThread();
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(ChannelOutputThreadIsRunning());
    SetChannelOutputAlwaysTransmit(false);
    EXPECT_TRUE(waitThreadStopped(300));

    ASSERT_TRUE(ChannelTester::INSTANCE.SetupTest(std::string(R"({"mode": "RGBFill", "channelSet": "1-3",
        "colorR": 1, "colorG": 2, "colorB": 3})")));
    EXPECT_TRUE(ChannelOutputThreadIsRunning()) << "a test starts output";
    rx->collectFor(30);
    auto pk = universe1For(60);
    ASSERT_FALSE(pk.empty());
    EXPECT_EQ(1, pk.back().data()[0]);
    EXPECT_EQ(3, pk.back().data()[2]);
    EXPECT_EQ(0, pk.back().data()[3]);
    ASSERT_FALSE(ChannelTester::INSTANCE.SetupTest(std::string(R"({"enabled": 0})")));
    EXPECT_TRUE(waitThreadStopped(300));

    // Start and stop races: repeated quickly, never deadlocks or leaks a thread.
    for (int i = 0; i < 20; i++) {
        StartChannelOutputThread();
        if (i % 3 == 0) StopChannelOutputThread();
    }
    StopChannelOutputThread();
    EXPECT_FALSE(ChannelOutputThreadIsRunning());
}

TEST_F(SequencePlayerTest, DisabledOutputSendsNothingWhilePlaying) {
    writeSeq("d.lseq", 20, 25);
    DisableChannelOutput();
    sequence->StartSequence("d.lseq", 0);
    EXPECT_TRUE(rx->collectFor(200).empty());
    EnableChannelOutput();
    EXPECT_FALSE(universe1For(100).empty());
}

TEST_F(SequencePlayerTest, RemoteFollowsTheMasterPosition) {
    writeSeq("r.lseq", 2000, 25);
    sequence->StartSequence("r.lseq", 0);
    std::this_thread::sleep_for(100ms);
    ResetMasterPosition();
    UpdateMasterPosition(400);  // master far ahead: catch up
    std::this_thread::sleep_for(60ms);
    int f = sequence->GetCurrentFrame();
    EXPECT_GE(f, 401);
    EXPECT_LE(f, 404);

    // Master reports on schedule: stays within a frame.
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 10; i++) {
        std::this_thread::sleep_until(start + i * 100ms);
        int master = 400 + 4 * i + 2;  // the 60 ms above count too
        UpdateMasterPosition(master);
        std::this_thread::sleep_for(1ms);
        EXPECT_LE(std::abs(sequence->GetCurrentFrame() - master), 1) << "report " << i;
    }

    UpdateMasterPosition(100);  // master jumped back: follow
    std::this_thread::sleep_for(40ms);
    EXPECT_LE(sequence->GetCurrentFrame(), 103);
}

TEST_F(SequencePlayerTest, MediaClockLeadsTheFrameShown) {
    writeSeq("m.lseq", 2000, 25);
    sequence->StartSequence("m.lseq", 0);
    std::this_thread::sleep_for(50ms);
    CalculateNewChannelOutputDelay(10.0f);
    std::this_thread::sleep_for(30ms);
    int f = sequence->GetCurrentFrame();
    EXPECT_GE(f, 400);
    EXPECT_LE(f, 403);
    ResetChannelOutputFrameNumber();
    std::this_thread::sleep_for(30ms);
    EXPECT_LE(sequence->GetCurrentFrame(), 2);
}

TEST_F(SequencePlayerTest, MediaStillAtZeroDoesNotHoldTheSequence) {
    writeSeq("z.lseq", 2000, 25);
    sequence->StartSequence("z.lseq", 0);
    // The media output's first reports, before its audio has started.
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 20; i++) {
        std::this_thread::sleep_until(start + i * 10ms);
        CalculateNewChannelOutputDelay(0.0f);
    }
    int f = sequence->GetCurrentFrame();
    EXPECT_GE(f, 6) << "held at the start while the media reported 0";
    // Once the media clock moves, it leads again.
    CalculateNewChannelOutputDelay(5.0f);
    std::this_thread::sleep_for(30ms);
    EXPECT_GE(sequence->GetCurrentFrame(), 200);
    EXPECT_LE(sequence->GetCurrentFrame(), 203);
}

TEST_F(SequencePlayerTest, OpenStartAndCloseByName) {
    writeSeq("a.lseq", 100, 25);
    writeSeq("b.lseq", 100, 25);
    EXPECT_EQ(0, sequence->OpenSequenceFile("../config/co-universes.json"));
    EXPECT_EQ(0, sequence->OpenSequenceFile("missing.lseq"));
    sequence->StartSequence("missing.lseq", 0);
    EXPECT_FALSE(sequence->IsSequenceRunning());

    ASSERT_EQ(1, sequence->OpenSequenceFile("a.lseq", 0, 1));  // from second 1
    sequence->StartSequence();
    std::this_thread::sleep_for(30ms);
    EXPECT_GE(sequence->GetCurrentFrame(), 40);
    // Preparing the next sequence leaves the playing one alone.
    ASSERT_EQ(1, sequence->OpenSequenceFile("b.lseq"));
    EXPECT_TRUE(sequence->IsSequenceRunning("a.lseq"));
    sequence->CloseIfOpen("b.lseq");
    EXPECT_TRUE(sequence->IsSequenceRunning("a.lseq"));
    sequence->StartSequence("b.lseq", 5);
    EXPECT_TRUE(sequence->IsSequenceRunning("b.lseq"));
    sequence->CloseIfOpen("a.lseq");
    EXPECT_TRUE(sequence->IsSequenceRunning("b.lseq"));
    sequence->CloseIfOpen("b.lseq");
    EXPECT_FALSE(sequence->IsSequenceRunning());
    EXPECT_EQ(0u, sequence->GetElapsedMS());
    EXPECT_EQ("", sequence->GetSequenceFilename());

    ASSERT_EQ(1, sequence->OpenSequenceFile(dir + "/sequences/a.lseq"));  // full path
    sequence->StartSequence();
    EXPECT_TRUE(sequence->IsSequenceRunning());
    sequence->CloseSequenceFile();
    EXPECT_FALSE(sequence->IsSequenceRunning());
}

}  // namespace
