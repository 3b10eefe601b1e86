#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <vector>

#include "ChannelOutTestUtil.h"
#include "channeloutput/ChannelRemaps.h"
#include "channeloutput/Sequence.h"
#include "platform/Logging.h"
#include "playlist/PlaylistEntryRemap.h"

namespace {

ChannelRemap remap(uint32_t s, uint32_t d, uint32_t c, uint32_t loops = 1, const char* name = "") {
    ChannelRemap r;
    r.name = name;
    r.source = s;
    r.destination = d;
    r.count = c;
    r.loops = loops;
    return r;
}

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::Reader().parse(text, v);
    return v;
}

class LogCapture {
public:
    LogCapture() {
        SetLogSink([this](int level, const std::string&, const std::string& msg) {
            if (level == LOG_ERR) errors += msg;
        });
    }
    ~LogCapture() { SetLogSink(nullptr); }
    std::string errors;
};

TEST(ChannelRemapsTest, RangesMustFitTheBufferAndNotOverlapTheirSource) {
    EXPECT_EQ("", ChannelRemaps::Check(remap(1, 11, 10), 100)) << "adjacent is fine";
    EXPECT_EQ("", ChannelRemaps::Check(remap(91, 1, 10, 9), 100))
        << "destination blocks end just below the source";
    EXPECT_EQ("", ChannelRemaps::Check(remap(1, 91, 10), 100)) << "up to the last channel";
    EXPECT_NE("", ChannelRemaps::Check(remap(1, 92, 10), 100));
    EXPECT_NE("", ChannelRemaps::Check(remap(92, 1, 10), 100));
    EXPECT_NE("", ChannelRemaps::Check(remap(1, 11, 10, 10), 100)) << "the loops run past the end";
    EXPECT_NE("", ChannelRemaps::Check(remap(1, 5, 10), 100));
    EXPECT_NE("", ChannelRemaps::Check(remap(50, 1, 10, 5), 100)) << "the fifth block lands on the source";
    EXPECT_NE("", ChannelRemaps::Check(remap(0, 5, 1), 100));
    EXPECT_NE("", ChannelRemaps::Check(remap(1, 5, 0), 100));
    EXPECT_NE("", ChannelRemaps::Check(remap(1, 2, 1, 0), 100));
    EXPECT_NE("", ChannelRemaps::Check(remap(1, 2, 0xFFFFFFFF, 0xFFFFFFFF), 100)) << "no overflow";
}

TEST(ChannelRemapsTest, LoadKeepsTheGoodEntriesAndLogsTheBad) {
    LogCapture log;
    ChannelRemaps set(100);
    std::string error;
    ASSERT_TRUE(set.Load(parse(R"({"remaps": [
        {"name": "a", "source": 1, "destination": 11, "count": 5, "loops": 2},
        {"name": "off", "source": 1, "destination": 31, "count": 5, "active": 0},
        {"name": "toolong", "source": 1, "destination": 99, "count": 5},
        {"name": "self", "source": 1, "destination": 3, "count": 5},
        {"source": "41", "destination": "51", "count": "2"},
        {"source": 1, "count": 2},
        "junk"]})"),
                         error));
    ASSERT_EQ(3u, set.Remaps().size());
    EXPECT_EQ("a", set.Remaps()[0].name);
    EXPECT_FALSE(set.Remaps()[1].active);
    EXPECT_EQ(41u, set.Remaps()[2].source) << "numbers as text, as web pages write them";
    for (const char* why : {"'toolong': destination beyond", "'self': destination overlaps", "remap 6",
                            "remap 7: not an object"})
        EXPECT_NE(std::string::npos, log.errors.find(why)) << why << "\n" << log.errors;

    ASSERT_TRUE(set.Load(parse(R"([{"source": 1, "destination": 2, "count": 1}])"), error)) << "a bare list";
    EXPECT_EQ(1u, set.Remaps().size());
    EXPECT_FALSE(set.Load(parse(R"({"remap": []})"), error));
    EXPECT_FALSE(set.Load(parse("7"), error));
    EXPECT_EQ(1u, set.Remaps().size()) << "a document that is no list changes nothing";
}

