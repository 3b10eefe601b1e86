#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "ChannelOutTestUtil.h"
#include "channeloutput/ArtNetNodes.h"
#include "channeloutput/ArtNetOutput.h"
#include "channeloutput/ArtNetPacket.h"
#include "channeloutput/Sequence.h"
#include "platform/Logging.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t ip(const char* text) {
    return inet_addr(text);
}

// An OpPollReply as a node sends it: `types` and `swout` per port.
Bytes pollReply(const char* addr, int net, int sub, std::vector<uint8_t> types, std::vector<uint8_t> swout,
                int bindIndex = 1, size_t len = 239) {
    Bytes p(len, 0);
    memcpy(p.data(), "Art-Net\0", 8);
    p[8] = 0x00;
    p[9] = 0x21;
    uint32_t a = ip(addr);
    memcpy(&p[10], &a, 4);
    p[14] = 0x36;
    p[15] = 0x19;
    p[18] = uint8_t(net);
    p[19] = uint8_t(sub);
    p[173] = uint8_t(types.size());
    for (size_t i = 0; i < types.size() && i < 4; i++) {
        p[174 + i] = types[i];
        p[190 + i] = swout[i];
    }
    if (len > 211) p[211] = uint8_t(bindIndex);
    return p;
}

TEST(ArtNetPacketTest, DmxHeaderBytes) {
    uint8_t h[ARTNET_DMX_HEADER_LEN];
    ArtNetPacket::BuildDmxHeader(h, 0x1234, 510);
    const uint8_t want[] = {'A',  'r', 't', '-', 'N', 'e',  't',  0,    0x00,
                            0x50, 0,   14,  0,   0,   0x34, 0x12, 0x01, 0xFE};
    EXPECT_EQ(0, memcmp(h, want, sizeof(want)));

    ArtNetPacket::BuildDmxHeader(h, 32767, 512);
    EXPECT_EQ(0xFF, h[14]) << "Sub-Net 15, Universe 15";
    EXPECT_EQ(0x7F, h[15]) << "Net is 7 bits";
    EXPECT_EQ(0x02, h[16]);
    EXPECT_EQ(0x00, h[17]);
    ArtNetPacket::BuildDmxHeader(h, 0, 2);
    EXPECT_EQ(0, h[14]);
    EXPECT_EQ(0, h[15]);

    EXPECT_EQ(2, ArtNetPacket::DmxLength(1));
    EXPECT_EQ(4, ArtNetPacket::DmxLength(3));
    EXPECT_EQ(510, ArtNetPacket::DmxLength(510));
    EXPECT_EQ(512, ArtNetPacket::DmxLength(511));
    EXPECT_EQ(512, ArtNetPacket::DmxLength(512));
}

TEST(ArtNetPacketTest, SequenceRunsOneTo255AndSkipsZero) {
    EXPECT_EQ(1, ArtNetPacket::NextSequence(0));
    EXPECT_EQ(255, ArtNetPacket::NextSequence(254));
    EXPECT_EQ(1, ArtNetPacket::NextSequence(255));
    uint8_t s = 0;
    for (int i = 0; i < 600; i++) {
        s = ArtNetPacket::NextSequence(s);
        ASSERT_NE(0, s);
    }
}

TEST(ArtNetPacketTest, PollAndSyncBytes) {
    uint8_t p[ARTNET_POLL_LEN];
    ArtNetPacket::BuildPoll(p);
    const uint8_t poll[] = {'A', 'r', 't', '-',  'N',  'e', 't', 0,    0x00, 0x20, 0,
                            14,  0,   0,   0x7F, 0xFF, 0,   0,   0x7F, 0xF0, 0,    0xFF};
    static_assert(sizeof(poll) == ARTNET_POLL_LEN, "the whole packet");
    EXPECT_EQ(0, memcmp(p, poll, sizeof(poll)));
    ArtNetPacket::BuildSync(p);
    const uint8_t sync[] = {'A', 'r', 't', '-', 'N', 'e', 't', 0, 0x00, 0x52, 0, 14, 0, 0};
    EXPECT_EQ(0, memcmp(p, sync, sizeof(sync)));
    EXPECT_EQ(ArtNetPacket::OpSync, ArtNetPacket::OpCodeOf(p, sizeof(p)));
    p[3] = 'x';
    EXPECT_EQ(0, ArtNetPacket::OpCodeOf(p, sizeof(p)));
    EXPECT_EQ(0, ArtNetPacket::OpCodeOf(p, 9));
}

