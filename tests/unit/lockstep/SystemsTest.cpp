// The system table, channel-range text, address expansion, host matching
// and the statistics table.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "LockstepStats.h"
#include "LockstepSystems.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

LockstepSystemInfo pingInfo(const std::string& address, const std::string& host, int mode = PLAYER_MODE) {
    LockstepSystemInfo i;
    i.type = kSysTypeLYRRaspberryPi4;
    i.majorVersion = 5;
    i.minorVersion = 1;
    i.lyrMode = mode;
    i.address = address;
    i.hostname = host;
    i.version = "5.1";
    i.model = "Pi";
    i.ranges = "1-10";
    i.uuid = "Unknown";
    i.capable = true;
    i.lockstep = false;
    return i;
}

LockstepSystemInfo probeInfo(const std::string& address) {
    LockstepSystemInfo i;
    i.type = kSysTypeWLED;
    i.address = address;
    i.hostname = "wled-" + address;
    i.version = "0.14";
    i.model = "ESP";
    i.ranges = "1-300";
    i.uuid = "abc";
    i.capable = false;
    return i;
}

const uint32_t T0 = 1800000000;

std::set<std::string> expand(const std::string& spec, std::set<std::string>* namedOut = nullptr) {
    std::set<std::string> named;
    auto result = ExpandHTTPSubnets(spec, named, [](const std::string& n) {
        if (n == "ctrl.local") return std::string("10.9.9.9");
        if (n == "loop.local") return std::string("127.0.1.1");
        if (n == "10.2.2.2") return n;
        return std::string();
    });
    if (namedOut) *namedOut = named;
    return result;
}

}  // namespace

TEST(CreateRanges, JoinsAndMergesClosestNeighbours) {
    std::vector<std::pair<int, int>> r = {{1, 512}, {513, 512}, {2001, 170}};
    EXPECT_EQ(createRanges(r, 999999), "1-512,513-1024,2001-2170");
    EXPECT_EQ(createRanges(r, 16), "1-1024,2001-2170");
    EXPECT_EQ(createRanges(r, 15), "1-2170");
    EXPECT_EQ(createRanges({}, 120), "");
    // One range that is still too long stays as it is.
    EXPECT_EQ(createRanges({{100000, 900000}}, 3), "100000-999999");
    // Ties merge the first pair.
    EXPECT_EQ(createRanges({{1, 10}, {21, 10}, {41, 10}}, 12), "1-30,41-50");
}

TEST(CreateRanges, LimitOfPingsHoldsForManyOutputs) {
    std::vector<std::pair<int, int>> r;
    for (int i = 0; i < 200; i++) r.push_back({1 + i * 1000, 170});
    std::string text = createRanges(r, 120);
    EXPECT_LE(text.size(), 120u);
    EXPECT_EQ(text.substr(0, 2), "1-");
}

TEST(ExpandHTTPSubnets, ListsRangesAndNames) {
    EXPECT_EQ(expand("192.168.5.[10-12,20]"),
              (std::set<std::string>{"192.168.5.10", "192.168.5.11", "192.168.5.12", "192.168.5.20"}));
    EXPECT_EQ(expand("10.1.1.0/30"), (std::set<std::string>{"10.1.1.1", "10.1.1.2"}));
    EXPECT_EQ(expand("10.1.1.9/32"), (std::set<std::string>{"10.1.1.9"}));
    EXPECT_EQ(expand("10.1.1.8/31"), (std::set<std::string>{"10.1.1.8", "10.1.1.9"}));
    EXPECT_EQ(expand(" 10.1.1.9/32 , ,10.1.1.9/32"), (std::set<std::string>{"10.1.1.9"}));
    EXPECT_EQ(expand("10.3.[1,2].1,10.1.1.9/32").size(), 3u);
    std::set<std::string> named;
    EXPECT_EQ(expand("ctrl.local,loop.local,nosuch.local", &named), (std::set<std::string>{"10.9.9.9"}));
    EXPECT_EQ(named, (std::set<std::string>{"10.9.9.9"}));
    EXPECT_EQ(expand("10.2.2.2/24/1"), (std::set<std::string>{"10.2.2.2"}));
}

