// Packet layouts byte for byte, and parsers fed lying or truncated input.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "LockstepPackets.h"
#include "LockstepSystems.h"
#include "settings.h"

namespace {

using Bytes = std::vector<uint8_t>;

LockstepSystem sampleSystem(int mode, bool sendsSync) {
    LockstepSystem s;
    s.type = kSysTypeLYRRaspberryPi4;
    s.majorVersion = 5;
    s.minorVersion = 2;
    s.lyrMode = mode;
    s.lockstep = sendsSync;
    s.hostname = "show1";
    s.version = "5.2";
    s.model = "Raspberry Pi 4 Model B";
    s.channelRanges = "1-512";
    uint8_t o[4] = {10, 1, 2, 3};
    memcpy(s.octets, o, 4);
    return s;
}

Bytes ping(const LockstepSystem& sys, int discover = 0) {
    LockstepSystem copy = sys;
    char buf[LOCKSTEP_PING_BUFFER_BROADCAST] = {0};
    int len = CreatePingPacket(copy, buf, discover);
    return Bytes(buf, buf + len);
}

// A ping of `version` with extra data length `extra`, text fields filled.
Bytes pingOf(int version, int extra) {
    Bytes b(LOCKSTEP_HEADER_LEN + extra, 0);
    memcpy(b.data(), "LYRD", 4);
    b[4] = 4;
    PutLE16(&b[5], extra);
    b[7] = version;
    memcpy(&b[PingField::Hostname], "old", 3);
    return b;
}

}  // namespace

TEST(SyncPacket, SixCharacterNameGivesTwentyFourBytes) {
    uint8_t buf[LOCKSTEP_SEND_BUFFER] = {0};
    int len = BuildSyncPacket(buf, sizeof(buf), SyncAction::Sync, SyncFileType::Media, 0x01020304, 1.5f, "abc.mp");
    ASSERT_EQ(len, 24);
    Bytes expect = {'L', 'Y', 'R', 'D', 1, 0x11, 0x00, 2, 1, 0x04, 0x03, 0x02, 0x01,
                    0x00, 0x00, 0xC0, 0x3F,  // 1.5f little-endian
                    'a', 'b', 'c', '.', 'm', 'p', 0};
    EXPECT_EQ(Bytes(buf, buf + len), expect);

    SyncPacketInfo info;
    ASSERT_TRUE(ParseSyncPacket(buf, len, info));
    EXPECT_EQ(info.action, 2);
    EXPECT_EQ(info.fileType, 1);
    EXPECT_EQ(info.frame, 0x01020304);
    EXPECT_FLOAT_EQ(info.seconds, 1.5f);
    EXPECT_EQ(info.filename, "abc.mp");
}

TEST(SyncPacket, NegativeFrameAndLongestNameFit) {
    uint8_t buf[LOCKSTEP_SEND_BUFFER] = {0};
    std::string longest(1482, 'x');
    EXPECT_EQ(BuildSyncPacket(buf, sizeof(buf), SyncAction::Open, SyncFileType::Sequence, -1, 0, longest), 1500);
    SyncPacketInfo info;
    ASSERT_TRUE(ParseSyncPacket(buf, 1500, info));
    EXPECT_EQ(info.filename, longest);
    EXPECT_EQ(info.frame, -1);
    // One more character would pass the datagram limit: refused, buffer untouched past it.
    memset(buf, 0xAA, sizeof(buf));
    EXPECT_EQ(BuildSyncPacket(buf, sizeof(buf), SyncAction::Open, SyncFileType::Sequence, 0, 0, longest + "y"), -1);
    EXPECT_EQ(buf[0], 0xAA);
    // A small buffer is never overrun.
    uint8_t small[20];
    EXPECT_EQ(BuildSyncPacket(small, sizeof(small), SyncAction::Open, SyncFileType::Sequence, 0, 0, "abcd"), -1);
}

TEST(SyncPacket, ShortExtraDataIsRejected) {
    uint8_t buf[17] = {'L', 'Y', 'R', 'D', 1, 10, 0};
    SyncPacketInfo info;
    EXPECT_FALSE(ParseSyncPacket(buf, 17, info));
}

TEST(BlankingPacket, IsTheBareHeader) {
    uint8_t buf[16];
    memset(buf, 0xEE, sizeof(buf));
    ASSERT_EQ(BuildBlankingPacket(buf, sizeof(buf)), 7);
    EXPECT_EQ(Bytes(buf, buf + 7), (Bytes{'L', 'Y', 'R', 'D', 3, 0, 0}));
}

