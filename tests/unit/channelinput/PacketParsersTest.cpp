// The sACN and Art-Net parsers, byte for byte: every layer's check, every
// truncation, and the OpPollReply layout consoles read.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "InputPackets.h"
#include "channelinput/ArtNetPacket.h"
#include "channelinput/E131Packet.h"

using namespace inputtest;

namespace {

// The parsed packet points into the datagram, so the copy parsed last stays
// alive until the next parse.
std::unique_ptr<uint8_t[]> parsed;

E131Error parse(const std::vector<uint8_t>& p, E131Packet& out) {
    // An exact-size heap copy: the sanitizers catch a read past the end.
    parsed.reset(new uint8_t[p.size()]);
    if (!p.empty()) memcpy(parsed.get(), p.data(), p.size());
    return ParseE131(parsed.get(), p.size(), out);
}

E131Error parse(const std::vector<uint8_t>& p) {
    E131Packet out;
    return parse(p, out);
}

}  // namespace

TEST(E131Parse, DataPacketFieldsComeFromTheirOffsets) {
    E131Fields f;
    f.name = "desk A";
    f.priority = 150;
    f.sequence = 77;
    f.universe = 513;
    f.slots = {1, 2, 3, 255};
    std::vector<uint8_t> p = e131(f);
    p[109] = 0x12;  // synchronisation address
    p[110] = 0x34;
    E131Packet out;
    ASSERT_EQ(parse(p, out), E131Error::None);
    EXPECT_EQ(out.kind, E131Kind::Data);
    EXPECT_EQ(0, memcmp(out.cid, f.cid.data(), 16));
    EXPECT_STREQ(out.sourceName, "desk A");
    EXPECT_EQ(out.priority, 150);
    EXPECT_EQ(out.sequence, 77);
    EXPECT_EQ(out.universe, 513);
    EXPECT_EQ(out.syncAddress, 0x1234);
    EXPECT_EQ(out.startCode, 0);
    ASSERT_EQ(out.slotCount, 4);
    EXPECT_EQ(std::vector<uint8_t>(out.slots, out.slots + 4), f.slots);
    EXPECT_FALSE(out.preview());
    EXPECT_FALSE(out.terminated());
}

TEST(E131Parse, OptionBitsAndFullAndEmptyUniverses) {
    E131Fields f;
    f.options = 0xC0;
    f.slots.assign(512, 9);
    E131Packet out;
    ASSERT_EQ(parse(e131(f), out), E131Error::None);
    EXPECT_TRUE(out.preview());
    EXPECT_TRUE(out.terminated());
    EXPECT_EQ(out.slotCount, 512);
    f.slots.clear();
    ASSERT_EQ(parse(e131(f), out), E131Error::None);
    EXPECT_EQ(out.slotCount, 0);
    // A source name of 64 bytes without a terminator stays inside the copy.
    std::vector<uint8_t> p = e131(f);
    memset(&p[44], 'x', 64);
    ASSERT_EQ(parse(p, out), E131Error::None);
    EXPECT_EQ(strlen(out.sourceName), 64u);
}

TEST(E131Parse, EveryLayerIsChecked) {
    E131Fields f;
    f.slots = {1, 2, 3};
    const std::vector<uint8_t> good = e131(f);
    struct Case {
        size_t at;
        uint8_t value;
        E131Error want;
    } cases[] = {
        {1, 0x11, E131Error::Preamble},        {3, 0x01, E131Error::Preamble},
        {4, 'B', E131Error::AcnIdentifier},    {15, 1, E131Error::AcnIdentifier},
        {16, 0x60, E131Error::RootLength},     {17, 0x00, E131Error::RootLength},
        {21, 0x05, E131Error::RootVector},     {18, 0x01, E131Error::RootVector},
        {38, 0x30, E131Error::FramingLength},  {39, 0x00, E131Error::FramingLength},
        {43, 0x03, E131Error::FramingVector},  {108, 201, E131Error::Priority},
        {113, 0xFA, E131Error::Universe},      {114, 0x00, E131Error::FramingLength},
        {115, 0x00, E131Error::DmpLength},     {116, 0x00, E131Error::DmpLength},
        {117, 0x01, E131Error::DmpVector},     {118, 0xa2, E131Error::AddressType},
        {120, 0x01, E131Error::FirstAddress},  {122, 0x02, E131Error::Increment},
        {124, 0x05, E131Error::PropertyCount}, {123, 0x01, E131Error::PropertyCount},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> p = good;
        p[c.at] = c.value;
        if (c.at == 114) {  // universe 0: framing intact, universe refused
            p[113] = 0;
            p[114] = 0;
            EXPECT_EQ(parse(p), E131Error::Universe);
            continue;
        }
        EXPECT_EQ(parse(p), c.want) << "byte " << c.at;
    }
    std::vector<uint8_t> p = good;
    p[113] = 0xF9;  // 63999 is the last valid universe
    p[114] = 0xFF;
    EXPECT_EQ(parse(p), E131Error::None);
    p[114] = 0xFF;
    p[113] = 0xFA;  // 64000
    EXPECT_EQ(parse(p), E131Error::Universe);
}

