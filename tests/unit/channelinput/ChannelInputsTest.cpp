// The bridge buffer fed with datagrams as bytes: configuration, universe
// placement, what is ignored, liveness, statistics and the Art-Net side.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "InputPackets.h"
#include "channelinput/ChannelInputs.h"
#include "channelinput/InputConfig.h"
#include "common.h"

using namespace inputtest;

namespace {

const int64_t MS = 1000000;
const int64_t T0 = 1000 * MS;

std::vector<InputUniverse> config(const std::string& json, std::vector<std::string>* problems = nullptr) {
    std::vector<std::string> p;
    auto list = ParseInputConfig(LoadJsonFromString(json), p);
    if (problems) *problems = p;
    return list;
}

const char* TWO_SACN_ONE_ART = R"({"channelInputs": [{"interface": "eth0", "universes": [
    {"protocol": "sacn", "id": 1, "startChannel": 1, "channelCount": 4, "universeCount": 2},
    {"protocol": "artnet", "id": 17, "startChannel": 101, "channelCount": 3}]}]})";

sockaddr_in from(uint32_t ip, uint16_t port = 6454) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    return a;
}

ChannelInputs::Outcome give(ChannelInputs& in, const std::vector<uint8_t>& p, int64_t t) {
    std::vector<uint8_t> copy(p);
    return in.ReceiveE131(copy.data(), copy.size(), t);
}

std::vector<uint8_t> buffer(const ChannelInputs& in, size_t n, int64_t t) {
    std::vector<uint8_t> b(n, 0xEE);
    in.Copy(b.data(), n, t);
    return b;
}

}  // namespace

TEST(InputConfig, ExpandsUniversesAndLeavesOutBadOnesByPosition) {
    std::vector<std::string> problems;
    auto list = config(R"({"channelInputs": [
        {"interface": "eth1", "universes": [
            {"id": 5, "startChannel": 1, "channelCount": 510, "universeCount": 3},
            {"protocol": "dmx", "id": 1, "startChannel": 1},
            {"id": 0, "startChannel": 1},
            {"id": 64000, "startChannel": 1},
            {"protocol": "artnet", "id": 32768, "startChannel": 1},
            {"protocol": "artnet", "id": 0, "startChannel": 2000, "channelCount": 2},
            {"id": 9, "startChannel": 1, "channelCount": 513},
            {"id": 9, "channelCount": 10},
            {"id": 63999, "startChannel": 1, "universeCount": 2},
            {"id": 6, "startChannel": 9000},
            {"active": 0, "id": 99, "startChannel": 1},
            {"id": 20, "startChannel": 1048000, "channelCount": 512, "universeCount": 2},
            "nonsense"]},
        {"enabled": 0, "universes": [{"id": 30, "startChannel": 1}]},
        {"universes": 3}]})",
                       &problems);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].universe, 5);
    EXPECT_EQ(list[0].start, 0u);
    EXPECT_EQ(list[0].count, 510u);
    EXPECT_EQ(list[0].interface, "eth1");
    EXPECT_EQ(list[2].universe, 7);
    EXPECT_EQ(list[2].start, 1020u);
    EXPECT_EQ(list[3].protocol, InputProtocol::ArtNet);
    EXPECT_EQ(list[3].universe, 0);
    EXPECT_EQ(list[3].start, 1999u);
    std::string all;
    for (const auto& p : problems) all += p + "\n";
    EXPECT_EQ(problems.size(), 11u) << all;
    EXPECT_NE(all.find("channelInputs[0].universes[1]: protocol"), std::string::npos) << all;
    EXPECT_NE(all.find("channelInputs[0].universes[4]: id out of 0-32767"), std::string::npos) << all;
    EXPECT_NE(all.find("channelInputs[0].universes[9]: sacn universe 6 is configured twice"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("channelInputs[0].universes[11]: channels beyond"), std::string::npos) << all;
    EXPECT_NE(all.find("channelInputs[0].universes[12]: not an object"), std::string::npos) << all;
    EXPECT_NE(all.find("channelInputs[2]: not an object"), std::string::npos) << all;

    EXPECT_TRUE(config("[]", &problems).empty());
    ASSERT_EQ(problems.size(), 1u);
}

