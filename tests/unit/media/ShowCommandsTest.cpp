// The show commands: each one's bad arguments give an error result that
// says what is wrong, and the good ones do their work (volume steps, a script
// started without a shell, a media file played alone, all lights off).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/LSEQFile.h"
#include "media/MediaTestUtil.h"
#include "mediaoutput/MediaOutput.h"
#include "mediaoutput/SoloMedia.h"
#include "platform/CommandManager.h"
#include "platform/EffectCommands.h"
#include "platform/Effects.h"
#include "platform/MosquittoClient.h"
#include "platform/ShowCommands.h"

namespace {

class ShowCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        mediatest::UseNullAudio();
        dir = mediatest::MakeMediaDir();
        system(("mkdir -p " + dir + "/scripts " + dir + "/effects").c_str());
        RegisterShowCommands();
        RegisterEffectCommands();
    }
    void TearDown() override {
        StopSoloMedia();
        StopAllEffects();
        StopChannelOutputThread();
        mediatest::RemoveDir(dir);
    }
    std::string error(const std::string& cmd, const std::vector<std::string>& args) {
        auto r = CommandManager::INSTANCE.run(cmd, args);
        EXPECT_TRUE(r->isError()) << cmd << " accepted bad arguments: " << r->get();
        return r->get();
    }
    bool waitFor(const std::function<bool()>& cond, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!cond() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return cond();
    }
    std::string dir;
};

TEST_F(ShowCommandsTest, RunScriptRefusesAndRunsWithoutAShell) {
    EXPECT_NE(error("Run Script", {}).find("needs a script"), std::string::npos);
    EXPECT_NE(error("Run Script", {"../x.sh"}).find("not inside"), std::string::npos);
    EXPECT_NE(error("Run Script", {"none.sh"}).find("not found"), std::string::npos);
    std::string script = dir + "/scripts/write.sh";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s|' \"$@\" > \"$(dirname \"$0\")/out.txt\"\n";
    chmod(script.c_str(), 0755);
    EXPECT_NE(error("Run Script", {"write.sh", "'open"}).find("unterminated"), std::string::npos);

    auto r = CommandManager::INSTANCE.run("Run Script", {"write.sh", "one 'two words' ; $(id)"});
    ASSERT_FALSE(r->isError()) << r->get();
    std::string out = dir + "/scripts/out.txt";
    std::string text;
    waitFor(
        [&] {
            std::ifstream in(out);
            text.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            return text.size() >= 20;
        },
        5000);
    EXPECT_EQ(text, "one|two words|;|$(id)|") << "arguments reach the script as words, never through a shell";
}

TEST_F(ShowCommandsTest, UrlAndMqttRefuseBadArguments) {
    error("URL", {});
    EXPECT_NE(error("URL", {"ftp://host/x"}).find("http://"), std::string::npos);
    EXPECT_NE(error("URL", {"http://127.0.0.1/", "PUT"}).find("GET or POST"), std::string::npos);
    EXPECT_NE(error("URL", {"http://127.0.0.1/", "GET", "", "0"}).find("timeout"), std::string::npos);
    error("URL", {"http://127.0.0.1/", "GET", "", "abc"});
    error("URL", {"http://127.0.0.1/", "GET", "", "301"});

    EXPECT_NE(error("MQTT Publish", {}).find("topic"), std::string::npos);
    error("MQTT Publish", {"t", "p", "perhaps"});
    ASSERT_EQ(mqtt, nullptr);
    EXPECT_NE(error("MQTT Publish", {"t", "p"}).find("no MQTT broker"), std::string::npos);

    MosquittoClient offline("127.0.0.1", 1, "");
    std::string why;
    EXPECT_FALSE(offline.PublishTopic("a/#", "x", false, why));
    EXPECT_NE(why.find("wildcard"), std::string::npos);
    EXPECT_FALSE(offline.PublishTopic("a/b", "x", false, why));
    EXPECT_NE(why.find("not connected"), std::string::npos);
}

TEST_F(ShowCommandsTest, VolumeStepsAreCheckedAndClamped) {
    setVolume(50);
    error("Volume Increase", {"0"});
    error("Volume Increase", {"101"});
    error("Volume Decrease", {"five"});
    EXPECT_EQ(getVolume(), 50);
    EXPECT_EQ(CommandManager::INSTANCE.run("Volume Increase", {})->get(), "Volume 55");
    EXPECT_EQ(CommandManager::INSTANCE.run("Volume Decrease", {"20"})->get(), "Volume 35");
    EXPECT_EQ(CommandManager::INSTANCE.run("Volume Increase", {"100"})->get(), "Volume 100");
    EXPECT_EQ(CommandManager::INSTANCE.run("Volume Decrease", {"100"})->get(), "Volume 0");
}

TEST_F(ShowCommandsTest, PlayMediaRefusesThenPlaysAFileAlone) {
    EXPECT_NE(error("Play Media", {}).find("needs"), std::string::npos);
    error("Play Media", {"../music/a.wav"});
    EXPECT_NE(error("Play Media", {"gone.wav"}).find("not found"), std::string::npos);
    std::ofstream(dir + "/music/notes.txt") << "la la";
    EXPECT_NE(error("Play Media", {"notes.txt"}).find("not a music or video"), std::string::npos);

    ASSERT_TRUE(mediatest::WriteWav(dir + "/music/tone.wav", 1500));
    auto r = CommandManager::INSTANCE.run("Play Media", {"tone.wav"});
    ASSERT_FALSE(r->isError()) << r->get();
    EXPECT_TRUE(SoloMediaPlaying());
    EXPECT_EQ(mediaOutputStatus->status, 0) << "the playlist's media status is not touched";
    EXPECT_TRUE(waitFor([] { return !SoloMediaPlaying(); }, 10000)) << "the file plays to its end";
}

TEST_F(ShowCommandsTest, AllLightsOffStopsEffectsAndDescribesEveryCommand) {
    LSEQWriter w(dir + "/effects/fx.lseq", 3, 1000);
    uint8_t frame[3] = {1, 2, 3};
    w.addFrame(frame);
    ASSERT_TRUE(w.close());
    ASSERT_GT(StartEffect("fx", 0, 1, false), 0);
    ASSERT_TRUE(EffectsRunning());
    EXPECT_FALSE(CommandManager::INSTANCE.run("All Lights Off", {})->isError());
    EXPECT_FALSE(EffectsRunning());

    Json::Value d = CommandManager::INSTANCE.getDescriptions();
    for (const char* name :
         {"Run Script", "URL", "MQTT Publish", "Volume Increase", "Volume Decrease", "Play Media",
          "All Lights Off", "Effect Start", "Effect Stop", "Effects Stop All"}) {
        bool found = false;
        for (const auto& c : d)
            if (c["name"].asString() == name) found = !c["description"].asString().empty();
        EXPECT_TRUE(found) << name << " is listed with a description";
    }
}

}  // namespace
