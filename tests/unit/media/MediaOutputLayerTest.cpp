// The media-output layer: output creation by extension, the one current
// output the remote side drives, late joining, and the persisted volume.
#include <gtest/gtest.h>

#include "MediaTestUtil.h"
#include "common.h"
#include "mediaoutput/CinemaOut.h"
#include "mediaoutput/MediaOutput.h"
#include "settings.h"

using namespace mediatest;

namespace {

class MediaOutputLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        UseNullAudio();
        dir = MakeMediaDir();
        ResetMediaOutputForTesting();
        settings.lyrMode = PLAYER_MODE;
        SetSetting("volume", "");
        SetSetting("VideoOutput", "");
    }
    void TearDown() override {
        ResetMediaOutputForTesting();
        settings.lyrMode = PLAYER_MODE;
        RemoveDir(dir);
    }
    std::string dir;
};

TEST_F(MediaOutputLayerTest, CreatesVlcOutputsForAudioAndVideoOnly) {
    ASSERT_TRUE(WriteWav(dir + "/music/a.WAV", 300));
    std::unique_ptr<MediaOutputBase> a(CreateMediaOutput("a.WAV", "--Disabled--"));
    EXPECT_NE(dynamic_cast<CinemaOutput*>(a.get()), nullptr);
    std::unique_ptr<MediaOutputBase> v(CreateMediaOutput("show.mp4", "--Disabled--"));
    EXPECT_NE(dynamic_cast<CinemaOutput*>(v.get()), nullptr);
    EXPECT_EQ(CreateMediaOutput("notes.txt", "--Disabled--"), nullptr);
    EXPECT_EQ(CreateMediaOutput("noextension", "--Disabled--"), nullptr);
    EXPECT_EQ(CreateMediaOutput("dir.mp3/", "--Disabled--"), nullptr);
}

TEST_F(MediaOutputLayerTest, DefaultVideoOutputFallsBackToDisabled) {
    EXPECT_EQ(ResolveVideoOutput("--Default--"), "--Disabled--");
    SetSetting("VideoOutput", "HDMI-A-1");
    EXPECT_EQ(ResolveVideoOutput("--Default--"), "HDMI-A-1");
    EXPECT_EQ(ResolveVideoOutput("fb1"), "fb1");
    EXPECT_EQ(ResolveVideoOutput(""), "--Disabled--");
}

TEST_F(MediaOutputLayerTest, RemoteSideOpensStartsMatchesAndCloses) {
    ASSERT_TRUE(WriteWav(dir + "/music/song.wav", 3000));
    EXPECT_FALSE(OpenMediaOutput("song"));  // no extension: no handler
    EXPECT_EQ(mediaOutput, nullptr);

    ASSERT_TRUE(OpenMediaOutput("song.wav"));
    EXPECT_TRUE(MatchesRunningMediaFilename("song.wav"));
    EXPECT_FALSE(MatchesRunningMediaFilename("other.wav"));
    EXPECT_FALSE(MatchesRunningMediaFilename(""));
    ASSERT_TRUE(StartMediaOutput("song.wav"));
    EXPECT_EQ(mediaOutputStatus->status, 1);
    MediaOutputBase* first = mediaOutput;
    EXPECT_TRUE(StartMediaOutput("song.wav")) << "already playing: nothing changes";
    EXPECT_EQ(mediaOutput, first);

    // A start for another file replaces the output.
    ASSERT_TRUE(WriteWav(dir + "/music/next.wav", 3000));
    ASSERT_TRUE(StartMediaOutput("next.wav"));
    EXPECT_TRUE(MatchesRunningMediaFilename("next.wav"));

    CloseMediaOutput();
    EXPECT_EQ(mediaOutput, nullptr);
    EXPECT_EQ(mediaOutputStatus->status, 0);
    CloseMediaOutput();  // twice is harmless
}

TEST_F(MediaOutputLayerTest, StartOfAMissingFileFailsAndLeavesNoOutput) {
    EXPECT_FALSE(StartMediaOutput("missing.wav"));
    EXPECT_EQ(mediaOutput, nullptr);
    EXPECT_EQ(mediaOutputStatus->status, 0);
}