TEST(E131Parse, TruncatedAndPaddedDatagramsAreRefused) {
    E131Fields f;
    f.slots.assign(20, 7);
    const std::vector<uint8_t> good = e131(f);
    for (size_t n = 0; n < good.size(); n++) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + n);
        EXPECT_NE(parse(cut), E131Error::None) << n;
    }
    std::vector<uint8_t> padded = good;
    padded.push_back(0);
    EXPECT_EQ(parse(padded), E131Error::RootLength);
    // Consistent lengths but a property count larger than the data.
    std::vector<uint8_t> p = good;
    put16(p, 123, 22);
    EXPECT_EQ(parse(p), E131Error::PropertyCount);
    E131Packet none;
    EXPECT_EQ(ParseE131(nullptr, 0, none), E131Error::TooShort);
}

TEST(E131Parse, DiscoveryAndSyncPacketsAreRecognised) {
    // Universe discovery: extended root vector, discovery framing, a list of two.
    std::vector<uint8_t> d(124, 0);
    put16(d, 0, 0x0010);
    memcpy(&d[4], "ASC-E1.17\0\0\0", 12);
    put16(d, 16, 0x7000 | (124 - 16));
    d[21] = 0x08;
    put16(d, 38, 0x7000 | (124 - 38));
    d[43] = 0x02;
    memcpy(&d[44], "desk", 4);
    put16(d, 112, 0x7000 | (124 - 112));
    d[117] = 0x01;
    put16(d, 120, 1);
    put16(d, 122, 2);
    E131Packet out;
    ASSERT_EQ(parse(d, out), E131Error::None);
    EXPECT_EQ(out.kind, E131Kind::Discovery);
    EXPECT_STREQ(out.sourceName, "desk");
    d.push_back(0);
    EXPECT_NE(parse(d), E131Error::None);

    std::vector<uint8_t> s(49, 0);
    put16(s, 0, 0x0010);
    memcpy(&s[4], "ASC-E1.17\0\0\0", 12);
    put16(s, 16, 0x7000 | (49 - 16));
    s[21] = 0x08;
    put16(s, 38, 0x7000 | (49 - 38));
    s[43] = 0x01;
    s[44] = 9;
    put16(s, 45, 7);
    ASSERT_EQ(parse(s, out), E131Error::None);
    EXPECT_EQ(out.kind, E131Kind::Sync);
    EXPECT_EQ(out.syncAddress, 7);
    s[43] = 0x03;
    EXPECT_EQ(parse(s), E131Error::FramingVector);
}

TEST(ArtNetParse, OpDmxFields) {
    std::vector<uint8_t> p = artDmx(0x1234, 9, {10, 20, 30, 40});
    p[13] = 3;
    ArtNetPacket out;
    ASSERT_EQ(ParseArtNet(p.data(), p.size(), out), ArtNetError::None);
    EXPECT_EQ(out.kind, ArtNetKind::Dmx);
    EXPECT_EQ(out.portAddress, 0x1234);
    EXPECT_EQ(out.sequence, 9);
    EXPECT_EQ(out.physical, 3);
    ASSERT_EQ(out.length, 4);
    EXPECT_EQ(std::vector<uint8_t>(out.data, out.data + 4), (std::vector<uint8_t>{10, 20, 30, 40}));
    // Extra bytes after the data are allowed.
    p.push_back(0);
    EXPECT_EQ(ParseArtNet(p.data(), p.size(), out), ArtNetError::None);
    EXPECT_EQ(out.length, 4);
}