TEST(ArtNetPacketTest, PollReplyGivesTheOutputPortAddresses) {
    ArtNetPacket::PollReply r;
    // Port 2 only takes input to the network: not an output.
    Bytes p = pollReply("10.0.0.5", 0x01, 0x02, {0x80, 0x40, 0xC0}, {0x03, 0x04, 0x25}, 7);
    ASSERT_TRUE(ArtNetPacket::ParsePollReply(p.data(), p.size(), r));
    EXPECT_EQ(ip("10.0.0.5"), r.ip);
    EXPECT_EQ(7, r.bindIndex);
    EXPECT_EQ((std::vector<int>{0x123, 0x125}), r.outputPorts) << "SwOut's low nibble only";

    p = pollReply("10.0.0.6", 0xFF, 0xFF, {0x80, 0x80, 0x80, 0x80}, {0, 1, 2, 3});
    p[173] = 9;  // more ports than the reply has room for
    ASSERT_TRUE(ArtNetPacket::ParsePollReply(p.data(), p.size(), r));
    EXPECT_EQ((std::vector<int>{0x7FF0, 0x7FF1, 0x7FF2, 0x7FF3}), r.outputPorts);

    Bytes old = pollReply("10.0.0.7", 0, 0, {0x80}, {1}, 3, 207);  // an older, shorter reply
    ASSERT_TRUE(ArtNetPacket::ParsePollReply(old.data(), old.size(), r));
    EXPECT_EQ(0, r.bindIndex);
    EXPECT_EQ(std::vector<int>{1}, r.outputPorts);

    EXPECT_FALSE(ArtNetPacket::ParsePollReply(p.data(), ARTNET_POLL_REPLY_MIN_LEN - 1, r)) << "truncated";
    p[9] = 0x20;  // an OpPoll
    EXPECT_FALSE(ArtNetPacket::ParsePollReply(p.data(), p.size(), r));
}

ArtNetPacket::PollReply reply(const char* addr, std::vector<int> ports, int bind = 1) {
    ArtNetPacket::PollReply r;
    r.ip = ip(addr);
    r.bindIndex = bind;
    r.outputPorts = ports;
    return r;
}

TEST(ArtNetNodesTest, SubscribersComeFromRepliesAndGoAfterTenSilentSeconds) {
    ArtNetNodes n;
    EXPECT_TRUE(n.OnReply(reply("10.0.0.2", {1, 2}), 1000));
    EXPECT_FALSE(n.OnReply(reply("10.0.0.2", {2, 1, 1}), 2000)) << "same ports: no change";
    EXPECT_TRUE(n.OnReply(reply("10.0.0.3", {2}), 2000));
    EXPECT_TRUE(n.OnReply(reply("10.0.0.2", {5}, 2), 2000)) << "a second bind index of the same node";
    EXPECT_EQ((std::vector<uint32_t>{ip("10.0.0.2"), ip("10.0.0.3")}), n.Subscribers(2));
    EXPECT_EQ(std::vector<uint32_t>{ip("10.0.0.2")}, n.Subscribers(5));
    EXPECT_TRUE(n.Subscribers(9).empty());

    EXPECT_TRUE(n.OnReply(reply("10.0.0.3", {3}), 4000)) << "a reply replaces what the node outputs";
    EXPECT_EQ(std::vector<uint32_t>{ip("10.0.0.2")}, n.Subscribers(2));

    // 10.0.0.2 bind 1 was last heard at 2000, bind 2 at 2000, 10.0.0.3 at 4000.
    EXPECT_EQ(0, n.NextDueInMS(5000)) << "no poll yet: due now";
    n.Polled(5000);
    EXPECT_EQ(3000, n.NextDueInMS(5000));
    n.Polled(11000);
    EXPECT_EQ(1000, n.NextDueInMS(11000)) << "the first nodes fall silent at 12000, before the next poll";
    EXPECT_FALSE(n.Expire(11999));
    EXPECT_EQ(3u, n.NodeCount());
    EXPECT_TRUE(n.Expire(12000));
    EXPECT_EQ(1u, n.NodeCount());
    EXPECT_TRUE(n.Subscribers(1).empty());
    EXPECT_EQ(std::vector<uint32_t>{ip("10.0.0.3")}, n.Subscribers(3));
    n.OnReply(reply("10.0.0.3", {3}), 13999);  // answering keeps it
    EXPECT_FALSE(n.Expire(23998));
    EXPECT_TRUE(n.Expire(23999));
    EXPECT_EQ(0u, n.NodeCount());
}