TEST(PingPacket, VersionThreeLayout) {
    Bytes b = ping(sampleSystem(PLAYER_MODE, false));
    ASSERT_EQ(b.size(), 301u);
    EXPECT_EQ(b[5], 0x26);
    EXPECT_EQ(b[6], 0x01);
    EXPECT_EQ(b[7], 3);
    EXPECT_EQ(b[8], 0);
    EXPECT_EQ(b[9], 13);
    EXPECT_EQ(Bytes(b.begin() + 10, b.begin() + 14), (Bytes{0x00, 0x05, 0x00, 0x02}));
    EXPECT_EQ(Bytes(b.begin() + 15, b.begin() + 19), (Bytes{10, 1, 2, 3}));
    EXPECT_STREQ(reinterpret_cast<const char*>(&b[19]), "show1");
    EXPECT_STREQ(reinterpret_cast<const char*>(&b[84]), "5.2");
    EXPECT_STREQ(reinterpret_cast<const char*>(&b[125]), "Raspberry Pi 4 Model B");
    EXPECT_STREQ(reinterpret_cast<const char*>(&b[166]), "1-512");
    for (int i = 287; i < 301; i++) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(ping(sampleSystem(PLAYER_MODE, false), 1)[8], 1);
}

TEST(PingPacket, ModeByteCarriesTheSyncBit) {
    EXPECT_EQ(ping(sampleSystem(MASTER_MODE, true))[14], 6);
    EXPECT_EQ(ping(sampleSystem(PLAYER_MODE, true))[14], 6);
    EXPECT_EQ(ping(sampleSystem(PLAYER_MODE, false))[14], 2);
    EXPECT_EQ(ping(sampleSystem(REMOTE_MODE, false))[14], 8);
}

TEST(PingPacket, LongTextsAreCutInsideTheirFields) {
    LockstepSystem s = sampleSystem(PLAYER_MODE, false);
    s.hostname = std::string(70, 'h');
    s.version = std::string(50, 'v');
    s.model = std::string(50, 'm');
    s.channelRanges = std::string(200, 'r');
    Bytes b = ping(s);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[19])), std::string(64, 'h'));
    EXPECT_EQ(b[83], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[84])), std::string(40, 'v'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[125])), std::string(40, 'm'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[166])), std::string(120, 'r'));

    PingPacketInfo info;
    ASSERT_EQ(ParsePingPacket(b.data(), b.size(), info), "");
    EXPECT_EQ(info.hostname, std::string(64, 'h'));
    EXPECT_EQ(info.majorVersion, 5);
    EXPECT_EQ(info.minorVersion, 2);
    EXPECT_EQ(info.address, "10.1.2.3");
    EXPECT_EQ(info.ranges, std::string(120, 'r'));
}

TEST(PingPacket, OlderVersionsAndTheirLimits) {
    PingPacketInfo info;
    EXPECT_EQ(ParsePingPacket(pingOf(1, 169).data(), 176, info), "");
    EXPECT_EQ(info.hostname, "old");
    EXPECT_EQ(info.ranges, "");
    EXPECT_EQ(ParsePingPacket(pingOf(1, 170).data(), 177, info), "ERROR: Ping v1 packet too long: 170\n");
    EXPECT_EQ(ParsePingPacket(pingOf(2, 214).data(), 221, info), "");
    EXPECT_EQ(ParsePingPacket(pingOf(2, 215).data(), 222, info), "ERROR: Ping v2 packet too long 215\n");
    EXPECT_EQ(ParsePingPacket(pingOf(3, 168).data(), 175, info), "ERROR: Invalid length of received Ping packet\n");

    // A version-2 channel range runs to the end of the datagram, NUL or not.
    Bytes v2 = pingOf(2, 175);
    memcpy(&v2[166], "1-100,", 6);
    for (size_t i = 172; i < v2.size(); i++) v2[i] = '7';
    ASSERT_EQ(ParsePingPacket(v2.data(), v2.size(), info), "");
    EXPECT_EQ(info.ranges, "1-100,7777777777");
}

TEST(PingPacket, LyingLengthFieldIsNotTrusted) {
    Bytes b = pingOf(3, 294);
    b.resize(180);  // the field still says 294
    PingPacketInfo info;
    EXPECT_NE(ParsePingPacket(b.data(), b.size(), info), "");
}

TEST(HeaderChecks, InOrder) {
    uint8_t tooShort[] = {'L', 'Y', 'R', 'D', 0, 0};
    EXPECT_EQ(CheckControlPacket(tooShort, 6), PacketCheck::TooShort);
    uint8_t tamrin[] = {0x55, 1};
    EXPECT_EQ(CheckControlPacket(tamrin, 2), PacketCheck::Tamrin);
    uint8_t cc[] = {0xCC};
    EXPECT_EQ(CheckControlPacket(cc, 1), PacketCheck::Tamrin);
    uint8_t magic[] = {'L', 'Y', 'R', 'X', 3, 0, 0};
    EXPECT_EQ(CheckControlPacket(magic, 7), PacketCheck::BadMagic);
    uint8_t lying[10] = {'L', 'Y', 'R', 'D', 1, 4, 0};
    EXPECT_EQ(CheckControlPacket(lying, 10), PacketCheck::BadLength);
    uint8_t ok[10] = {'L', 'Y', 'R', 'D', 1, 3, 0};
    EXPECT_EQ(CheckControlPacket(ok, 10), PacketCheck::Ok);
}