TEST(ChannelInputs, UniversesFillTheirChannelsAndOnlyWhileLive) {
    ChannelInputs in(config(TWO_SACN_ONE_ART));
    EXPECT_EQ(in.MaxChannel(), 103u);
    EXPECT_FALSE(in.HasData(T0));
    EXPECT_EQ(buffer(in, 10, T0), std::vector<uint8_t>(10, 0));

    EXPECT_EQ(give(in, e131(1, 2, 100, 0, {1, 2, 3, 4, 5, 6}), T0), ChannelInputs::Outcome::Changed);
    EXPECT_TRUE(in.HasData(T0));
    // Universe 2 covers channels 5-8; a longer packet does not spill over.
    EXPECT_EQ(buffer(in, 10, T0), (std::vector<uint8_t>{0, 0, 0, 0, 1, 2, 3, 4, 0, 0}));
    std::vector<uint8_t> frame(10, 7);
    in.ApplyLive(frame.data(), frame.size(), T0);
    EXPECT_EQ(frame, (std::vector<uint8_t>{7, 7, 7, 7, 1, 2, 3, 4, 7, 7}));
    // A short buffer is not written past.
    std::vector<uint8_t> small(6, 9);
    in.ApplyLive(small.data(), small.size(), T0);
    EXPECT_EQ(small, (std::vector<uint8_t>{9, 9, 9, 9, 1, 2}));

    // 2.5 s later the data is stale: no longer bridged, channels read 0.
    EXPECT_TRUE(in.HasData(T0 + 2499 * MS));
    EXPECT_FALSE(in.HasData(T0 + 2500 * MS));
    EXPECT_EQ(buffer(in, 10, T0 + 2500 * MS), std::vector<uint8_t>(10, 0));
}

// A console frame is complete once every live universe has sent since the
// mark: the receiver then sends it on without waiting for a gap.
TEST(ChannelInputs, BurstIsCompleteOnceEveryLiveUniverseHasSent) {
    ChannelInputs in(config(TWO_SACN_ONE_ART));
    EXPECT_FALSE(in.BurstComplete(T0));  // nothing live: nothing to complete
    give(in, e131(1, 1, 100, 0, {1}), T0);
    EXPECT_TRUE(in.BurstComplete(T0));  // the only live universe has sent
    in.MarkBurst();
    EXPECT_FALSE(in.BurstComplete(T0));
    give(in, e131(1, 2, 100, 0, {2}), T0);
    EXPECT_FALSE(in.BurstComplete(T0));  // universe 1 is live and has not sent again
    give(in, e131(1, 1, 100, 1, {3}), T0);
    EXPECT_TRUE(in.BurstComplete(T0));

    // Refused packets do not count; an Art-Net universe counts like any other.
    in.MarkBurst();
    give(in, e131(1, 1, 100, 1, {3}), T0 + MS);  // duplicate: out of order
    give(in, e131(1, 2, 100, 1, {4}), T0 + MS);
    EXPECT_FALSE(in.BurstComplete(T0 + MS));
    std::vector<uint8_t> art = artDmx(17, 0, {9, 9});
    in.ReceiveArtNet(art.data(), art.size(), from(0x0a000001), T0 + MS);
    give(in, e131(1, 1, 100, 2, {5}), T0 + MS);
    EXPECT_TRUE(in.BurstComplete(T0 + MS));

    // A universe that went quiet for 2.5 s is no longer waited for.
    in.MarkBurst();
    int64_t later = T0 + 2600 * MS;
    give(in, e131(1, 1, 100, 3, {6}), later);
    EXPECT_TRUE(in.BurstComplete(later));
}

TEST(ChannelInputs, PreviewStartCodesOtherUniversesAndDiscoveryAreIgnored) {
    ChannelInputs in(config(TWO_SACN_ONE_ART));
    using O = ChannelInputs::Outcome;
    EXPECT_EQ(give(in, e131(1, 1, 100, 0, {9}, 0x80), T0), O::Ignored);
    E131Fields f;
    f.startCode = 0xDD;  // per-channel priorities
    f.slots = {200, 200};
    EXPECT_EQ(give(in, e131(f), T0), O::Ignored);
    EXPECT_EQ(give(in, e131(1, 3, 100, 0, {9}), T0), O::Ignored);
    EXPECT_FALSE(in.HasData(T0));
    std::vector<uint8_t> bad = e131(1, 1, 100, 0, {9});
    bad[117] = 7;
    EXPECT_EQ(give(in, bad, T0), O::Dropped);
    std::vector<uint8_t> junk = {1, 2, 3};
    EXPECT_EQ(give(in, junk, T0), O::Dropped);
    in.CountTruncated(InputProtocol::SACN, 2000, T0);

    Json::Value s = in.Stats(T0, 1700000000000LL);
    ASSERT_EQ(s["universes"].size(), 3u);
    const Json::Value& u1 = s["universes"][0];
    EXPECT_EQ(u1["protocol"].asString(), "sacn");
    EXPECT_EQ(u1["universe"].asInt(), 1);
    EXPECT_EQ(u1["packets"].asInt(), 3);
    EXPECT_EQ(u1["errors"]["malformed"].asInt(), 1);
    EXPECT_EQ(u1["ignored"]["preview"].asInt(), 1);
    EXPECT_EQ(u1["ignored"]["startCode"].asInt(), 1);
    EXPECT_EQ(u1["lastPacket"].asString(), "2023-11-14T22:13:20.000Z");
    EXPECT_EQ(s["sacn"]["malformed"].asInt(), 3);
    EXPECT_EQ(s["sacn"]["otherUniverses"].asInt(), 1);
    EXPECT_EQ(s["universes"][2]["protocol"].asString(), "artnet");
    EXPECT_EQ(s["universes"][2]["lastPacket"].asString(), "");
}

