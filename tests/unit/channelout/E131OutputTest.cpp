#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "ChannelOutTestUtil.h"
#include "channeloutput/ChannelOutputs.h"
#include "channeloutput/E131Output.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

int be16(const uint8_t* p) { return (p[0] << 8) | p[1]; }

TEST(E131HeaderTest, LayersCarryTheStandardVectorsAndLengths) {
    uint8_t cid[16];
    for (int i = 0; i < 16; i++) cid[i] = uint8_t(0xA0 + i);
    uint8_t h[E131_HEADER_LEN];
    E131Output::BuildHeader(h, cid, "lyrd test", 0x1234, 150, 510);
    const int total = 126 + 510;
    EXPECT_EQ(0x0010, be16(h + 0));
    EXPECT_EQ(0x0000, be16(h + 2));
    EXPECT_EQ(0, memcmp(h + 4, "ASC-E1.17\0\0\0", 12));
    EXPECT_EQ(0x7000 | (total - 16), be16(h + 16));
    EXPECT_EQ(0, memcmp(h + 18, "\0\0\0\x04", 4));
    EXPECT_EQ(0, memcmp(h + 22, cid, 16));
    EXPECT_EQ(0x7000 | (total - 38), be16(h + 38));
    EXPECT_EQ(0, memcmp(h + 40, "\0\0\0\x02", 4));
    EXPECT_STREQ("lyrd test", reinterpret_cast<const char*>(h + 44));
    EXPECT_EQ(0, h[107]) << "source name stays NUL-terminated";
    EXPECT_EQ(150, h[108]);
    EXPECT_EQ(0, be16(h + 109));
    EXPECT_EQ(0, h[112]);
    EXPECT_EQ(0x1234, be16(h + 113));
    EXPECT_EQ(0x7000 | (total - 115), be16(h + 115));
    EXPECT_EQ(0x02, h[117]);
    EXPECT_EQ(0xa1, h[118]);
    EXPECT_EQ(0, be16(h + 119));
    EXPECT_EQ(1, be16(h + 121));
    EXPECT_EQ(511, be16(h + 123));
    EXPECT_EQ(0, h[125]);

    std::string longName(100, 'x');
    E131Output::BuildHeader(h, cid, longName, 1, 100, 1);
    EXPECT_EQ(63u, strlen(reinterpret_cast<const char*>(h + 44)));
}

TEST(E131HeaderTest, UUIDParsingAndDerivedCID) {
    uint8_t u[16];
    ASSERT_TRUE(E131Output::ParseUUID("12345678-9abc-DEF0-1122-334455667788", u));
    EXPECT_EQ(0x12, u[0]);
    EXPECT_EQ(0xDE, u[6]);
    EXPECT_EQ(0x88, u[15]);
    EXPECT_TRUE(E131Output::ParseUUID("0123456789abcdef0123456789abcdef", u)) << "machine-id form";
    EXPECT_FALSE(E131Output::ParseUUID("Unknown", u));
    EXPECT_FALSE(E131Output::ParseUUID("12345678-9abc-def0-1122-33445566778", u)) << "31 digits";
    EXPECT_FALSE(E131Output::ParseUUID("12345678-9abc-def0-1122-3344556677889", u)) << "33 digits";

    SetSetting("SystemUUID", "12345678-9abc-def0-1122-334455667788");
    auto cid = E131Output::SystemCID();
    EXPECT_EQ(0x12, cid[0]);
    SetSetting("SystemUUID", "Unknown");
    auto a = E131Output::SystemCID(), b = E131Output::SystemCID();
    EXPECT_EQ(a, b) << "derived CID is stable";
    EXPECT_EQ(0x80, a[6] & 0xF0);
    EXPECT_EQ(0x80, a[8] & 0xC0);
    EXPECT_NE((std::array<uint8_t, 16>{}), a);
}

class ChannelOutputsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Host names in the configurations must never reach a real resolver.
        ASSERT_TRUE(cotest::EnterPrivateNetwork());
        dir = cotest::MakeMediaDir();
        SetLogSink([this](int level, const std::string&, const std::string& msg) {
            if (level == LOG_ERR) errors += msg;
        });
        EnableChannelOutput();
    }
    void TearDown() override {
        CloseChannelOutputs();
        EnableChannelOutput();
        SetLogSink(nullptr);
        cotest::RemoveDir(dir);
    }
    void config(const std::string& json) {
        std::ofstream(dir + "/config/co-universes.json") << json;
    }
    std::string dir;
    std::string errors;
};

TEST_F(ChannelOutputsTest, BadEntriesAreSkippedTheRestLoads) {
    config(R"({"channelOutputs": [
        {"type": "universes", "enabled": 1, "universes": [
            {"active": 1, "id": 1, "startChannel": 1, "channelCount": 512, "address": "127.0.0.1"},
            {"active": 1, "id": 0, "startChannel": 513, "channelCount": 512},
            {"active": 1, "id": 2, "startChannel": 513, "channelCount": 513},
            {"active": 1, "id": 3, "startChannel": 0, "channelCount": 10},
            {"active": 1, "id": 4, "startChannel": 1048570, "channelCount": 100},
            {"active": 1, "id": 5, "startChannel": 2001, "channelCount": 170, "priority": 300},
            {"active": 0, "id": 6, "startChannel": 3001, "channelCount": 100},
            "junk",
            {"active": 1, "id": 7, "startChannel": 2001, "channelCount": 170, "address": "no.such.host.invalid"},
            {"active": "1", "id": "8", "startChannel": 513, "channelCount": 512, "universeCount": 2}
        ]},
        {"type": "universes", "enabled": 0, "universes": [{"id": 9, "startChannel": 9001, "channelCount": 10}]},
        {"type": "DMX-Frobnicator", "enabled": 1},
        {"type": "universes", "enabled": 1, "universes": []}
    ]})");
    EXPECT_EQ(1, InitializeChannelOutputs());
    EXPECT_EQ("1-1536", GetOutputRanges(true).toString()) << "ids 1, 8, 9 (contiguous) remain";
    std::string text = GetOutputRanges(false);
    EXPECT_EQ("1-1536", text);
    EXPECT_EQ(1536u, GetChannelOutputMaxChannel());
    for (const char* why : {"universe id out of", "channelCount out of", "startChannel below", "beyond the buffer",
                            "priority out of", "not an object", "can not resolve", "Unknown channel output type",
                            "has no \"universes\" list"})
        EXPECT_NE(std::string::npos, errors.find(why)) << why << "\n" << errors;
}