TEST_F(MediaOutputLayerTest, RemoteJoinsAtTheMastersPositionAndGivesUpOnMissingFiles) {
    ASSERT_TRUE(WriteWav(dir + "/music/late.wav", 8000));
    UpdateMasterMediaPosition("late.wav", 3.0f);
    EXPECT_EQ(mediaOutput, nullptr) << "a player does not follow positions on its own";

    settings.lyrMode = REMOTE_MODE;
    UpdateMasterMediaPosition("late.wav", 3.0f);
    ASSERT_TRUE(MatchesRunningMediaFilename("late.wav"));
    ASSERT_TRUE(PollUntil(
        [] {
            std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
            return mediaOutput->Process() && mediaOutputStatus->mediaSeconds > 0.01f;
        },
        3000));
    EXPECT_GE(mediaOutputStatus->mediaSeconds, 2.9f);

    // Further positions trim the rate of the open output.
    UpdateMasterMediaPosition("late.wav", mediaOutputStatus->mediaSeconds + 0.5f);
    auto* vlc = dynamic_cast<CinemaOutput*>(mediaOutput);
    ASSERT_NE(vlc, nullptr);
    EXPECT_GT(vlc->GetSpeedController()->currentRate, 1.0f);

    CloseMediaOutput();
    UpdateMasterMediaPosition("absent.wav", 1.0f);
    EXPECT_EQ(mediaOutput, nullptr);
    UpdateMasterMediaPosition("absent.wav", 1.5f);  // not retried on every packet
    EXPECT_EQ(mediaOutput, nullptr);
}

TEST_F(MediaOutputLayerTest, VolumeIsClampedAppliedToLiveOutputsAndSurvivesARestart) {
    ASSERT_TRUE(WriteWav(dir + "/music/v.wav", 2000));
    InitMediaOutput();
    EXPECT_EQ(getVolume(), 70);
    EXPECT_EQ(setVolume(150), 100);
    EXPECT_EQ(setVolume(-4), 0);
    EXPECT_EQ(setVolume(35), 35);
    EXPECT_EQ(getSetting("volume"), "35");

    std::unique_ptr<MediaOutputBase> out(CreateMediaOutput("v.wav", "--Disabled--"));
    EXPECT_EQ(out->GetVolume(), 35) << "a new output starts at the current volume";
    ASSERT_TRUE(out->Start(0));
    setVolume(60);
    out->Process();  // the owner applies it on its own thread
    EXPECT_EQ(out->GetVolume(), 60);
    out.reset();

    Json::Value saved;
    ASSERT_TRUE(LoadJsonFromFile(dir + "/config/volume.json", saved));
    EXPECT_EQ(saved["volume"].asInt(), 60);

    // As after a restart: the saved file wins over the settings file's value.
    ResetMediaOutputForTesting();
    SetSetting("volume", "20");
    InitMediaOutput();
    EXPECT_EQ(getVolume(), 60);
}

TEST_F(MediaOutputLayerTest, UnreadableVolumeFileFallsBackToTheSetting) {
    ASSERT_TRUE(WriteFile(dir + "/config/volume.json", "{ not json"));
    SetSetting("volume", "25");
    InitMediaOutput();
    EXPECT_EQ(getVolume(), 25);
    // The next change replaces the broken file with a good one.
    setVolume(30);
    Json::Value saved;
    ASSERT_TRUE(LoadJsonFromFile(dir + "/config/volume.json", saved));
    EXPECT_EQ(saved["volume"].asInt(), 30);
}

TEST_F(MediaOutputLayerTest, VolumeGivenBeforeStartUpIsNotSaved) {
    setVolume(10);  // as the command line's -v does, before the layer starts
    EXPECT_FALSE(FileExists(dir + "/config/volume.json"));
    InitMediaOutput();
    EXPECT_EQ(getVolume(), 10) << "nothing saved: the command line value stays";
}

}  // namespace