TEST(ChannelInputs, StatisticsListLiveSourcesAndReset) {
    ChannelInputs in(config(TWO_SACN_ONE_ART));
    give(in, e131(1, 1, 100, 5, {1}), T0);
    give(in, e131(2, 1, 120, 5, {2}), T0 + 10 * MS);
    give(in, e131(2, 1, 120, 5, {3}), T0 + 20 * MS);  // duplicate
    give(in, e131(2, 1, 120, 4, {3}), T0 + 30 * MS);  // late
    Json::Value s = in.Stats(T0 + 1000 * MS, 1700000000000LL);
    const Json::Value& u = s["universes"][0];
    EXPECT_TRUE(u["live"].asBool());
    EXPECT_EQ(u["packets"].asInt(), 4);
    EXPECT_EQ(u["bytes"].asInt(), 4 * 127);
    EXPECT_EQ(u["errors"]["outOfOrder"].asInt(), 2);
    ASSERT_EQ(u["sources"].size(), 2u);
    EXPECT_EQ(u["sources"][1]["name"].asString(), "source 2");
    EXPECT_EQ(u["sources"][1]["priority"].asInt(), 120);
    EXPECT_EQ(u["sources"][1]["cid"].asString(), "20212223-2425-2627-2829-2a2b2c2d2e2f");
    EXPECT_EQ(u["sources"][1]["lastPacket"].asString(), "2023-11-14T22:13:19.010Z");
    EXPECT_EQ(buffer(in, 1, T0 + 1000 * MS)[0], 2);

    in.ResetStats();
    s = in.Stats(T0 + 1000 * MS, 1700000000000LL);
    EXPECT_EQ(s["universes"][0]["packets"].asInt(), 0);
    EXPECT_EQ(s["universes"][0]["errors"]["outOfOrder"].asInt(), 0);
    EXPECT_EQ(s["universes"][0]["sources"].size(), 2u) << "sources are state, not counters";
    // Terminate of the higher source hands over to the lower at once.
    give(in, e131(2, 1, 120, 6, {}, 0x40), T0 + 1100 * MS);
    EXPECT_EQ(buffer(in, 1, T0 + 1100 * MS)[0], 1);
}

TEST(ChannelInputs, ArtNetTwoSourcesMergeAndPollIsReported) {
    ChannelInputs in(config(TWO_SACN_ONE_ART));
    using O = ChannelInputs::Outcome;
    auto art = [&](uint32_t ip, uint16_t port, std::vector<uint8_t> p, int64_t t) {
        return in.ReceiveArtNet(p.data(), p.size(), from(ip, port), t);
    };
    EXPECT_EQ(art(0x0A000001, 6454, artDmx(17, 0, {10, 0, 30, 99}), T0), O::Changed);
    EXPECT_EQ(art(0x0A000002, 6454, artDmx(17, 0, {0, 20, 5, 99}), T0), O::Changed);
    EXPECT_EQ(art(0x0A000002, 6455, artDmx(17, 0, {255, 255}), T0), O::Dropped) << "a third source";
    EXPECT_EQ(art(0x0A000001, 6454, artDmx(18, 0, {1, 1}), T0), O::Ignored);
    EXPECT_EQ(art(0x0A000001, 6454, artPoll(), T0), O::Poll);
    auto bad = artDmx(17, 0, {1, 2});
    bad[16] = 9;
    EXPECT_EQ(art(0x0A000001, 6454, bad, T0), O::Dropped);
    std::vector<uint8_t> b = buffer(in, 104, T0);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 100, b.end()), (std::vector<uint8_t>{10, 20, 30, 0}));

    std::vector<uint16_t> ports;
    std::vector<bool> live;
    in.ArtNetPorts(T0, ports, live);
    EXPECT_EQ(ports, std::vector<uint16_t>{17});
    EXPECT_EQ(live, std::vector<bool>{true});

    // Numbered packets are ordered per sender.
    EXPECT_EQ(art(0x0A000001, 6454, artDmx(17, 10, {1, 1}), T0 + MS), O::Changed);
    EXPECT_EQ(art(0x0A000001, 6454, artDmx(17, 9, {1, 1}), T0 + MS), O::Dropped);
    // Not live 2.5 s after the last packet, though the sources are held 10 s.
    EXPECT_FALSE(in.HasData(T0 + 2600 * MS));
    Json::Value s = in.Stats(T0 + 2600 * MS, 1700000000000LL);
    const Json::Value& u = s["universes"][2];
    EXPECT_EQ(u["sources"].size(), 2u);
    EXPECT_EQ(u["sources"][0]["address"].asString(), "10.0.0.1:6454");
    EXPECT_EQ(u["errors"]["sourceLimit"].asInt(), 1);
    EXPECT_EQ(u["errors"]["outOfOrder"].asInt(), 1);
    EXPECT_EQ(u["errors"]["malformed"].asInt(), 1);
    EXPECT_EQ(s["artnet"]["polls"].asInt(), 1);
}