TEST(ExpandHTTPSubnets, HugeOrMalformedRangesAreRefused) {
    EXPECT_TRUE(expand("10.0.0.0/8").empty());
    EXPECT_TRUE(expand("0.0.0.0/0").empty());
    EXPECT_EQ(expand("10.0.0.0/16").size(), 65534u);
    EXPECT_TRUE(expand("10.0.0.[1-99999999]").empty());
    EXPECT_TRUE(expand("10.0.0.[5-1]").empty());
    EXPECT_TRUE(expand("10.0.0.[x]").empty());
    EXPECT_TRUE(expand("10.0.0.0/33").empty());
    // Numeric results must be real addresses: "10.[300]" is not 10.0.1.44.
    EXPECT_TRUE(expand("10.[300]").empty());
    EXPECT_TRUE(expand("10.0.0.[250-260]").empty());
    // Never wraps past the top of the address space.
    auto top = expand("255.255.255.250/29");
    for (const auto& a : top) EXPECT_EQ(a.substr(0, 12), "255.255.255.");
    // Only addresses inside the ranges given.
    for (const auto& a : expand("10.4.4.64/27")) {
        int last = std::stoi(a.substr(a.rfind('.') + 1));
        EXPECT_TRUE(a.substr(0, 7) == "10.4.4." && last >= 65 && last <= 94) << a;
    }
}

TEST(MyHostMatches, ExactItems) {
    LockstepSystem local;
    local.address = "10.0.0.2";
    local.hostname = "show2";
    std::vector<LockstepSystem> locals = {local};
    EXPECT_TRUE(MyHostMatches("me", "me", locals));
    EXPECT_TRUE(MyHostMatches("x,10.0.0.2", "me", locals));
    EXPECT_TRUE(MyHostMatches("show2", "me", locals));
    EXPECT_FALSE(MyHostMatches("Show2", "me", locals));
    EXPECT_FALSE(MyHostMatches(" show2", "me", locals));
    EXPECT_FALSE(MyHostMatches("", "me", locals));
}

TEST(SystemTable, SecondPingRefreshesTheSameRecord) {
    LockstepSystemTable t;
    t.UpdateSystem(pingInfo("10.0.0.5", "a"), "10.0.0.5", T0);
    t.UpdateSystem(pingInfo("10.0.0.5", "a"), "10.0.0.5", T0 + 30);
    auto remotes = t.RemoteSystems();
    ASSERT_EQ(remotes.size(), 1u);
    EXPECT_EQ(remotes[0].lastSeen, T0 + 30);
    EXPECT_EQ(remotes[0].lastSeenStr, LockstepTimeString(T0 + 30));
    EXPECT_EQ(remotes[0].octets[3], 5);
    // Same address, another host name: another system behind the address.
    t.UpdateSystem(pingInfo("10.0.0.5", "b"), "10.0.0.5", T0 + 40);
    EXPECT_EQ(t.RemoteSystems().size(), 2u);
}

TEST(SystemTable, MasterModeIsStoredAsPlayerThatSendsSync) {
    LockstepSystemTable t;
    t.UpdateSystem(pingInfo("10.0.0.6", "m", MASTER_MODE), "10.0.0.6", T0);
    Json::Value j = t.ToJSON(false, true, "");
    ASSERT_EQ(j["systems"].size(), 1u);
    EXPECT_EQ(j["systems"][0]["lyrMode"].asInt(), 2);
    EXPECT_TRUE(j["systems"][0]["lockstep"].asBool());
    EXPECT_EQ(j["systems"][0]["lyrModeString"].asString(), "player");
    EXPECT_EQ(j["systems"][0]["local"].asInt(), 0);
    EXPECT_EQ(j["systems"][0]["lockstepCapable"].asInt(), 1);
    EXPECT_FALSE(j["systems"][0].isMember("HostDescription"));
}