TEST(ArtNetParse, RefusedDmx) {
    ArtNetPacket out;
    auto err = [&](std::vector<uint8_t> p) { return ParseArtNet(p.data(), p.size(), out); };
    EXPECT_EQ(err(artDmx(1, 0, {1, 2}, 13)), ArtNetError::Version);
    EXPECT_EQ(err(artDmx(1, 0, {1, 2, 3})), ArtNetError::Length);
    EXPECT_EQ(err(artDmx(1, 0, {})), ArtNetError::Length);
    EXPECT_EQ(err(artDmx(1, 0, std::vector<uint8_t>(514, 1))), ArtNetError::Length);
    EXPECT_EQ(err(artDmx(1, 0, std::vector<uint8_t>(512, 1))), ArtNetError::None);
    EXPECT_EQ(err(artDmx(0x8000, 0, {1, 2})), ArtNetError::PortAddress);
    std::vector<uint8_t> p = artDmx(1, 0, {1, 2, 3, 4});
    p.resize(20);  // the length field says 4
    EXPECT_EQ(err(p), ArtNetError::Length);
    p = artDmx(1, 0, {1, 2});
    p[3] = 'x';
    EXPECT_EQ(err(p), ArtNetError::Identifier);
    const std::vector<uint8_t> good = artDmx(1, 0, {1, 2});
    for (size_t n = 0; n < good.size(); n++)
        EXPECT_NE(err({good.begin(), good.begin() + n}), ArtNetError::None) << n;
}

TEST(ArtNetParse, PollAndOtherOpcodes) {
    ArtNetPacket out;
    std::vector<uint8_t> p = artPoll();
    ASSERT_EQ(ParseArtNet(p.data(), p.size(), out), ArtNetError::None);
    EXPECT_EQ(out.kind, ArtNetKind::Poll);
    p[11] = 13;
    EXPECT_EQ(ParseArtNet(p.data(), p.size(), out), ArtNetError::Version);
    p = artPoll();
    p[9] = 0x21;  // another node's OpPollReply
    ASSERT_EQ(ParseArtNet(p.data(), p.size(), out), ArtNetError::None);
    EXPECT_EQ(out.kind, ArtNetKind::Other);
    EXPECT_EQ(out.opcode, 0x2100);
}

TEST(ArtNetPollReply, LayoutAndPortGroups) {
    ArtNetNodeInfo node;
    node.ip[0] = 10, node.ip[1] = 0, node.ip[2] = 0, node.ip[3] = 7;
    node.mac[5] = 0x42;
    node.shortName = "a-very-long-short-name";
    node.longName = "lyrd on porch";
    // Five in bank 0x0010, then one in bank 0x0120.
    node.universes = {0x10, 0x11, 0x12, 0x13, 0x14, 0x123};
    node.live = {true, false, true, false, false, true};
    auto replies = BuildArtPollReplies(node);
    ASSERT_EQ(replies.size(), 3u);
    for (size_t i = 0; i < replies.size(); i++) {
        const auto& r = replies[i];
        ASSERT_EQ(r.size(), size_t(ARTNET_POLL_REPLY_LEN));
        EXPECT_EQ(0, memcmp(r.data(), "Art-Net\0", 8));
        EXPECT_EQ(r[8], 0x00);
        EXPECT_EQ(r[9], 0x21);
        EXPECT_EQ(r[10], 10);
        EXPECT_EQ(r[13], 7);
        EXPECT_EQ(r[14], 0x36);  // 6454, low byte first
        EXPECT_EQ(r[15], 0x19);
        EXPECT_EQ(r[211], i + 1) << "bind index";
        EXPECT_EQ(r[206], 0x42);
        EXPECT_EQ(r[43], 0) << "short name stays terminated";
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[26])), "a-very-long-short");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[44])), "lyrd on porch");
    }
    const auto& a = replies[0];
    EXPECT_EQ(a[18], 0x00);  // net
    EXPECT_EQ(a[19], 0x01);  // sub-net
    EXPECT_EQ(a[173], 4);
    EXPECT_EQ(std::vector<uint8_t>(&a[174], &a[178]), std::vector<uint8_t>(4, 0x80));
    EXPECT_EQ(std::vector<uint8_t>(&a[182], &a[186]), (std::vector<uint8_t>{0x80, 0, 0x80, 0}));
    EXPECT_EQ(std::vector<uint8_t>(&a[190], &a[194]), (std::vector<uint8_t>{0, 1, 2, 3}));
    EXPECT_EQ(replies[1][173], 1);
    EXPECT_EQ(replies[1][190], 4);
    const auto& c = replies[2];
    EXPECT_EQ(c[18], 0x01);
    EXPECT_EQ(c[19], 0x02);
    EXPECT_EQ(c[190], 0x03);
    EXPECT_EQ(c[182], 0x80);

    ArtNetNodeInfo empty;
    auto none = BuildArtPollReplies(empty);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0][173], 0);
}