TEST(ArtNetNodesTest, PollsEveryThreeSeconds) {
    ArtNetNodes n;
    EXPECT_TRUE(n.PollDue(0));
    EXPECT_EQ(0, n.NextDueInMS(0));
    n.Polled(100);
    EXPECT_FALSE(n.PollDue(3099));
    EXPECT_EQ(2999, n.NextDueInMS(101));
    EXPECT_TRUE(n.PollDue(3100));
    n.OnReply(reply("10.0.0.9", {1}), 200);
    n.Polled(3100);
    EXPECT_EQ(6100 - 5000, n.NextDueInMS(5000));
    EXPECT_EQ(0, n.NextDueInMS(7000));
}

// ---- the output on loopback, inside a private network namespace

// A UDP socket on addr:6454 standing in for a node.
class FakeNode {
public:
    explicit FakeNode(const char* addr) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        int buf = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(ARTNET_PORT);
        a.sin_addr.s_addr = inet_addr(addr);
        ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~FakeNode() { close(fd); }
    // Next packet within timeoutMS (empty if none); `from` is its sender.
    Bytes next(int timeoutMS, struct sockaddr_in* from = nullptr) {
        struct pollfd pf = {fd, POLLIN, 0};
        if (poll(&pf, 1, timeoutMS) != 1) return {};
        uint8_t buf[2048];
        struct sockaddr_in f {};
        socklen_t fl = sizeof(f);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&f), &fl);
        if (from) *from = f;
        return n > 0 ? Bytes(buf, buf + n) : Bytes();
    }
    Bytes nextOf(uint16_t opcode, int timeoutMS, struct sockaddr_in* from = nullptr) {
        for (Bytes p = next(timeoutMS, from); !p.empty(); p = next(timeoutMS, from))
            if (ArtNetPacket::OpCodeOf(p.data(), p.size()) == opcode) return p;
        return {};
    }
    void sendTo(const Bytes& p, const struct sockaddr_in& to) {
        sendto(fd, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    int fd = -1;
    bool ok = false;
};

class ArtNetOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(cotest::EnterPrivateNetwork());
        SetLogSink([this](int level, const std::string&, const std::string& msg) {
            if (level == LOG_ERR) errors += msg;
        });
        channels.assign(LYRD_MAX_CHANNELS, 0);
        for (size_t i = 0; i < 4096; i++) channels[i] = uint8_t(i * 7 + 1);
    }
    void TearDown() override { SetLogSink(nullptr); }
    static Json::Value parse(const char* text) {
        Json::Value v;
        Json::Reader().parse(text, v);
        return v;
    }
    std::vector<uint8_t> channels;
    std::string errors;
};

TEST_F(ArtNetOutputTest, UnicastUniversesCarrySequencedEvenLengthData) {
    FakeNode node("127.0.0.2");
    ASSERT_TRUE(node.ok);
    ArtNetOutput out;
    ASSERT_TRUE(out.Init(parse(R"({"type": "artnet", "sync": 1, "universes": [
        {"id": 300, "startChannel": 11, "channelCount": 3, "address": "127.0.0.2"},
        {"id": 32766, "startChannel": 101, "channelCount": 512, "universeCount": 2, "address": "127.0.0.2"}]})")));
    EXPECT_EQ(3u, out.UniverseCount());
    EXPECT_EQ(100u + 1024u, out.MaxChannel());
    for (int frame = 1; frame <= 2; frame++) {
        EXPECT_EQ(4, out.SendData(channels.data())) << "three universes and one OpSync";
        Bytes a = node.next(1000), b = node.next(1000), c = node.next(1000), s = node.next(1000);
        ASSERT_EQ(size_t(ARTNET_DMX_HEADER_LEN + 4), a.size()) << "3 channels sent as 4";
        EXPECT_EQ(frame, a[12]);
        EXPECT_EQ(300 & 0xFF, a[14]);
        EXPECT_EQ(300 >> 8, a[15]);
        EXPECT_EQ(4, a[17]);
        EXPECT_EQ(0, memcmp(a.data() + 18, &channels[10], 3));
        EXPECT_EQ(0, a[21]) << "pad byte";
        ASSERT_EQ(size_t(ARTNET_DMX_HEADER_LEN + 512), c.size());
        EXPECT_EQ(0xFF, c[14]);
        EXPECT_EQ(0x7F, c[15]);
        EXPECT_EQ(0, memcmp(b.data() + 18, &channels[100], 512));
        EXPECT_EQ(0, memcmp(c.data() + 18, &channels[612], 512));
        EXPECT_EQ(ArtNetPacket::OpSync, ArtNetPacket::OpCodeOf(s.data(), s.size())) << "sync after the data";
    }
    EXPECT_TRUE(node.next(100).empty()) << "one OpSync per destination";
}

