#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <sstream>

#include "TestUtil.h"
#include "settings.h"

using testutil::LogCapture;
using testutil::makeDir;
using testutil::readFile;
using testutil::writeFile;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        bin = dir.sub("install");
        media = dir.sub("media");
        makeDir(bin);
        makeDir(bin + "/www");
        makeDir(bin + "/scripts");
        makeDir(media);
        savedValues = settings.values;
        savedMode = settings.lyrMode;
        settings.values = Json::Value(Json::objectValue);
        ResetLyrDirsForTesting(bin, media);
    }
    void TearDown() override {
        settings.values = savedValues;
        settings.lyrMode = savedMode;
        ResetLyrDirsForTesting(bin, media);
    }

    std::string settingsPath() const { return media + "/settings"; }
    void writeSettings(const std::string& content, mode_t mode = 0644) {
        writeFile(settingsPath(), content);
        chmod(settingsPath().c_str(), mode);
    }
    void writeUUIDScript(const std::string& body) {
        std::string path = bin + "/scripts/get_uuid";
        writeFile(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
    }
    std::string value(const char* name) { return settings.values[name].asString(); }

    testutil::TempDir dir;
    std::string bin, media;
    Json::Value savedValues;
    lyrMode savedMode;
};

TEST_F(SettingsTest, LinesAreSplitAtTheFirstRunOfEqualsAndTrimmedOfSpacesAndQuotes) {
    writeSettings(
        "plain=value\n"
        "spaced = a=b\n"
        "doubled ==b\n"
        "empty = \"\"\n"
        "\"quoted\" = \"value\"\n"
        "inner = say \"hi\" there\n"
        "crlf = \"x\"\r\n"
        "\n"
        "x\n"
        "   \n"
        "=orphan\n"
        "novalue\n"
        "nothing =\n"
        "repeat = 1\n"
        "repeat = 2\n"
        "last =");
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, LoadSettings(""));
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ("value", value("plain"));
    EXPECT_EQ("a", value("spaced"));
    EXPECT_EQ("b", value("doubled"));
    EXPECT_TRUE(settings.values.isMember("empty"));
    EXPECT_EQ("", value("empty"));
    EXPECT_TRUE(settings.values.isMember("quoted"));
    EXPECT_EQ("value", value("quoted"));
    EXPECT_EQ("say \"hi\" there", value("inner"));
    EXPECT_EQ("x", value("crlf"));
    EXPECT_EQ("", value("nothing"));
    EXPECT_EQ("2", value("repeat"));

    // A name with no value part is reported and ignored; a nameless line is ignored silently.
    EXPECT_NE(std::string::npos, err.find("Error tokenizing value for novalue setting\n"));
    EXPECT_NE(std::string::npos, err.find("Error tokenizing value for x setting\n"));
    EXPECT_NE(std::string::npos, err.find("Error tokenizing value for last setting\n"));
    EXPECT_FALSE(settings.values.isMember("novalue"));
    EXPECT_FALSE(settings.values.isMember("last"));
    EXPECT_FALSE(settings.values.isMember(""));
    EXPECT_FALSE(settings.values.isMember("orphan"));
}

TEST_F(SettingsTest, BinaryGarbageIsSkippedAndTheFileStillLoads) {
    std::string junk = "good1 = \"one\"\n";
    for (int i = 0; i < 600; i++) junk += static_cast<char>((i * 37 + 11) % 256);
    junk += std::string("\nnul = before", 13) + std::string(1, '\0') + "after\n";
    junk += "\xff\xfe=\x01\x02\n";
    junk += "good2 = \"two\"\n";
    writeSettings(junk);
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, LoadSettings(""));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ("one", value("good1"));
    EXPECT_EQ("two", value("good2"));
    EXPECT_EQ("before", value("nul"));
    EXPECT_EQ(PLAYER_MODE, getLyrmode());
}