TEST(CommandPacket, EmptyTextIsRejected) {
    uint8_t empty[] = {'L', 'Y', 'R', 'D', 0, 0, 0};
    std::string cmd;
    EXPECT_FALSE(ParseCommandPacket(empty, 7, cmd));
    uint8_t buf[64] = {0};
    int len = BuildCommandPacket(buf, sizeof(buf), "v 50");
    ASSERT_EQ(len, 12);
    ASSERT_TRUE(ParseCommandPacket(buf, len, cmd));
    EXPECT_EQ(cmd, "v 50");
}

TEST(LyrCommandPacket, EmptyHostsNoArguments) {
    uint8_t buf[LOCKSTEP_SEND_BUFFER] = {0};
    int len = BuildLyrCommandPacket(buf, sizeof(buf), "", "Stop Now", {});
    ASSERT_EQ(len, 18);
    EXPECT_EQ(Bytes(buf, buf + len),
              (Bytes{'L', 'Y', 'R', 'D', 6, 11, 0, 0, 0, 'S', 't', 'o', 'p', ' ', 'N', 'o', 'w', 0}));
}

TEST(LyrCommandPacket, RoundTripAndTruncation) {
    uint8_t buf[LOCKSTEP_SEND_BUFFER] = {0};
    int len = BuildLyrCommandPacket(buf, sizeof(buf), "a,b", "Volume Set", {"70", "", "x y"});
    LyrCommandInfo info;
    ASSERT_TRUE(ParseLyrCommandPacket(buf, len, info));
    EXPECT_EQ(info.hosts, "a,b");
    EXPECT_EQ(info.command, "Volume Set");
    EXPECT_EQ(info.args, (std::vector<std::string>{"70", "", "x y"}));
    // Every cut short of the end loses a field and is refused.
    for (int cut = 7; cut < len; cut++) EXPECT_FALSE(ParseLyrCommandPacket(buf, cut, info)) << cut;
    // A count that promises more arguments than there are.
    buf[7] = 9;
    EXPECT_FALSE(ParseLyrCommandPacket(buf, len, info));
}

TEST(LyrCommandPacket, SenderRefusesWhatCannotBeSaid) {
    uint8_t buf[LOCKSTEP_SEND_BUFFER] = {0};
    std::vector<std::string> many(256, "1");
    EXPECT_EQ(BuildLyrCommandPacket(buf, sizeof(buf), "", "c", many), -1);
    EXPECT_EQ(BuildLyrCommandPacket(buf, sizeof(buf), "", "c", {std::string(1490, 'a')}), -1);
}

TEST(PluginPacket, NameRunningToTheEndIsRejected) {
    uint8_t buf[64] = {0};
    uint8_t data[3] = {1, 2, 3};
    int len = BuildPluginPacket(buf, sizeof(buf), "plug", data, 3);
    ASSERT_EQ(len, 15);
    std::string name;
    const uint8_t* payload = nullptr;
    int payloadLen = -1;
    ASSERT_TRUE(ParsePluginPacket(buf, len, name, payload, payloadLen));
    EXPECT_EQ(name, "plug");
    EXPECT_EQ(payloadLen, 3);
    EXPECT_EQ(payload[2], 3);

    uint8_t unterminated[] = {'L', 'Y', 'R', 'D', 5, 4, 0, 'a', 'b', 'c', 'd'};
    EXPECT_FALSE(ParsePluginPacket(unterminated, sizeof(unterminated), name, payload, payloadLen));
    uint8_t emptyPayload[] = {'L', 'Y', 'R', 'D', 5, 2, 0, 'a', 0};
    ASSERT_TRUE(ParsePluginPacket(emptyPayload, sizeof(emptyPayload), name, payload, payloadLen));
    EXPECT_EQ(payloadLen, 0);
}

TEST(Parsers, RandomDatagramsNeverReadPastTheirEnd) {
    // Each datagram sits at the very end of its own heap block, so a read past
    // it is caught by the address sanitizer builds.
    std::mt19937 rng(1234);
    for (int i = 0; i < 20000; i++) {
        int len = rng() % 400;
        std::unique_ptr<uint8_t[]> block(new uint8_t[len + 1]);
        uint8_t* d = block.get();
        for (int j = 0; j < len; j++) d[j] = rng() & 0xFF;
        if (len >= 7 && (rng() & 1)) {
            memcpy(d, "LYRD", 4);
            d[4] = rng() % 7;
            if (rng() & 1) PutLE16(d + 5, len - 7);
            if (len > 7 && (rng() & 1)) d[7] = 1 + rng() % 3;
        }
        SyncPacketInfo s;
        PingPacketInfo p;
        LyrCommandInfo c;
        std::string text;
        const uint8_t* payload;
        int payloadLen;
        CheckControlPacket(d, len);
        ParseSyncPacket(d, len, s);
        ParsePingPacket(d, len, p);
        ParseLyrCommandPacket(d, len, c);
        ParseCommandPacket(d, len, text);
        if (ParsePluginPacket(d, len, text, payload, payloadLen)) {
            ASSERT_GE(payloadLen, 0);
            ASSERT_LE(payload + payloadLen, d + len);
        }
    }
}