TEST_F(ArtNetOutputTest, BadUniversesAreSkipped) {
    ArtNetOutput out;
    ASSERT_TRUE(out.Init(parse(R"({"universes": [
        {"id": 32768, "startChannel": 1, "channelCount": 10},
        {"id": -1, "startChannel": 1, "channelCount": 10},
        {"id": 1, "startChannel": 1, "channelCount": 513},
        {"id": 32767, "startChannel": 1, "channelCount": 10, "universeCount": 2},
        {"id": 2, "startChannel": 1048570, "channelCount": 100},
        {"id": 3, "startChannel": 1, "channelCount": 10, "address": "no.such.host.invalid"},
        {"id": 0, "startChannel": 1, "channelCount": 10, "address": "127.0.0.2"}]})")));
    EXPECT_EQ(1u, out.UniverseCount()) << "port address 0 is a universe like the others";
    for (const char* why : {"port address (id) out of", "channelCount out of", "universeCount out of",
                            "beyond the buffer", "can not resolve"})
        EXPECT_NE(std::string::npos, errors.find(why)) << why << "\n" << errors;
    ArtNetOutput none;
    EXPECT_FALSE(none.Init(parse(R"({"universes": []})")));
}

// Waits (bounded) until the output has heard from `nodes` nodes.
bool waitNodes(const ArtNetOutput& out, size_t nodes) {
    for (int i = 0; i < 200 && out.NodeCount() != nodes; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return out.NodeCount() == nodes;
}

TEST_F(ArtNetOutputTest, UniversesWithoutAddressGoToNodesThatAnsweredThePoll) {
    // The "broadcast address" is a loopback address where the fake node listens.
    FakeNode node("127.0.0.3");
    ASSERT_TRUE(node.ok);
    ArtNetOutput out;
    ASSERT_TRUE(out.Init(parse(R"({"broadcastAddress": "127.0.0.3", "universes": [
        {"id": 5, "startChannel": 1, "channelCount": 8},
        {"id": 6, "startChannel": 9, "channelCount": 8}]})")));
    struct sockaddr_in board {};
    Bytes poll = node.nextOf(ArtNetPacket::OpPoll, 2000, &board);
    ASSERT_FALSE(poll.empty()) << "a poll right at start";
    EXPECT_EQ(ARTNET_PORT, ntohs(board.sin_port)) << "polls come from port 6454";
    EXPECT_EQ(0, out.SendData(channels.data())) << "nobody subscribes yet";

    node.sendTo(pollReply("127.0.0.3", 0, 0, {0x80}, {5}), board);
    ASSERT_TRUE(waitNodes(out, 1));
    EXPECT_EQ(1, out.SendData(channels.data()));
    Bytes dmx = node.nextOf(ArtNetPacket::OpDmx, 1000);
    ASSERT_EQ(size_t(ARTNET_DMX_HEADER_LEN + 8), dmx.size());
    EXPECT_EQ(5, dmx[14]);
    EXPECT_EQ(0, memcmp(dmx.data() + 18, &channels[0], 8));

    // 41 more subscribers of universe 6 (elsewhere on loopback): past 40 it
    // goes by broadcast, which this node sees.
    for (int i = 1; i <= 41; i++) {
        std::string a = "127.0.1." + std::to_string(i);
        node.sendTo(pollReply(a.c_str(), 0, 0, {0x80}, {6}), board);
        if (i == 40) {
            ASSERT_TRUE(waitNodes(out, 41));
            EXPECT_EQ(41, out.SendData(channels.data())) << "40 unicast copies and universe 5";
        }
    }
    ASSERT_TRUE(waitNodes(out, 42));
    while (!node.next(50).empty()) {
    }
    EXPECT_EQ(2, out.SendData(channels.data()));
    std::vector<int> universes;
    for (Bytes p = node.nextOf(ArtNetPacket::OpDmx, 300); !p.empty();
         p = node.nextOf(ArtNetPacket::OpDmx, 300))
        universes.push_back(p[14]);
    std::sort(universes.begin(), universes.end());
    EXPECT_EQ((std::vector<int>{5, 6}), universes);
}

TEST_F(ArtNetOutputTest, BroadcastSwitchSendsWithoutAnyReply) {
    FakeNode node("127.0.0.4");
    ASSERT_TRUE(node.ok);
    ArtNetOutput out;
    ASSERT_TRUE(out.Init(parse(R"({"broadcast": 1, "broadcastAddress": "127.0.0.4",
        "universes": [{"id": 7, "startChannel": 1, "channelCount": 2}]})")));
    EXPECT_EQ(1, out.SendData(channels.data()));
    Bytes dmx = node.nextOf(ArtNetPacket::OpDmx, 1000);
    ASSERT_EQ(size_t(ARTNET_DMX_HEADER_LEN + 2), dmx.size());
    EXPECT_EQ(7, dmx[14]);
}

}  // namespace
