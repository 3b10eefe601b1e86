// Real playback through libVLC into ALSA's null device.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MediaTestUtil.h"
#include "mediaoutput/CinemaOut.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/Logging.h"
#include "platform/MediaDetails.h"
#include "settings.h"

using namespace mediatest;

namespace {

class CinemaOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        UseNullAudio();
        dir = MakeMediaDir();
        ResetMediaOutputForTesting();
        SetSetting("remoteIgnoreSync", "0");
        settings.lyrMode = PLAYER_MODE;
        SetLogSink([this](int level, const std::string& facility, const std::string& msg) {
            std::lock_guard<std::mutex> l(logLock);
            lines.push_back(msg);
        });
    }
    void TearDown() override {
        SetLogSink(nullptr);
        ResetMediaOutputForTesting();
        settings.lyrMode = PLAYER_MODE;
        RemoveDir(dir);
    }
    bool Logged(const std::string& text) {
        std::lock_guard<std::mutex> l(logLock);
        for (const auto& s : lines)
            if (s.find(text) != std::string::npos) return true;
        return false;
    }
    std::string Music(const std::string& name) { return dir + "/music/" + name; }

    std::string dir;
    MediaOutputStatus status;
    std::mutex logLock;
    std::vector<std::string> lines;
};

TEST_F(CinemaOutputTest, PlaysInRealTimeAndReportsTheEnd) {
    ASSERT_TRUE(WriteWav(Music("tone.wav"), 4000));
    CinemaOutput out("tone.wav", &status, "--Disabled--");
    EXPECT_EQ(out.m_mediaFilename, "tone.wav");
    EXPECT_EQ(currentMediaFilename, "tone.wav");
    ASSERT_TRUE(out.Start(0));
    EXPECT_EQ(status.status, 1);
    EXPECT_TRUE(out.IsPlaying());

    // Elapsed media time against the wall clock, from 0.5 s to 2 s in (the
    // null device ends the file up to a second early, see MediaTestUtil.h).
    int64_t t0 = SteadyMS();
    float at05 = -1, at20 = -1;
    int64_t w05 = 0, w20 = 0;
    bool ended = !PollUntil(
        [&] {
            bool playing = out.Process();
            int64_t w = SteadyMS() - t0;
            if (at05 < 0 && w >= 500) at05 = status.mediaSeconds, w05 = w;
            if (at20 < 0 && w >= 2000) at20 = status.mediaSeconds, w20 = w;
            return !playing;
        },
        8000);
    EXPECT_FALSE(ended) << "the output never reported its end";
    ASSERT_GT(at20, at05);
    double ratio = (at20 - at05) * 1000.0 / (w20 - w05);
    RecordProperty("media_to_wall_ratio", std::to_string(ratio));
#ifndef LYRD_SANITIZED  // instrumented builds decode too slowly to hold real time
    EXPECT_GT(ratio, 0.85);
    EXPECT_LT(ratio, 1.15);
#endif

    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.secondsRemaining, 0);
    EXPECT_EQ(status.minutesTotal, 0);
    EXPECT_EQ(status.secondsTotal, 4);
    EXPECT_NEAR(status.mediaSeconds, 4.0f, 0.01f);
    EXPECT_FALSE(out.IsPlaying());
}

TEST_F(CinemaOutputTest, FindsFilesByPathOrInTheMediaFoldersAndRejectsMissingOnes) {
    ASSERT_TRUE(WriteWav(dir + "/videos/clip.wav", 500));
    ASSERT_TRUE(WriteWav(dir + "/elsewhere.wav", 500));
    {
        CinemaOutput byFolder("clip.wav", &status, "--Disabled--");
        EXPECT_TRUE(byFolder.Start(0));
        byFolder.Stop();
        EXPECT_EQ(status.status, 0);
    }
    {
        CinemaOutput byPath(dir + "/elsewhere.wav", &status, "--Disabled--");
        EXPECT_TRUE(byPath.Start(0));
    }
    CinemaOutput missing("nothere.wav", &status, "--Disabled--");
    EXPECT_TRUE(Logged(dir + "/videos/nothere.wav does not exist!"));
    EXPECT_EQ(currentMediaFilename, "");
    EXPECT_FALSE(missing.Start(0));
    EXPECT_FALSE(missing.Process());
    EXPECT_FALSE(missing.Restart());
    EXPECT_TRUE(missing.AdjustSpeed(3.0f));
    EXPECT_EQ(status.status, 0);
}

TEST_F(CinemaOutputTest, StartAtAnOffsetSeeksThere) {
    ASSERT_TRUE(WriteWav(Music("long.wav"), 6000));
    CinemaOutput out("long.wav", &status, "--Disabled--");
    ASSERT_TRUE(out.Start(2500));
    ASSERT_TRUE(PollUntil([&] { return out.Process() && status.mediaSeconds > 0.01f; }, 3000));
    EXPECT_GE(status.mediaSeconds, 2.4f);
    EXPECT_LT(status.mediaSeconds, 3.5f);
}

