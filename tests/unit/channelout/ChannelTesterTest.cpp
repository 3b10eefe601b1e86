#include <gtest/gtest.h>

#include <vector>

#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/Sequence.h"
#include "platform/ChannelTester.h"

namespace {

class ChannelTesterTest : public ::testing::Test {
protected:
    void TearDown() override {
        ChannelTester::INSTANCE.SetupTest(std::string(R"({"enabled": 0})"));
        StopChannelOutputThread();
    }
    // Sets up a test and stops the output thread it starts, so only the
    // draws below move the pattern.
    bool setup(const char* json) {
        bool ok = t.SetupTest(std::string(json));
        StopChannelOutputThread();
        return ok;
    }
    std::vector<uint8_t> draw(int64_t ms) {
        std::vector<uint8_t> ch(LYRD_MAX_CHANNELS, 7);
        ChannelTester::INSTANCE.OverlayTestData(ch.data(), ms);
        return std::vector<uint8_t>(ch.begin(), ch.begin() + 12);
    }
    ChannelTester& t = ChannelTester::INSTANCE;
};

TEST_F(ChannelTesterTest, ChasesStepWithTimeAndLeaveOtherChannelsAlone) {
    ASSERT_TRUE(setup(R"({"mode": "SingleChase", "channelSet": "2-7", "chaseSize": 3,
        "chaseValue": 200, "cycleMS": 100})"));
    EXPECT_EQ((std::vector<uint8_t>{7, 200, 0, 0, 200, 0, 0, 7, 7, 7, 7, 7}), draw(1000));
    EXPECT_EQ((std::vector<uint8_t>{7, 0, 200, 0, 0, 200, 0, 7, 7, 7, 7, 7}), draw(1150));

    ASSERT_TRUE(setup(R"({"mode": "RGBChase", "channelSet": "1-6"})"));
    EXPECT_EQ((std::vector<uint8_t>{255, 0, 0, 0, 255, 0, 7, 7, 7, 7, 7, 7}), draw(0));
    EXPECT_EQ((std::vector<uint8_t>{0, 255, 0, 0, 0, 255, 7, 7, 7, 7, 7, 7}), draw(100));

    ASSERT_TRUE(setup(R"({"mode": "RGBCycle", "channelSet": "4-6,10-12"})"));
    EXPECT_EQ((std::vector<uint8_t>{7, 7, 7, 255, 0, 0, 7, 7, 7, 255, 0, 0}), draw(0));
    EXPECT_EQ((std::vector<uint8_t>{7, 7, 7, 0, 0, 255, 7, 7, 7, 0, 0, 255}), draw(200));
}

TEST_F(ChannelTesterTest, BadSetupIsRefusedWholeAndKeepsTheRunningTest) {
    ASSERT_TRUE(setup(R"({"mode": "RGBFill", "channelSet": "1-3", "colorR": 9})"));
    for (const char* bad : {R"({"mode": "Sparkle"})", R"({"channelSet": "5-2"})", R"({"channelSet": "0-4"})",
                            R"({"channelSet": "1-99999999"})", R"({"colorG": 256})", R"({"cycleMS": 0})",
                            R"({"mode": "RGBFill", "channelSet": "1-3", "colorB": -1})", "[1,2]", "not json"}) {
        EXPECT_FALSE(t.SetupTest(std::string(bad))) << bad;
        EXPECT_FALSE(t.LastError().empty()) << bad;
    }
    EXPECT_TRUE(t.Testing()) << "the running test is left as it was";
    Json::Value cfg;
    ASSERT_TRUE(Json::Reader().parse(t.GetConfig(), cfg));
    EXPECT_EQ("RGBFill", cfg["mode"].asString());
    EXPECT_EQ("1-3", cfg["channelSet"].asString());
    EXPECT_EQ(9, cfg["colorR"].asInt());
    EXPECT_EQ(1, cfg["enabled"].asInt());
    EXPECT_EQ(9, draw(0)[0]);

    EXPECT_FALSE(t.SetupTest(std::string(R"({"enabled": 0})")));
    EXPECT_FALSE(t.Testing());
    EXPECT_EQ((std::vector<uint8_t>(12, 7)), draw(0)) << "no test, no drawing";
}

}  // namespace
