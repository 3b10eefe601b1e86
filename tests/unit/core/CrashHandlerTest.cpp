#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "CrashHandler.h"
#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

std::string makeTempDir() {
    char tmpl[] = "/tmp/lyrd-crash-test-XXXXXX";
    return mkdtemp(tmpl);
}

struct LogCapture {
    std::vector<std::string> lines;
    LogCapture() {
        SetLogSink([this](int, const std::string&, const std::string& m) { lines.push_back(m); });
    }
    ~LogCapture() { SetLogSink(nullptr); }
    bool has(const std::string& text) const {
        for (auto& l : lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
};

}  // namespace

TEST(CrashArchives, RotationKeepsTheNewestByName) {
    std::string dir = makeTempDir();
    for (int i = 0; i < 12; i++) {
        char name[64];
        snprintf(name, sizeof(name), "/lyr-BBB-1.0-2024-01-%02d_00-00-00.zip", i + 1);
        ASSERT_TRUE(Touch(dir + name));
    }
    crash::RotateArchives(dir, 10);
    EXPECT_FALSE(FileExists(dir + "/lyr-BBB-1.0-2024-01-01_00-00-00.zip"));
    EXPECT_FALSE(FileExists(dir + "/lyr-BBB-1.0-2024-01-02_00-00-00.zip"));
    EXPECT_TRUE(FileExists(dir + "/lyr-BBB-1.0-2024-01-03_00-00-00.zip"));
    EXPECT_TRUE(FileExists(dir + "/lyr-BBB-1.0-2024-01-12_00-00-00.zip"));
    crash::RotateArchives(dir + "/missing", 10);  // a missing folder is no error
}

TEST(CrashArchives, ZipCommandByShareLevel) {
    EXPECT_EQ(crash::ZipCommand("crashes/a.zip", 1), "zip -r crashes/a.zip /tmp/lyrd_crash.log");
    EXPECT_EQ(crash::ZipCommand("crashes/a.zip", 2), "zip -r crashes/a.zip /tmp/lyrd_crash.log settings");
    EXPECT_EQ(crash::ZipCommand("crashes/a.zip", 3),
              "zip -r crashes/a.zip /tmp/lyrd_crash.log settings config tmp logs/lyrd.log");
    EXPECT_EQ(crash::ZipCommand("crashes/a.zip", 7), crash::ZipCommand("crashes/a.zip", 3));
}

TEST(UsageStatistics, PublishesAtMostOncePerTenDays) {
    crash::ResetStatsClockForTesting();
    SetSetting("statsPublish", "");
    VB_GENERAL.level = LOG_DEBUG;
    LogCapture log;
    PublishStatsBackground("Startup");
    EXPECT_TRUE(log.has("Not Publishing statistics as mode is ''"));
    EXPECT_FALSE(log.has("not been 10 days yet"));
    PublishStatsBackground("normal");
    EXPECT_TRUE(log.has("PublishStats called, but not been 10 days yet."));
    VB_GENERAL.level = LOG_INFO;
}