TEST(ChannelRemapsTest, ApplyCopiesIntoEveryLoopInOrder) {
    ChannelRemaps set(32);
    std::string error;
    ASSERT_TRUE(set.Add(remap(1, 5, 3, 2, "mirror"), error));
    ASSERT_TRUE(set.Add(remap(5, 20, 2, 1, "chain"), error)) << "reads what the first one wrote";
    ASSERT_TRUE(set.Add(remap(30, 31, 1, 2, "off"), error));
    EXPECT_FALSE(set.Add(remap(30, 31, 2, 1), error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(1, set.SetActive("off", false));
    EXPECT_EQ(0, set.SetActive("none", false));

    std::vector<uint8_t> buf(32);
    for (size_t i = 0; i < buf.size(); i++) buf[i] = uint8_t(100 + i);
    set.Apply(buf.data());
    std::vector<uint8_t> want(32);
    for (size_t i = 0; i < want.size(); i++) want[i] = uint8_t(100 + i);
    for (int i = 0; i < 3; i++) want[4 + i] = want[7 + i] = uint8_t(100 + i);
    want[19] = 100;
    want[20] = 101;
    EXPECT_EQ(want, buf);

    EXPECT_EQ(1, set.Remove("mirror"));
    EXPECT_EQ(2u, set.Remaps().size());
}

class LiveRemapsTest : public ::testing::Test {
protected:
    void SetUp() override { dir = cotest::MakeMediaDir(); }
    void TearDown() override {
        std::remove((dir + "/config/channelremap.json").c_str());
        std::string e;
        LoadChannelRemaps(e);
        cotest::RemoveDir(dir);
    }
    void file(const std::string& text) { std::ofstream(dir + "/config/channelremap.json") << text; }
    std::string dir;
};

TEST_F(LiveRemapsTest, ReloadReadsTheFileAndAFileThatDoesNotParseKeepsTheRemapsInUse) {
    LogCapture log;
    std::string error;
    EXPECT_TRUE(LoadChannelRemaps(error)) << "no file, no remaps";
    EXPECT_TRUE(GetChannelRemaps().empty());
    file(R"({"remaps": [{"name": "m", "source": 1, "destination": 3, "count": 2}]})");
    ASSERT_TRUE(LoadChannelRemaps(error));
    ASSERT_EQ(1u, GetChannelRemaps().size());
    file(R"({"remaps": [{"name": "m", )");
    EXPECT_FALSE(LoadChannelRemaps(error));
    EXPECT_NE(std::string::npos, error.find("can not parse")) << error;
    EXPECT_EQ(1u, GetChannelRemaps().size());

    std::vector<uint8_t> buf(LYRD_MAX_CHANNELS, 0);
    buf[0] = 7;
    buf[1] = 8;
    ApplyChannelRemaps(buf.data());
    EXPECT_EQ(7, buf[2]);
    EXPECT_EQ(8, buf[3]);
}

TEST_F(LiveRemapsTest, RemapEntriesSwitchAddAndRemoveNamedRemaps) {
    LogCapture log;
    file(R"([{"name": "m", "source": 1, "destination": 3, "count": 2, "active": 0}])");
    std::string error;
    ASSERT_TRUE(LoadChannelRemaps(error));

    auto entry = [](const std::string& json) {
        auto* e = new PlaylistEntryRemap(nullptr);
        Json::Value v = parse(json);
        if (!e->Init(v)) {
            delete e;
            return static_cast<PlaylistEntryRemap*>(nullptr);
        }
        return e;
    };
    EXPECT_EQ(nullptr, entry(R"({"type": "remap"})"));
    EXPECT_NE(std::string::npos, log.errors.find("Missing action entry"));
    EXPECT_EQ(nullptr, entry(R"({"type": "remap", "action": "flip", "name": "m"})"));
    EXPECT_EQ(nullptr, entry(R"({"type": "remap", "action": "enable"})")) << "needs a name";
    EXPECT_EQ(nullptr, entry(R"({"type": "remap", "action": "add", "name": "x", "source": 1})"));

    std::unique_ptr<PlaylistEntryRemap> on(entry(R"({"type": "remap", "action": "On", "name": "m"})"));
    ASSERT_TRUE(on);
    EXPECT_EQ("enable", on->GetConfig()["action"].asString());
    on->StartPlaying();
    EXPECT_TRUE(on->IsFinished());
    EXPECT_TRUE(GetChannelRemaps()[0].active);

    std::unique_ptr<PlaylistEntryRemap> add(entry(
        R"({"type": "remap", "action": "add", "name": "x", "source": 10, "destination": 20, "count": 4, "loops": 3})"));
    ASSERT_TRUE(add);
    add->StartPlaying();
    ASSERT_EQ(2u, GetChannelRemaps().size());
    EXPECT_EQ(3u, GetChannelRemaps()[1].loops);

    std::unique_ptr<PlaylistEntryRemap> bad(entry(
        R"({"type": "remap", "action": "add", "name": "y", "source": 10, "destination": 12, "count": 4})"));
    ASSERT_TRUE(bad);
    bad->StartPlaying();
    EXPECT_NE(std::string::npos, log.errors.find("'y' refused: destination overlaps")) << log.errors;
    EXPECT_EQ(2u, GetChannelRemaps().size());

    std::unique_ptr<PlaylistEntryRemap> off(
        entry(R"({"type": "remap", "action": "disable", "name": "nobody"})"));
    off->StartPlaying();
    EXPECT_NE(std::string::npos, log.errors.find("no channel remap named 'nobody'"));
    std::unique_ptr<PlaylistEntryRemap> rm(entry(R"({"type": "remap", "action": "remove", "name": "x"})"));
    rm->StartPlaying();
    EXPECT_EQ(1u, GetChannelRemaps().size());

    ASSERT_TRUE(LoadChannelRemaps(error));
    EXPECT_FALSE(GetChannelRemaps()[0].active) << "a reload brings back the file's state";
}

}  // namespace