TEST_F(CinemaOutputTest, RateFollowsTheMasterOnlyWhenSyncIsAllowed) {
    ASSERT_TRUE(WriteWav(Music("tone.wav"), 4000));
    CinemaOutput out("tone.wav", &status, "--Disabled--");
    ASSERT_TRUE(out.Start(0));
    ASSERT_TRUE(PollUntil([&] { return out.Process() && status.mediaSeconds > 0.5f; }, 3000));
    out.AdjustSpeed(status.mediaSeconds + 0.6f);  // master 600 ms ahead
    ASSERT_NE(out.GetSpeedController(), nullptr);
    EXPECT_GT(out.GetSpeedController()->currentRate, 1.2f);
    EXPECT_LT(out.GetSpeedController()->rateDiff, 0);

    SetSetting("remoteIgnoreSync", "1");
    CinemaOutput ignoring("tone.wav", &status, "--Disabled--");
    EXPECT_FALSE(ignoring.allowSpeedAdjust);
    ASSERT_TRUE(ignoring.Start(0));
    ASSERT_TRUE(PollUntil([&] { return ignoring.Process() && status.mediaSeconds > 0.3f; }, 3000));
    ignoring.AdjustSpeed(status.mediaSeconds + 0.6f);
    EXPECT_FLOAT_EQ(ignoring.GetSpeedController()->currentRate, 1.0f);
    EXPECT_EQ(ignoring.GetSpeedController()->lastDiff, -1);
}

TEST_F(CinemaOutputTest, FarBehindTheMasterJumps) {
    ASSERT_TRUE(WriteWav(Music("long.wav"), 20000));
    CinemaOutput out("long.wav", &status, "--Disabled--");
    ASSERT_TRUE(out.Start(0));
    ASSERT_TRUE(PollUntil([&] { return out.Process() && status.mediaSeconds > 0.2f; }, 3000));
    out.AdjustSpeed(14.0f);
    ASSERT_TRUE(PollUntil([&] { return out.Process() && status.mediaSeconds > 13.5f; }, 3000));
    EXPECT_LT(status.mediaSeconds, 15.0f);
    EXPECT_EQ(out.GetSpeedController()->lastDiff, -1);
}

TEST_F(CinemaOutputTest, CorruptFileEndsWithoutHanging) {
    ASSERT_TRUE(WriteFile(Music("broken.mp3"), std::string(4000, '\x5a')));
    CinemaOutput out("broken.mp3", &status, "--Disabled--");
    out.Start(0);
    EXPECT_TRUE(PollUntil([&] { return !out.Process(); }, 5000));
    EXPECT_EQ(status.status, 0);
}

TEST_F(CinemaOutputTest, FileRemovedWhilePlayingStillEndsCleanly) {
    ASSERT_TRUE(WriteWav(Music("gone.wav"), 1500));
    CinemaOutput out("gone.wav", &status, "--Disabled--");
    ASSERT_TRUE(out.Start(0));
    ASSERT_TRUE(PollUntil([&] { return out.Process() && status.mediaSeconds > 0.2f; }, 3000));
    unlink(Music("gone.wav").c_str());
    EXPECT_TRUE(PollUntil([&] { return !out.Process(); }, 5000));
}

TEST_F(CinemaOutputTest, VolumeAdjustmentAndRestart) {
    ASSERT_TRUE(WriteWav(Music("tone.wav"), 3000));
    int level = VB_MEDIAOUT.level;
    VB_MEDIAOUT.level = LOG_DEBUG;
    CinemaOutput out("tone.wav", &status, "--Disabled--");
    ASSERT_TRUE(out.Start(0));
    out.SetVolumeAdjustment(50);
    out.SetVolumeAdjustment(-100);
    VB_MEDIAOUT.level = level;
    EXPECT_TRUE(Logged("Volume Adjustment:\t50"));
    ASSERT_TRUE(PollUntil([&] { return out.Process() && status.mediaSeconds > 0.6f; }, 3000));
    ASSERT_TRUE(out.Restart());
    EXPECT_EQ(status.status, 1);
    EXPECT_EQ(status.secondsTotal, 3);
    // The time falls back near the start once the restart has taken effect.
    EXPECT_TRUE(PollUntil([&] { return out.Process() && status.mediaSeconds < 0.5f; }, 3000));
}

TEST_F(CinemaOutputTest, MediaDetailsReadsTheLength) {
    ASSERT_TRUE(WriteWav(Music("tone.wav"), 2500));
    MediaDetails d;
    ASSERT_TRUE(d.ParseMedia("tone.wav"));
    EXPECT_NEAR(d.lengthMS, 2500, 50);
    EXPECT_EQ(d.seconds, 2);
    EXPECT_EQ(d.minutes, 0);
    EXPECT_FALSE(d.title.empty());

    EXPECT_FALSE(d.ParseMedia("absent.wav"));
    EXPECT_EQ(d.lengthMS, 0);
    EXPECT_TRUE(d.title.empty());
}

}  // namespace
