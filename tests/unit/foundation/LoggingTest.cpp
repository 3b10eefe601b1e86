#include <gtest/gtest.h>

#include "TestUtil.h"
#include "platform/Logging.h"
#include "settings.h"

using testutil::LogCapture;
using testutil::LogLevels;

namespace {

class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override { LyrLogger::INSTANCE.SetAllLevels(LOG_INFO); }
    LogLevels restore;
};

TEST_F(LoggingTest, ComplexSpecSetsTheNamedFacilities) {
    ASSERT_TRUE(SetLogLevelComplex("debug:schedule,playlist;excess:mqtt"));
    EXPECT_EQ(LOG_DEBUG, VB_SCHEDULE.level.load());
    EXPECT_EQ(LOG_DEBUG, VB_PLAYLIST.level.load());
    EXPECT_EQ(LOG_EXCESS, VB_MQTT.level.load());
    EXPECT_EQ(LOG_INFO, VB_HTTP.level.load());
    EXPECT_EQ(LOG_EXCESS, LyrLogger::MinimumLogLevel());

    // The usage text's own example names "player".
    ASSERT_TRUE(SetLogLevelComplex("warn:player"));
    EXPECT_EQ(LOG_WARN, VB_PLAYLIST.level.load());

    ASSERT_TRUE(SetLogLevelComplex("excess"));
    for (auto* l : LyrLogger::INSTANCE.all()) EXPECT_EQ(LOG_EXCESS, l->level.load()) << l->name;

    // A plain level sets all; later parts win.
    ASSERT_TRUE(SetLogLevelComplex("warn;debug:Sync"));
    EXPECT_EQ(LOG_WARN, VB_GENERAL.level.load());
    EXPECT_EQ(LOG_DEBUG, VB_SYNC.level.load());
}

TEST_F(LoggingTest, BadSpecsChangeNothing) {
    ASSERT_TRUE(SetLogLevelComplex("debug:schedule"));
    std::string before = LyrLogger::GetLogLevelString();
    for (const char* bad : {"", "verbose", "debug:nosuch", "debug:schedule;bogus:mqtt",
                            "debug:schedule,nosuch", "excess:mqtt;loud", ";"}) {
        EXPECT_FALSE(SetLogLevelComplex(bad)) << bad;
        EXPECT_EQ(before, LyrLogger::GetLogLevelString()) << bad;
    }
    EXPECT_EQ(LOG_INFO, VB_MQTT.level.load());
}

TEST_F(LoggingTest, LevelStringRoundTrips) {
    EXPECT_EQ("info", LyrLogger::GetLogLevelString());
    ASSERT_TRUE(SetLogLevelComplex("debug:Schedule,Playlist;excess:MQTT;error:HTTP"));
    std::string text = LyrLogger::GetLogLevelString();
    std::vector<int> levels;
    for (auto* l : LyrLogger::INSTANCE.all()) levels.push_back(l->level.load());

    LyrLogger::INSTANCE.SetAllLevels(LOG_WARN);
    ASSERT_TRUE(SetLogLevelComplex(text)) << text;
    std::vector<int> after;
    for (auto* l : LyrLogger::INSTANCE.all()) after.push_back(l->level.load());
    EXPECT_EQ(levels, after) << text;
}

TEST_F(LoggingTest, WillLogAndTheSinkSeeOnlyWhatTheFacilityAllows) {
    LogCapture log;
    EXPECT_TRUE(WillLog(LOG_INFO, VB_PLAYLIST));
    EXPECT_FALSE(WillLog(LOG_DEBUG, VB_PLAYLIST));
    int evaluated = 0;
    auto count = [&evaluated]() { return ++evaluated; };
    LogDebug(VB_PLAYLIST, "hidden %d\n", count());
    EXPECT_EQ(0, evaluated);  // arguments cost nothing when the line is dropped
    LogInfo(VB_PLAYLIST, "shown %d of %s\n", count(), "two");
    LogErr(VB_MQTT, "broken\n");

    auto lines = log.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(LOG_INFO, lines[0].level);
    EXPECT_EQ("Playlist", lines[0].facility);
    EXPECT_EQ("shown 1 of two\n", lines[0].message);
    EXPECT_EQ(LOG_ERR, lines[1].level);
    EXPECT_EQ("MQTT", lines[1].facility);

    std::string longText(5000, 'x');
    LogInfo(VB_GENERAL, "%s\n", longText.c_str());
    EXPECT_EQ(longText + "\n", log.lines().back().message);
}

TEST_F(LoggingTest, FileOutputCarriesFacilityAndSourceLine) {
    testutil::TempDir dir;
    std::string file = dir.sub("lyrd.log");
    SetLogFile(file, false);
    EXPECT_TRUE(loggingToFile());
    int line = __LINE__ + 1;
    LogWarn(VB_SYNC, "to the file %d\n", 7);
    SetLogFile("", true);
    EXPECT_FALSE(loggingToFile());
    std::string text = testutil::readFile(file);
    EXPECT_NE(std::string::npos, text.find("[Sync]")) << text;
    EXPECT_NE(std::string::npos, text.find("LoggingTest.cpp:" + std::to_string(line))) << text;
    EXPECT_NE(std::string::npos, text.find("to the file 7\n")) << text;

    // In the foreground the console is the log, even when a file is named.
    SetLogFile(file, true);
    EXPECT_FALSE(loggingToFile());
    SetLogFile("", true);
}

TEST_F(LoggingTest, InitAppliesLevelSettings) {
    Json::Value saved = settings.values;
    settings.values["LogLevel_GPIO"] = "debug";
    settings.values["LogLevel_HTTP"] = "";
    settings.values["LogLevel_Effect"] = "nonsense";
    LyrLogger::INSTANCE.Init();
    EXPECT_EQ(LOG_DEBUG, VB_GPIO.level.load());
    EXPECT_EQ(LOG_INFO, VB_HTTP.level.load());
    EXPECT_EQ(LOG_INFO, VB_EFFECT.level.load());
    settings.values = saved;
}

}  // namespace