TEST(SystemTable, ProbeNeverOverwritesWhatAPingSaid) {
    LockstepSystemTable t;
    t.UpdateSystem(probeInfo("10.0.0.7"), "10.0.0.7", T0);
    ASSERT_FALSE(t.RemoteSystems()[0].lockstepCapable);
    LockstepSystemInfo p = pingInfo("10.0.0.7", "wled-10.0.0.7");
    t.UpdateSystem(p, "10.0.0.7", T0 + 10);
    auto r = t.RemoteSystems();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].lockstepCapable);
    EXPECT_EQ(r[0].version, "5.1");
    EXPECT_EQ(r[0].uuid, "abc");  // "Unknown" never replaces a uuid
    LockstepSystemInfo later = probeInfo("10.0.0.7");
    later.uuid = "def";
    t.UpdateSystem(later, "10.0.0.7", T0 + 20);
    r = t.RemoteSystems();
    EXPECT_EQ(r[0].version, "5.1");
    EXPECT_EQ(r[0].type, kSysTypeLYRRaspberryPi4);
    EXPECT_EQ(r[0].lastSeen, T0 + 20);
    EXPECT_EQ(r[0].uuid, "def");
}

TEST(SystemTable, ExpiryAfterTwoHoursAndPingsAfterEightyMinutes) {
    LockstepSystemTable t;
    t.UpdateSystem(pingInfo("10.0.0.1", "old"), "10.0.0.1", T0 - 7201);
    t.UpdateSystem(pingInfo("10.0.0.2", "quiet"), "10.0.0.2", T0 - 4801);
    t.UpdateSystem(pingInfo("10.0.0.3", "fresh"), "10.0.0.3", T0 - 100);
    t.UpdateSystem(pingInfo("10.0.0.4", "ancient"), "10.0.0.4", T0 - 36001);
    auto r = t.Expire(T0);
    EXPECT_EQ(r.removed, (std::vector<std::string>{"10.0.0.1", "10.0.0.4"}));
    ASSERT_EQ(r.toPing.size(), 1u);
    EXPECT_EQ(r.toPing[0].address, "10.0.0.2");
    EXPECT_TRUE(r.rediscover);
    EXPECT_EQ(t.RemoteSystems().size(), 2u);
    // Exactly two hours is not yet "over two hours".
    LockstepSystemTable u;
    u.UpdateSystem(pingInfo("10.0.0.9", "edge"), "10.0.0.9", T0 - 7200);
    EXPECT_TRUE(u.Expire(T0).removed.empty());
    EXPECT_FALSE(u.Expire(T0).rediscover);
}

TEST(SystemTable, LocalRecordsComeFirstAndNeverExpire) {
    LockstepSystemTable t;
    LockstepSystem templ;
    templ.hostname = "me";
    templ.lastSeen = T0 - 99999;
    EXPECT_TRUE(t.AddLocal(templ, "10.0.0.100"));
    EXPECT_FALSE(t.AddLocal(templ, "10.0.0.100"));
    t.UpdateSystem(pingInfo("10.0.0.5", "a"), "10.0.0.5", T0);
    t.Expire(T0 + 10);
    Json::Value j = t.ToJSON(false, false, "1-512");
    ASSERT_EQ(j["systems"].size(), 2u);
    EXPECT_EQ(j["systems"][0]["address"].asString(), "10.0.0.100");
    EXPECT_EQ(j["systems"][0]["local"].asInt(), 1);
    EXPECT_EQ(j["systems"][0]["channelRanges"].asString(), "1-512");
    EXPECT_TRUE(j["systems"][0].isMember("HostDescription"));
    EXPECT_FALSE(j["systems"][0].isMember("lastSeen"));
    EXPECT_EQ(t.ToJSON(true, true, "")["systems"].size(), 1u);
    EXPECT_TRUE(t.IsLocalAddress("10.0.0.100"));
    EXPECT_TRUE(t.IsLocalHostOrAddress("me"));
    EXPECT_EQ(t.RemoteHostName("10.0.0.5"), "a");
    EXPECT_EQ(t.RemoteHostName("10.0.0.100"), "");
}