TEST_F(ChannelOutputsTest, UnparsableOrMissingConfigMeansNoOutputs) {
    EXPECT_EQ(0, InitializeChannelOutputs());
    config("{\"channelOutputs\": [");
    EXPECT_EQ(0, InitializeChannelOutputs());
    EXPECT_NE(std::string::npos, errors.find("Error parsing"));
    EXPECT_EQ("", GetOutputRanges(true).toString());
}

TEST_F(ChannelOutputsTest, RangesOfSeparateUniversesStaySeparate) {
    config(R"({"channelOutputs": [{"type": "E1.31", "universes": [
        {"id": 10, "startChannel": 2001, "channelCount": 170, "address": "127.0.0.1"},
        {"id": 1, "startChannel": 1, "channelCount": 512, "address": "127.0.0.1"},
        {"id": 2, "startChannel": 513, "channelCount": 512, "address": "127.0.0.1"}]}]})");
    ASSERT_EQ(1, InitializeChannelOutputs());
    OutputRanges r = GetOutputRanges(true);
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(std::make_pair(1, 1024), r[0]);
    EXPECT_EQ(std::make_pair(2001, 170), r[1]);
    EXPECT_EQ("1-2170", GetOutputRanges(false).toString());
}

TEST_F(ChannelOutputsTest, UnicastPacketsCarryDataAndPerUniverseSequenceNumbers) {
    ASSERT_TRUE(cotest::EnterPrivateNetwork());
    cotest::Receiver rx;
    ASSERT_TRUE(rx.ok);
    SetSetting("SystemUUID", "00112233-4455-6677-8899-aabbccddeeff");
    config(R"({"channelOutputs": [{"type": "universes", "universes": [
        {"id": 1, "startChannel": 1, "channelCount": 512, "address": "127.0.0.1", "priority": 120},
        {"id": 2, "startChannel": 513, "channelCount": 100, "address": "127.0.0.1"}]}]})");
    ASSERT_EQ(1, InitializeChannelOutputs());
    std::vector<uint8_t> ch(LYRD_MAX_CHANNELS, 0);
    for (int i = 0; i < 612; i++) ch[i] = uint8_t(i * 7);
    for (int f = 0; f < 3; f++) EXPECT_EQ(2, SendChannelData(ch.data()));
    auto pk = rx.drain(200);
    ASSERT_EQ(6u, pk.size());
    for (int f = 0; f < 3; f++) {
        const auto& a = pk[2 * f];
        const auto& b = pk[2 * f + 1];
        EXPECT_EQ(1, a.universe());
        EXPECT_EQ(2, b.universe());
        EXPECT_EQ(f, a.sequence());
        EXPECT_EQ(f, b.sequence());
        ASSERT_EQ(512u, a.slots());
        ASSERT_EQ(100u, b.slots());
        EXPECT_EQ(0, memcmp(a.data(), ch.data(), 512));
        EXPECT_EQ(0, memcmp(b.data(), ch.data() + 512, 100));
        EXPECT_EQ(120, a.bytes[108]);
        EXPECT_EQ(100, b.bytes[108]);
        EXPECT_EQ(0x00, a.bytes[22]);
        EXPECT_EQ(0xff, a.bytes[37]);
    }

    DisableChannelOutput();
    EXPECT_EQ(0, SendChannelData(ch.data()));
    EXPECT_TRUE(rx.drain(150).empty()) << "a disabled output sends nothing";
    EnableChannelOutput();
    SendChannelData(ch.data());
    EXPECT_EQ(2u, rx.drain(150).size());
}

TEST_F(ChannelOutputsTest, MulticastGoesToTheUniverseGroup) {
    ASSERT_TRUE(cotest::EnterPrivateNetwork());
    cotest::Receiver rx;
    ASSERT_TRUE(rx.ok);
    ASSERT_TRUE(rx.join(0x0102));
    config(R"({"channelOutputs": [{"type": "universes", "universes": [
        {"id": 258, "startChannel": 1, "channelCount": 512},
        {"id": 259, "startChannel": 513, "channelCount": 512}]}]})");
    ASSERT_EQ(1, InitializeChannelOutputs());
    std::vector<uint8_t> ch(LYRD_MAX_CHANNELS, 0x5A);
    SendChannelData(ch.data());
    auto pk = rx.drain(200);
    ASSERT_EQ(1u, pk.size()) << "only the joined group 239.255.1.2 arrives";
    EXPECT_EQ(258, pk[0].universe());
    EXPECT_EQ(0x5A, pk[0].data()[511]);
}

}  // namespace