TEST_F(SettingsTest, MissingFileKeepsDefaultsAndReportsIt) {
    settings.values["fromDefaults"] = "kept";
    LogCapture log;
    EXPECT_EQ(-1, LoadSettings(""));
    EXPECT_TRUE(log.containsAt(
        LOG_WARN, "Attempted to load settings file " + settingsPath() + " which does not exist!"));
    EXPECT_TRUE(log.containsAt(LOG_WARN, "Couldn't find UUID"));
    EXPECT_EQ("kept", value("fromDefaults"));
    EXPECT_EQ("Unknown", value("SystemUUID"));
    EXPECT_EQ(PLAYER_MODE, getLyrmode());
}

TEST_F(SettingsTest, UUIDComesFromTheFirstLineOfTheScript) {
    writeUUIDScript("echo 1234-abcd\necho second\n");
    settings.Init();
    EXPECT_EQ("1234-abcd", value("SystemUUID"));

    settings.values.removeMember("SystemUUID");
    writeUUIDScript("exit 0\n");
    settings.Init();
    EXPECT_EQ("Unknown", value("SystemUUID"));

    // 499 characters at most are taken from a very long line.
    settings.values.removeMember("SystemUUID");
    writeUUIDScript("printf '%0700d\\n' 0\n");
    settings.Init();
    EXPECT_EQ(499u, value("SystemUUID").size());
}

// The description file gives "SystemUUID" an empty default, so the value is
// present before the script runs: a silent or missing script must still end
// with "Unknown" and the warning, not the empty default.
TEST_F(SettingsTest, EmptyDefaultUUIDBecomesUnknownWhenTheScriptIsSilent) {
    for (const char* body : {"exit 0\n", "echo\n"}) {
        settings.values["SystemUUID"] = "";
        writeUUIDScript(body);
        LogCapture log;
        settings.Init();
        EXPECT_EQ("Unknown", value("SystemUUID")) << body;
        EXPECT_TRUE(log.containsAt(LOG_WARN, "Couldn't find UUID")) << body;
    }
    settings.values["SystemUUID"] = "";
    writeUUIDScript("echo abc\n");
    settings.Init();
    EXPECT_EQ("abc", value("SystemUUID"));
}

TEST_F(SettingsTest, PlayerAndRemoteModesLeaveTheFileAlone) {
    const std::string content = "lyrMode = \"remote\"\n\nother = \"1\"\n";
    writeSettings(content);
    EXPECT_EQ(0, LoadSettings(""));
    EXPECT_EQ(REMOTE_MODE, getLyrmode());
    EXPECT_EQ(content, readFile(settingsPath()));

    writeSettings("lyrMode = \"player\"\n");
    EXPECT_EQ(0, LoadSettings(""));
    EXPECT_EQ(PLAYER_MODE, getLyrmode());
}