TEST(StatsTable, RecordsSurviveAConcurrentReset) {
    LockstepStatsTable table;
    std::atomic<bool> stop{false};
    std::thread resetter([&] {
        while (!stop) {
            table.Reset();
            table.ToJSON();
        }
    });
    for (int i = 0; i < 20000; i++) {
        auto rec = table.Touch("10.0.0." + std::to_string(i % 7), [] { return std::string("h"); }, T0 + i);
        rec->pktSyncSeqSync++;
        rec->pktError++;
        EXPECT_EQ(rec->hostname, "h");
    }
    stop = true;
    resetter.join();
    table.Reset();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.ToJSON().size(), 0u);
}

TEST(StatsTable, JSONKeysInOrder) {
    LockstepStatsTable table;
    auto rec = table.Touch("10.0.0.2", [] { return std::string("two"); }, T0);
    rec->pktPing += 3;
    table.Touch("10.0.0.2", [] { return std::string("ignored"); }, T0 + 5);
    Json::Value j = table.ToJSON();
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["hostname"].asString(), "two");
    EXPECT_EQ(j[0]["lastReceiveTime"].asString(), LockstepTimeString(T0 + 5));
    EXPECT_EQ(j[0]["pktPing"].asUInt(), 3u);
    std::vector<std::string> keys = j[0].getMemberNames();
    EXPECT_EQ(keys.size(), 17u);
}

// Made-up pings, each with a new identity, must not grow the table for ever.
TEST(SystemTable, ANewSystemBeyondTheBoundIsRefusedWhileKnownOnesStillRefresh) {
    LockstepSystemTable t;
    const size_t max = LockstepSystemTable::MAX_REMOTE_SYSTEMS;
    for (size_t i = 0; i < max; i++) {
        std::string a = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        t.UpdateSystem(pingInfo(a, "h" + std::to_string(i)), a, T0);
    }
    ASSERT_EQ(t.RemoteSystems().size(), max);
    std::vector<std::string> warnings;
    SetLogSink([&](int level, const std::string&, const std::string& msg) {
        if (level <= LOG_WARN) warnings.push_back(msg);
    });
    t.UpdateSystem(pingInfo("10.9.9.9", "new"), "10.9.9.9", T0 + 1);
    t.UpdateSystem(pingInfo("10.9.9.10", "new2"), "10.9.9.10", T0 + 2);
    t.UpdateSystem(pingInfo("10.1.0.1", "h0"), "10.1.0.1", T0 + 3);
    SetLogSink(nullptr);
    auto remotes = t.RemoteSystems();
    EXPECT_EQ(remotes.size(), max);
    EXPECT_EQ(remotes[0].lastSeen, T0 + 3) << "a known system still refreshes";
    EXPECT_EQ(t.RemoteHostName("10.9.9.9"), "");
    ASSERT_EQ(warnings.size(), 1u) << "one warning, not one per refused ping";
    EXPECT_NE(warnings[0].find("System table full (4096 remote systems); not adding 10.9.9.9 (new)"),
              std::string::npos);
    // Once the silent ones have expired there is room again.
    SetLogSink([](int, const std::string&, const std::string&) {});  // 4095 removal lines
    t.Expire(T0 + 7300);
    SetLogSink(nullptr);
    t.UpdateSystem(pingInfo("10.9.9.9", "new"), "10.9.9.9", T0 + 7300);
    EXPECT_EQ(t.RemoteHostName("10.9.9.9"), "new");
}