TEST_F(SettingsTest, BridgeModeLoadsAsPlayerAndIsRewrittenInPlace) {
    writeSettings(
        "first = \"1\"\n"
        "\n"
        "lyrMode = \"bridge\"\n"
        "\n"
        "\n"
        "last = \"2\"\n",
        0640);
    EXPECT_EQ(0, LoadSettings(""));
    EXPECT_EQ(PLAYER_MODE, getLyrmode());
    EXPECT_EQ("bridge", value("lyrMode"));  // until the next load
    EXPECT_EQ(
        "first = \"1\"\n"
        "lyrMode = \"player\"\n"
        "last = \"2\"\n",
        readFile(settingsPath()));

    struct stat st;
    ASSERT_EQ(0, stat(settingsPath().c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    // Nothing but the settings file is left behind in the media directory.
    EXPECT_EQ(std::vector<std::string>{"settings"}, testutil::listDir(media));

    // The rewritten file loads cleanly and is not touched again.
    std::string rewritten = readFile(settingsPath());
    EXPECT_EQ(0, LoadSettings(""));
    EXPECT_EQ("player", value("lyrMode"));
    EXPECT_EQ(rewritten, readFile(settingsPath()));
}

TEST_F(SettingsTest, MasterModeReplacesAnExistingLockstepLine) {
    writeSettings(
        "LockstepEnabled = \"0\"\n"
        "\n"
        "HostName = \"show\"\n"
        "lyrMode = \"master\"\n"
        "LockstepRemotes = \"10.0.0.2\"\n",
        0600);
    EXPECT_EQ(0, LoadSettings(""));
    EXPECT_EQ(PLAYER_MODE, getLyrmode());
    EXPECT_EQ("player", value("lyrMode"));
    EXPECT_EQ("1", value("LockstepEnabled"));
    EXPECT_EQ(
        "LockstepEnabled = \"1\"\n"
        "HostName = \"show\"\n"
        "lyrMode = \"player\"\n"
        "LockstepRemotes = \"10.0.0.2\"\n",
        readFile(settingsPath()));
    struct stat st;
    ASSERT_EQ(0, stat(settingsPath().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST_F(SettingsTest, MasterModeAppendsTheLockstepLineWhenThereIsNone) {
    // A line without the " = " spacing is not recognised as the mode line;
    // the upgraded line is appended and wins on the next load.
    writeSettings(
        "a = \"1\"\n"
        "lyrMode = \"master\"\n"
        "\n"
        "b=\"2\"\n");
    EXPECT_EQ(0, LoadSettings(""));
    EXPECT_EQ(
        "a = \"1\"\n"
        "lyrMode = \"player\"\n"
        "b=\"2\"\n"
        "LockstepEnabled = \"1\"\n",
        readFile(settingsPath()));

    writeSettings("lyrMode=\"master\"\n");
    EXPECT_EQ(0, LoadSettings(""));
    EXPECT_EQ("lyrMode=\"master\"\nLockstepEnabled = \"1\"\nlyrMode = \"player\"\n",
              readFile(settingsPath()));
    EXPECT_EQ(0, LoadSettings(""));
    EXPECT_EQ("player", value("lyrMode"));
    EXPECT_EQ("1", value("LockstepEnabled"));
}

TEST_F(SettingsTest, UpgradeKeepsASymlinkedSettingsFileALink) {
    makeDir(dir.sub("real"));
    std::string target = dir.sub("real/settings.txt");
    writeFile(target, "lyrMode = \"bridge\"\n");
    ASSERT_EQ(0, symlink(target.c_str(), settingsPath().c_str()));
    EXPECT_EQ(0, LoadSettings(""));
    struct stat st;
    ASSERT_EQ(0, lstat(settingsPath().c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ("lyrMode = \"player\"\n", readFile(target));
}

using SettingsDeathTest = SettingsTest;

TEST_F(SettingsDeathTest, UnknownOrEmptyModeEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(SetSetting("lyrMode", "bogus"), ::testing::ExitedWithCode(1), "Error parsing mode");
    EXPECT_EXIT(SetSetting("lyrMode", ""), ::testing::ExitedWithCode(1), "Error parsing mode");
    writeSettings("lyrMode = \"\"\n");
    EXPECT_EXIT(LoadSettings(""), ::testing::ExitedWithCode(1), "Error parsing mode");
}

TEST_F(SettingsTest, IntegerGetterFollowsStrtol) {
    SetSetting("digits", "12abc");
    SetSetting("letters", "abc");
    SetSetting("signed", "  -5");
    SetSetting("number", 42);
    EXPECT_EQ(12, getSettingInt("digits"));
    EXPECT_EQ(0, getSettingInt("letters", 9));
    EXPECT_EQ(-5, getSettingInt("signed"));
    EXPECT_EQ(42, getSettingInt("number"));
    EXPECT_EQ("42", getSetting("number"));
    EXPECT_EQ(7, getSettingInt("unset", 7));
    EXPECT_EQ("fallback", getSetting("unset", "fallback"));
    // Neither getter creates what it looked for.
    EXPECT_FALSE(settings.values.isMember("unset"));
}

TEST_F(SettingsTest, EmptyNameGivesTheDefaultAndAnError) {
    LogCapture log;
    EXPECT_EQ("def", getSetting("", "def"));
    EXPECT_EQ("def", getSetting(nullptr, "def"));
    EXPECT_EQ(3, getSettingInt("", 3));
    EXPECT_TRUE(log.containsAt(LOG_ERR, "getSetting() called with NULL or empty value\n"));
    EXPECT_TRUE(log.containsAt(LOG_ERR, "getSettingInt() called with NULL or empty value\n"));
}

TEST_F(SettingsTest, LogLevelSettingsReachTheLoggers) {
    testutil::LogLevels restore;
    LyrLogger::INSTANCE.SetAllLevels(LOG_INFO);
    SetSetting("LogLevel_Playlist", "");
    EXPECT_EQ(LOG_WARN, VB_PLAYLIST.level.load());
    SetSetting("LogLevel_Schedule", "debug");
    EXPECT_EQ(LOG_DEBUG, VB_SCHEDULE.level.load());
    EXPECT_EQ("debug", value("LogLevel_Schedule"));

    // From the settings file too; an unknown level changes nothing.
    writeSettings("LogLevel_MQTT = \"excess\"\nLogLevel_HTTP = \"loud\"\n");
    EXPECT_EQ(0, LoadSettings(""));
    EXPECT_EQ(LOG_EXCESS, VB_MQTT.level.load());
    EXPECT_EQ(LOG_INFO, VB_HTTP.level.load());
}

TEST_F(SettingsTest, ModeTexts) {
    settings.lyrMode = REMOTE_MODE;
    EXPECT_EQ("remote", getLyrmodeStr());
    EXPECT_EQ("remote", getLyrmodeStr(static_cast<lyrMode>(0)));
    EXPECT_EQ("master", getLyrmodeStr(MASTER_MODE));
    EXPECT_EQ("bridge", getLyrmodeStr(BRIDGE_MODE));
    EXPECT_EQ("unknown", getLyrmodeStr(static_cast<lyrMode>(3)));
    char* text = modeToString(PLAYER_MODE);
    EXPECT_STREQ("player", text);
    free(text);
    for (const char* m : {"player", "remote", "bridge", "master"}) EXPECT_TRUE(IsKnownModeString(m)) << m;
    EXPECT_FALSE(IsKnownModeString(""));
    EXPECT_FALSE(IsKnownModeString("Player"));
}

TEST_F(SettingsTest, TrimWhitespace) {
    auto trim = [](const char* s, int q) {
        char* t = trimwhitespace(s, q);
        std::string r(t);
        free(t);
        return r;
    };
    EXPECT_EQ("", trim(" \t\r\n ", 0));
    EXPECT_EQ("", trim("", 1));
    EXPECT_EQ("\"a b\"", trim("  \"a b\"\n", 0));
    EXPECT_EQ("a b", trim("  \"a b\"\n", 1));
    EXPECT_EQ("a\"b", trim("\"a\"b\"", 1));
    EXPECT_EQ("", trim("\"\"", 1));
}

TEST_F(SettingsTest, MediaDirectoryComesFromTheRootPointerAndIsWrittenBack) {
    std::string pointer = bin + "/www/media_root.txt";
    writeFile(pointer, "  /srv/show \n");
    ResetLyrDirsForTesting(bin, "");
    EXPECT_EQ("/srv/show/settings", getLyrMediaDir("/settings"));
    EXPECT_EQ("/srv/show", getLyrMediaDir());
    EXPECT_EQ("/srv/show", readFile(pointer));

    writeFile(pointer, " \n");
    ResetLyrDirsForTesting(bin, "");
    EXPECT_EQ("/home/lyr/media", getLyrMediaDir());
    EXPECT_EQ("/home/lyr/media", readFile(pointer));

    unlink(pointer.c_str());
    ResetLyrDirsForTesting(bin, "");
    EXPECT_EQ("/home/lyr/media/x", getLyrMediaDir("/x"));
    EXPECT_EQ("/home/lyr/media", readFile(pointer));
}

// A packaged tree links the pointer to the administrator's copy in /etc and
// is read-only to the service: a pointer that already names the directory is
// left as it is (same file, still a link).
TEST_F(SettingsTest, MediaDirectoryPointerThatAgreesIsNotRewritten) {
    std::string pointer = bin + "/www/media_root.txt";
    std::string target = dir.sub("etc-media_root.txt");
    writeFile(target, "/srv/show\n");
    ASSERT_EQ(0, symlink(target.c_str(), pointer.c_str()));
    struct stat before;
    ASSERT_EQ(0, stat(target.c_str(), &before));
    ResetLyrDirsForTesting(bin, "");
    LogCapture log;
    EXPECT_EQ("/srv/show", getLyrMediaDir());
    struct stat link, after;
    ASSERT_EQ(0, lstat(pointer.c_str(), &link));
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    ASSERT_EQ(0, stat(target.c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ("/srv/show\n", readFile(target));
    EXPECT_FALSE(log.contains("not recorded"));

    // A pointer that does not agree (padded) is still written back, as before.
    unlink(pointer.c_str());
    writeFile(pointer, "/srv/show  \n\n");
    ResetLyrDirsForTesting(bin, "");
    EXPECT_EQ("/srv/show", getLyrMediaDir());
    EXPECT_EQ("/srv/show", readFile(pointer));
}

// Where the install tree cannot be written (no pointer yet, a service account
// without rights there) the default still applies and the log says why the
// pointer is missing.
TEST_F(SettingsTest, MediaDirectoryPointerThatCannotBeWrittenIsLogged) {
    std::string pointer = bin + "/www/media_root.txt";
    unlink(pointer.c_str());
    ASSERT_EQ(0, rmdir((bin + "/www").c_str()));
    ResetLyrDirsForTesting(bin, "");
    LogCapture log;
    EXPECT_EQ("/home/lyr/media", getLyrMediaDir());
    EXPECT_TRUE(log.contains("not recorded in " + pointer));
    makeDir(bin + "/www");
}

TEST_F(SettingsTest, InstallDirectoryIsTwoLevelsAboveTheExecutable) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    std::string expected(exe, static_cast<size_t>(n));
    expected = expected.substr(0, expected.rfind('/'));
    expected = expected.substr(0, expected.rfind('/'));
    ResetLyrDirsForTesting("", media);
    EXPECT_EQ(expected + "/www/settings.json", getLyrDDir("/www/settings.json"));
    EXPECT_EQ(expected, getLyrDDir());
}

TEST_F(SettingsTest, DescriptionDefaults) {
    writeFile(bin + "/www/settings.json", R"({"settings": {
        "Given": {"type": "text", "default": "hello"},
        "NumericDefault": {"type": "number", "default": 5},
        "Check": {"type": "checkbox"},
        "Count": {"type": "number"},
        "Name": {"type": "text"},
        "Choice": {"type": "select"},
        "OddDefault": {"type": "text", "default": {"x": 1}},
        "OddType": {"type": ["number"]},
        "NotAnObject": 12
    }})");
    LogCapture log;
    testutil::LogLevels restore;
    VB_SETTING.level = LOG_EXCESS;
    settings.LoadSettingsInfo();
    EXPECT_EQ("hello", value("Given"));
    EXPECT_EQ("5", value("NumericDefault"));
    EXPECT_EQ("0", value("Check"));
    EXPECT_EQ("0", value("Count"));
    EXPECT_EQ("", value("Name"));
    EXPECT_EQ("", value("Choice"));
    EXPECT_EQ("", value("OddDefault"));
    EXPECT_EQ("", value("OddType"));
    EXPECT_EQ("", value("NotAnObject"));
    EXPECT_TRUE(log.containsAt(LOG_EXCESS, "Setting default for 'Given' setting to 'hello'\n"));
    EXPECT_TRUE(settings.settingsInfo["settings"].isMember("Given"));
}

TEST_F(SettingsTest, BrokenDescriptionGivesNoDefaults) {
    for (const char* text : {"{\"settings\": {", "[1, 2]", "{\"settings\": [1]}", "\x01\x02garbage"}) {
        settings.values = Json::Value(Json::objectValue);
        writeFile(bin + "/www/settings.json", text);
        settings.LoadSettingsInfo();
        EXPECT_EQ(0u, settings.values.size()) << text;
    }
    unlink((bin + "/www/settings.json").c_str());
    settings.LoadSettingsInfo();
    EXPECT_EQ(0u, settings.values.size());
    EXPECT_EQ("fallback", getSetting("Anything", "fallback"));
}

std::vector<std::string> sourceFiles(const std::string& root) {
    std::vector<std::string> out;
    std::string cmd = "find '" + root + "' -name '*.cpp' -o -name '*.h'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    while (fgets(buf, sizeof(buf), p)) {
        std::string s(buf);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        out.push_back(s);
    }
    pclose(p);
    return out;
}

// Every setting the daemon reads must be described, so it gets its default
// and shows up for the web front end.
TEST(SettingsDescription, DescribesEverySettingTheDaemonReads) {
    Json::Value doc;
    std::string text = readFile(std::string(LYRD_SOURCE_DIR) + "/www/settings.json");
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    std::string errors;
    ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &doc, &errors)) << errors;
    const Json::Value& all = doc["settings"];
    ASSERT_TRUE(all.isObject());
    for (const auto& name : all.getMemberNames()) {
        std::string type = all[name]["type"].asString();
        EXPECT_TRUE(type == "checkbox" || type == "number" || type == "text" || type == "select") << name;
        if (all[name].isMember("default")) {
            EXPECT_TRUE(all[name]["default"].isString()) << name;
        }
    }
    // Settings named for features whose code may not read them yet.
    std::string named =
        "lyrMode daemonize logFile restarted resumePlaylist resumePosition volume SystemUUID HostName "
        "HostDescription DateFormat TimeFormat ShareCrashData statsPublish alwaysTransmit DisableScheduler "
        "ScheduleDistance openStartDelay VideoOutput AudioCardType HardwareDecoding remoteIgnoreSync "
        "remoteOffset "
        "LockstepEnabled LockstepRemotes LockstepExtraRemotes LockstepBroadcast LockstepMulticast "
        "LockstepInterface "
        "LockstepExternalIPAddress LockstepHTTPSubnets MQTTHost MQTTPort MQTTPrefix MQTTUsername "
        "MQTTPassword "
        "MQTTCaFile";
    std::set<std::string> required;
    std::istringstream words(named);
    for (std::string w; words >> w;) required.insert(w);
    // And every name the sources read through the getters.
    std::regex getter("getSetting(Int)?\\(\"([A-Za-z_0-9]+)\"");
    for (const auto& f : sourceFiles(std::string(LYRD_SOURCE_DIR) + "/src")) {
        std::string code = readFile(f);
        for (std::sregex_iterator it(code.begin(), code.end(), getter), end; it != end; ++it) {
            required.insert((*it)[2]);
        }
    }
    EXPECT_GT(required.size(), 30u);
    for (const auto& name : required) EXPECT_TRUE(all.isMember(name)) << name;
    for (auto* l : LyrLogger::INSTANCE.all()) EXPECT_TRUE(all.isMember("LogLevel_" + l->name)) << l->name;
    EXPECT_EQ("3", all["ShareCrashData"]["default"].asString());
}

}  // namespace
