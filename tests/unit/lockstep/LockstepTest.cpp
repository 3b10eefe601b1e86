// The Lockstep object over real sockets inside the binary's private network
// namespace: pacing, batched receive, dispatch, statistics, interfaces,
// remotes, command routing and expiry.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>

#include "Lockstep.h"
#include "LockstepTestSupport.h"
#include "settings.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A plain UDP socket on 127.0.0.1:32320 standing in for a remote.
class UdpReceiver {
public:
    UdpReceiver() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(LOCKSTEP_PORT);
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~UdpReceiver() { close(fd); }
    std::vector<Bytes> drain() {
        std::vector<Bytes> out;
        uint8_t buf[2048];
        for (;;) {
            int n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n < 0) break;
            out.emplace_back(buf, buf + n);
        }
        return out;
    }
    int fd;
    bool ok;
};

// Sends datagrams to 127.0.0.1:32320 from `from` (any local address).
class UdpSender {
public:
    explicit UdpSender(const char* from = "127.0.0.1") {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    ~UdpSender() { close(fd); }
    void send(const Bytes& b, const char* to = "127.0.0.1") {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(LOCKSTEP_PORT);
        inet_pton(AF_INET, to, &a.sin_addr);
        sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    int fd;
};

Bytes syncPacket(SyncAction action, SyncFileType type, int frame, float seconds, const std::string& name) {
    uint8_t buf[LOCKSTEP_SEND_BUFFER] = {0};
    int len = BuildSyncPacket(buf, sizeof(buf), action, type, frame, seconds, name);
    return Bytes(buf, buf + len);
}

int frameOf(const Bytes& b) { return static_cast<int32_t>(GetLE32(&b[9])); }

class RecordingObserver : public LockstepPlugin {
public:
    explicit RecordingObserver(std::vector<std::string>* into, const std::string& tag) : log(into), tag(tag) {}
    void SendSeqSyncPacket(const std::string& f, int frames, float) override {
        log->push_back(tag + " seq " + std::to_string(frames));
    }
    void SendMediaSyncPacket(const std::string& f, float s) override { log->push_back(tag + " media"); }
    void ShutdownSync() override { log->push_back(tag + " shutdown"); }
    std::vector<std::string>* log;
    std::string tag;
};

class LockstepTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_NETNS();
        savedMode = settings.lyrMode;
        for (const char* key : {"LockstepRemotes", "LockstepExtraRemotes", "LockstepMulticast", "LockstepBroadcast",
                                "remoteOffset", "LockstepEnabled", "HostName", "LockstepInterface"})
            SetSetting(key, "");
        ls = std::make_unique<Lockstep>();
        ls->SetBackend(&backend);
        ls->SetClock([this] { return now; });
    }
    void TearDown() override {
        if (!InPrivateNetns()) return;
        ls.reset();
        settings.lyrMode = savedMode;
    }
    // A master sending to one unicast remote on loopback.
    void openAsMaster() {
        SetSetting("LockstepRemotes", "127.0.0.1");
        ls->SetSendingSync(true);
        ASSERT_TRUE(ls->OpenControlSockets());
    }
    void openReceiver(lyrMode mode) {
        settings.lyrMode = mode;
        ASSERT_TRUE(ls->OpenReceiveSocket());
    }
    std::vector<int> sentFrames(UdpReceiver& r) {
        std::vector<int> frames;
        for (auto& b : r.drain()) {
            if (b.size() >= 17 && b[4] == 1 && b[7] == 2) frames.push_back(frameOf(b));
        }
        return frames;
    }

    RecordingBackend backend;
    std::unique_ptr<Lockstep> ls;
    uint32_t now = 1800000000;
    lyrMode savedMode;
};

}  // namespace

TEST_F(LockstepTest, SequencePacingAfterStart) {
    UdpReceiver remote;
    ASSERT_TRUE(remote.ok);
    openAsMaster();
    ls->SendSeqSyncStartPacket("show.lseq");
    for (int f : {0, 1, 2, 3, 4, 5, 8, 12, 33, 40, 43, 44}) ls->SendSeqSyncPacket("show.lseq", f, f * 0.025f);
    EXPECT_EQ(sentFrames(remote), (std::vector<int>{0, 4, 8, 12, 33, 43}));

    for (int f : {100, 105, 109, 110}) ls->SendSeqSyncPacket("show.lseq", f, 0);
    EXPECT_EQ(sentFrames(remote), (std::vector<int>{100, 110}));

    // A jump backwards sends nothing until the distance is made up, except frame 0.
    for (int f : {50, 60, 119, 120, 0}) ls->SendSeqSyncPacket("show.lseq", f, 0);
    EXPECT_EQ(sentFrames(remote), (std::vector<int>{120, 0}));
}

TEST_F(LockstepTest, UrgentReportsGoAtOnceAndResumeThePacingFromThere) {
    UdpReceiver remote;
    ASSERT_TRUE(remote.ok);
    openAsMaster();
    ls->SendSeqSyncStartPacket("show.lseq");
    ls->SendSeqSyncPacket("show.lseq", 40, 1.0f);
    ls->SendSeqSyncPacket("show.lseq", 41, 1.025f, true);
    ls->SendSeqSyncPacket("show.lseq", 42, 1.05f, true);
    ls->SendSeqSyncPacket("show.lseq", 42, 1.05f, true);  // the same frame again: nothing new to tell
    ls->SendSeqSyncPacket("show.lseq", 45, 1.125f);
    ls->SendSeqSyncPacket("show.lseq", 52, 1.3f);  // ten after the last urgent one
    EXPECT_EQ(sentFrames(remote), (std::vector<int>{40, 41, 42, 52}));
    // Stepped back (its media started late): told at once, not once frame 62 is passed.
    ls->SendSeqSyncPacket("show.lseq", 12, 0.3f, true);
    ls->SendSeqSyncPacket("show.lseq", 13, 0.325f);
    ls->SendSeqSyncPacket("show.lseq", 22, 0.55f);
    EXPECT_EQ(sentFrames(remote), (std::vector<int>{12, 22}));
}

TEST_F(LockstepTest, StopResetsPacingAndFirstReportAfterOpen) {
    UdpReceiver remote;
    openAsMaster();
    ls->SendSeqOpenPacket("a.lseq");
    ls->SendSeqSyncPacket("a.lseq", 3, 0);  // 3 - (-1) = 4: sent
    ls->SendSeqSyncPacket("a.lseq", 5, 0);
    ls->SendSeqSyncStopPacket("a.lseq");
    ls->SendSeqSyncStartPacket("a.lseq");
    ls->SendSeqSyncPacket("a.lseq", 0, 0);
    auto packets = remote.drain();
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[0][7], 3);  // open
    EXPECT_EQ(frameOf(packets[1]), 3);
    EXPECT_EQ(packets[2][7], 1);  // stop
    EXPECT_EQ(packets[3][7], 0);  // start
    EXPECT_EQ(frameOf(packets[4]), 0);
}

TEST_F(LockstepTest, MediaPacingByHalfSeconds) {
    UdpReceiver remote;
    openAsMaster();
    ls->SendMediaSyncStartPacket("song.mp3");
    for (float s : {0.2f, 0.4f, 0.6f, 0.9f, 1.0f, 1.4f}) ls->SendMediaSyncPacket("song.mp3", s);
    std::vector<float> sent;
    for (auto& b : remote.drain()) {
        if (b[7] != 2) continue;
        uint32_t bits = GetLE32(&b[13]);
        float s;
        memcpy(&s, &bits, 4);
        sent.push_back(s);
        EXPECT_EQ(b[8], 1);
    }
    EXPECT_EQ(sent, (std::vector<float>{0.6f, 1.0f}));
}

TEST_F(LockstepTest, ObserversSeeEveryReportInOrder) {
    std::vector<std::string> log;
    RecordingObserver a(&log, "a"), b(&log, "b"), c(&log, "c");
    openAsMaster();
    ls->addLockstepPlugin(&a);
    ls->addLockstepPlugin(&b);
    ls->addLockstepPlugin(&c);
    ls->removeLockstepPlugin(&b);
    ls->removeLockstepPlugin(&b);  // not registered any more: nothing
    ls->SendSeqSyncStartPacket("x");
    for (int f : {0, 1, 2}) ls->SendSeqSyncPacket("x", f, 0);
    ls->SendMediaSyncPacket("m", 0.1f);
    ls->SendSeqSyncPacket("", 5, 0);  // no name: nothing at all
    EXPECT_EQ(log, (std::vector<std::string>{"a seq 0", "c seq 0", "a seq 1", "c seq 1", "a seq 2", "c seq 2",
                                             "a media", "c media"}));
    log.clear();
    ls->ShutdownSync();
    EXPECT_EQ(log, (std::vector<std::string>{"a shutdown", "c shutdown"}));
    EXPECT_FALSE(ls->IsControlSocketOpen());
}

TEST_F(LockstepTest, SendersRefuseWithoutAControlSocket) {
    LogCapture logs(LOG_DEBUG);
    std::vector<std::string> log;
    RecordingObserver a(&log, "a");
    ls->addLockstepPlugin(&a);
    ls->SendSeqSyncPacket("x", 0, 0);
    ls->SendSeqSyncStartPacket("x");
    ls->SendBlankingDataPacket();
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(logs.count("ERROR: Tried to send sync packet but sync socket is not open."), 1);
    EXPECT_EQ(logs.count("ERROR: Tried to send start packet but sync socket is not open."), 1);
    EXPECT_EQ(logs.count("ERROR: Tried to send blanking data packet but control socket is not open."), 1);
}

TEST_F(LockstepTest, RemotesAreTrimmedDeduplicatedAndSorted) {
    LogCapture logs(LOG_DEBUG);
    SetSetting("LockstepRemotes", " 10.0.0.6 ,10.0.0.5, 10.0.0.5 ,,");
    ls->SetSendingSync(true);
    ASSERT_TRUE(ls->OpenControlSockets());
    EXPECT_EQ(ls->GetUnicastDestinations(), (std::vector<std::string>{"10.0.0.5", "10.0.0.6"}));
    EXPECT_EQ(logs.count("2 Remote Sync systems configured"), 1);
    EXPECT_FALSE(ls->IsMulticastEnabled());
    EXPECT_TRUE(ls->OpenControlSockets());  // already open: nothing changes
    EXPECT_EQ(logs.count("Remote Sync systems configured"), 1);
}

TEST_F(LockstepTest, NoRemotesMeansMulticast) {
    ls->SetSendingSync(true);
    SetSetting("LockstepMulticast", "0");
    ASSERT_TRUE(ls->OpenControlSockets());
    EXPECT_TRUE(ls->IsMulticastEnabled());
    EXPECT_FALSE(ls->IsBroadcastEnabled());
    EXPECT_TRUE(ls->GetUnicastDestinations().empty());
}

TEST_F(LockstepTest, InterfaceFilterAndUpkeep) {
    ASSERT_TRUE(NetnsShell("ip link add eth0 type veth peer name usb0"));
    ASSERT_TRUE(NetnsShell("ip link add wlan0 type veth peer name tether"));
    ASSERT_TRUE(NetnsShell("ip link add SoftAp1 type veth peer name eth7"));
    int n = 1;
    for (const char* dev : {"eth0", "usb0", "wlan0", "tether", "SoftAp1"})
        ASSERT_TRUE(NetnsShell("ip addr add 10.50." + std::to_string(n++) + ".1/24 dev " + dev));
    ls->FillInInterfaces();
    auto names = ls->GetInterfaceNames();
    EXPECT_EQ(names, (std::vector<std::string>{"eth0", "wlan0"}));
    EXPECT_FALSE(ls->FillInInterfaces());
    ASSERT_TRUE(NetnsShell("ip addr add 10.50.9.1/24 dev eth7"));
    EXPECT_TRUE(ls->FillInInterfaces());

    LogCapture logs(LOG_EXCESS);
    EXPECT_FALSE(ls->RemoveInterface("nosuch0"));
    EXPECT_TRUE(logs.lines().empty());
    EXPECT_TRUE(ls->RemoveInterface("eth7"));
    EXPECT_EQ(ls->GetInterfaceNames(), (std::vector<std::string>{"eth0", "wlan0"}));
    // The monitor's address events drive the same upkeep.
    ls->NetworkChanged(2, 1, "eth7");
    EXPECT_EQ(ls->GetInterfaceNames().size(), 3u);
    ls->NetworkChanged(3, 0, "eth7");
    EXPECT_EQ(ls->GetInterfaceNames().size(), 2u);
    NetnsShell("ip link del eth0");
    NetnsShell("ip link del wlan0");
    NetnsShell("ip link del SoftAp1");
}

TEST_F(LockstepTest, StaleSyncInOneBatchIsSkipped) {
    LogCapture logs(LOG_EXCESS);
    openReceiver(REMOTE_MODE);
    UdpSender master;
    for (int f : {100, 110, 120}) master.send(syncPacket(SyncAction::Sync, SyncFileType::Sequence, f, 0, "s.lseq"));
    master.send(syncPacket(SyncAction::Sync, SyncFileType::Media, 0, 3.0f, "s.mp3"));
    master.send(syncPacket(SyncAction::Sync, SyncFileType::Sequence, 130, 0, "s.lseq"));
    ls->ProcessControlPacket(false);
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"mediaPos s.mp3 3.00", "start s.lseq 130", "master 130"}));
    EXPECT_EQ(logs.count("Skipping sync packet 0/5"), 1);
    EXPECT_EQ(logs.count("Skipping sync packet 1/5"), 1);
    EXPECT_EQ(logs.count("Skipping sync packet 2/5"), 1);
    EXPECT_EQ(logs.count("Skipping sync packet"), 3);
    auto stats = ls->GetSyncStats();
    ASSERT_EQ(stats["systems"].size(), 1u);
    EXPECT_EQ(stats["systems"][0]["pktSyncSeqSync"].asUInt(), 1u);
    EXPECT_EQ(stats["systems"][0]["pktSyncMedSync"].asUInt(), 1u);
    EXPECT_EQ(stats["masterIP"].asString(), "127.0.0.1");
}

TEST_F(LockstepTest, StopThenSyncAreBothApplied) {
    openReceiver(REMOTE_MODE);
    backend.running = "s.lseq";
    UdpSender master;
    master.send(syncPacket(SyncAction::Stop, SyncFileType::Sequence, 0, 0, "s.lseq"));
    master.send(syncPacket(SyncAction::Sync, SyncFileType::Sequence, 7, 0, "s.lseq"));
    ls->ProcessControlPacket(false);
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"closeIfOpen s.lseq", "start s.lseq 7", "master 7"}));
}

TEST_F(LockstepTest, SecondsOutrankTheFrameFieldAndOffsetApplies) {
    openReceiver(REMOTE_MODE);
    backend.running = "s.lseq";
    ls->SyncSyncedSequence("s.lseq", 3, 1.0f);
    ls->SyncSyncedSequence("s.lseq", 3, 0.0f);
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"master 40", "master 3"}));

    SetSetting("remoteOffset", "200");
    ASSERT_TRUE(ls->OpenReceiveSocket());
    EXPECT_FLOAT_EQ(ls->GetRemoteOffset(), -0.2f);
    backend.calls.clear();
    UdpSender master;
    master.send(syncPacket(SyncAction::Sync, SyncFileType::Sequence, 1, 1.0f, "s.lseq"));
    ls->ProcessControlPacket(false);
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"master 48"}));

    SetSetting("remoteOffset", "-300");
    ASSERT_TRUE(ls->OpenReceiveSocket());
    backend.calls.clear();
    master.send(syncPacket(SyncAction::Sync, SyncFileType::Sequence, 9, 0.1f, "s.lseq"));
    ls->ProcessControlPacket(false);
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"master 9"}));
}

TEST_F(LockstepTest, PlayerModeOnlyRefreshesTheSendersRecord) {
    openReceiver(PLAYER_MODE);
    UdpSender master;
    master.send(syncPacket(SyncAction::Start, SyncFileType::Sequence, 0, 0, "s.lseq"));
    master.send(Bytes{'L', 'Y', 'R', 'D', 3, 0, 0});
    ls->ProcessControlPacket(false);
    EXPECT_TRUE(backend.calls.empty());
    Json::Value s = ls->GetSyncStats()["systems"];
    ASSERT_EQ(s.size(), 1u);
    for (const auto& key : s[0].getMemberNames()) {
        if (key.rfind("pkt", 0) == 0) {
            EXPECT_EQ(s[0][key].asUInt(), 0u) << key;
        }
    }
    EXPECT_EQ(s[0]["lastReceiveTime"].asString(), LockstepTimeString(now));
    EXPECT_EQ(ls->GetMasterAddress(), "");
}

TEST_F(LockstepTest, BlankingAndMediaOnARemote) {
    openReceiver(REMOTE_MODE);
    UdpSender master;
    master.send(Bytes{'L', 'Y', 'R', 'D', 3, 0, 0});
    master.send(syncPacket(SyncAction::Open, SyncFileType::Media, 0, 0, "a.mp3"));
    master.send(syncPacket(SyncAction::Open, SyncFileType::Media, 0, 0, "b.mp3"));
    master.send(syncPacket(SyncAction::Start, SyncFileType::Media, 0, 0, "b.mp3"));
    master.send(syncPacket(SyncAction::Stop, SyncFileType::Media, 0, 0, "a.mp3"));
    master.send(syncPacket(SyncAction::Stop, SyncFileType::Media, 0, 0, "b.mp3"));
    ls->ProcessControlPacket(false);
    // Within one batch a later open (or stop) makes an earlier one stale,
    // whatever its file name.
    EXPECT_EQ(backend.calls,
              (std::vector<std::string>{"blank", "openMedia b.mp3", "startMedia b.mp3", "closeMedia"}));
    Json::Value s = ls->GetSyncStats()["systems"][0];
    EXPECT_EQ(s["pktBlank"].asUInt(), 1u);
    EXPECT_EQ(s["pktSyncMedOpen"].asUInt(), 1u);
    EXPECT_EQ(s["pktSyncMedStop"].asUInt(), 1u);

    // Apart, both apply: another file's stop leaves the playing one alone.
    backend.calls.clear();
    master.send(syncPacket(SyncAction::Open, SyncFileType::Media, 0, 0, "a.mp3"));
    ls->ProcessControlPacket(false);
    master.send(syncPacket(SyncAction::Stop, SyncFileType::Media, 0, 0, "b.mp3"));
    ls->ProcessControlPacket(false);
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"openMedia a.mp3"}));
}

TEST_F(LockstepTest, BadDatagramsAreCountedAndChangeNothing) {
    LogCapture logs(LOG_ERR);
    openReceiver(REMOTE_MODE);
    UdpSender attacker;
    attacker.send(Bytes{'L', 'Y', 'R', 'D', 0, 0, 0});                           // command with no text
    attacker.send(Bytes{'L', 'Y', 'R', 'D', 1, 4, 0, 0, 0, 0});                  // length lies
    attacker.send(Bytes{'L', 'Y', 'R', 'D', 1, 3, 0, 1, 2, 3});                  // sync too short
    attacker.send(Bytes{'X', 'Y', 'R', 'D', 1, 0, 0});                           // no magic
    attacker.send(Bytes{'L', 'Y'});                                              // too short
    attacker.send(Bytes{'L', 'Y', 'R', 'D', 5, 3, 0, 'a', 'b', 'c'});            // plug-in name unterminated
    attacker.send(Bytes{'L', 'Y', 'R', 'D', 6, 5, 0, 3, 0, 'c', 0, 'x'});        // arguments missing
    attacker.send(Bytes{'L', 'Y', 'R', 'D', 4, 9, 0, 3, 1, 2, 3, 4, 5, 6, 7, 8});  // ping too short
    attacker.send(Bytes{'L', 'Y', 'R', 'D', 9, 0, 0});                           // unknown type
    attacker.send(Bytes{0x55, 1, 2});                                            // controller protocol
    ls->ProcessControlPacket(false);
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"tamrin 3"}));
    Json::Value s = ls->GetSyncStats()["systems"];
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0]["pktError"].asUInt(), 5u);
    EXPECT_EQ(logs.count("Error: Invalid length of received command packet"), 1);
    EXPECT_EQ(logs.count("Error: Expected 4 data bytes, received 3"), 1);
    EXPECT_EQ(logs.count("Error: Invalid length of received sync packet"), 1);
    EXPECT_EQ(logs.count("missing 'LYRD' header"), 1);
    EXPECT_EQ(logs.count("Error: Received control packet too short"), 1);
    EXPECT_EQ(logs.count("ERROR: Invalid length of received Ping packet"), 1);
}

TEST_F(LockstepTest, RandomFloodLeavesEverythingStanding) {
    int savedLevel = VB_SYNC.level;
    VB_SYNC.level = 0;  // thousands of rejections: keep the output readable
    openReceiver(REMOTE_MODE);
    UdpSender attacker;
    std::mt19937 rng(99);
    for (int round = 0; round < 20; round++) {
        for (int i = 0; i < 40; i++) {
            Bytes b(rng() % 600);
            for (auto& x : b) x = rng() & 0xFF;
            if (b.size() >= 7 && (rng() % 3)) {
                memcpy(b.data(), "LYRD", 4);
                b[4] = rng() % 7;
                if (rng() & 1) PutLE16(&b[5], b.size() - 7);
            }
            if (!b.empty() && (b[0] == 0x55 || b[0] == 0xCC)) b[0] = 0;
            attacker.send(b);
        }
        ls->ProcessControlPacket(false);
    }
    VB_SYNC.level = savedLevel;
    // Still receiving: a good packet goes through afterwards.
    backend.calls.clear();
    attacker.send(syncPacket(SyncAction::Open, SyncFileType::Sequence, 0, 0, "after.lseq"));
    ls->ProcessControlPacket(false);
    ASSERT_FALSE(backend.calls.empty());
    EXPECT_EQ(backend.calls.back(), "open after.lseq");
    EXPECT_GT(ls->GetSyncStats()["systems"][0]["pktError"].asUInt(), 0u);
}

TEST_F(LockstepTest, OwnAddressLeavesNoStatistics) {
    ASSERT_TRUE(NetnsShell("ip link add own0 type veth peer name own1"));
    ASSERT_TRUE(NetnsShell("ip addr add 10.77.0.1/24 dev own0"));
    ASSERT_TRUE(NetnsShell("ip link set own0 up && ip link set own1 up"));
    ls->FillInInterfaces();
    ls->FillLocalSystemInfo();
    openReceiver(REMOTE_MODE);
    UdpSender self("10.77.0.1");
    self.send(syncPacket(SyncAction::Open, SyncFileType::Sequence, 0, 0, "mine.lseq"), "10.77.0.1");
    ls->ProcessControlPacket(false);
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"reset", "open mine.lseq"}));
    EXPECT_EQ(ls->GetSyncStats()["systems"].size(), 0u);
    EXPECT_EQ(ls->GetMasterAddress(), "10.77.0.1");
    NetnsShell("ip link del own0");
}

TEST_F(LockstepTest, CommandsAndPluginData) {
    openReceiver(PLAYER_MODE);
    ls->SetLocalHostName("me");
    UdpSender peer;
    uint8_t buf[LOCKSTEP_SEND_BUFFER] = {0};
    int len = BuildCommandPacket(buf, sizeof(buf), "t");
    peer.send(Bytes(buf, buf + len));
    len = BuildLyrCommandPacket(buf, sizeof(buf), "", "Volume Set", {"70"});
    peer.send(Bytes(buf, buf + len));
    len = BuildLyrCommandPacket(buf, sizeof(buf), "other,me", "Stop Now", {});
    peer.send(Bytes(buf, buf + len));
    len = BuildLyrCommandPacket(buf, sizeof(buf), "other", "Never", {});
    peer.send(Bytes(buf, buf + len));
    uint8_t data[4] = {1, 2, 3, 4};
    len = BuildPluginPacket(buf, sizeof(buf), "p", data, 4);
    peer.send(Bytes(buf, buf + len));
    ls->ProcessControlPacket(false);
    EXPECT_EQ(backend.calls,
              (std::vector<std::string>{"text t", "command Volume Set 70", "command Stop Now", "plugin p 4"}));
    Json::Value s = ls->GetSyncStats()["systems"][0];
    EXPECT_EQ(s["pktCommand"].asUInt(), 1u);
    EXPECT_EQ(s["pktLyrCommand"].asUInt(), 2u);
    EXPECT_EQ(s["pktPlugin"].asUInt(), 1u);
}

TEST_F(LockstepTest, CommandRoutingByHost) {
    UdpReceiver remote;
    openAsMaster();
    ls->SetLocalHostName("me");
    ls->SendLyrCommandPacket("", "All", {"1"});
    EXPECT_EQ(remote.drain().size(), 1u);
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"command All 1"}));

    backend.calls.clear();
    ls->SendLyrCommandPacket("127.0.0.1", "One", {});
    auto got = remote.drain();
    ASSERT_EQ(got.size(), 1u);
    LyrCommandInfo info;
    ASSERT_TRUE(ParseLyrCommandPacket(got[0].data(), got[0].size(), info));
    EXPECT_EQ(info.hosts, "127.0.0.1");
    EXPECT_EQ(info.command, "One");
    EXPECT_TRUE(backend.calls.empty());

    ls->SendLyrCommandPacket("me", "Mine", {});
    EXPECT_TRUE(remote.drain().empty());
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"command Mine"}));

    backend.calls.clear();
    ls->SendLyrCommandPacket("x,y", "Theirs", {});
    EXPECT_EQ(remote.drain().size(), 1u);
    EXPECT_TRUE(backend.calls.empty());
}

TEST_F(LockstepTest, PingsLearnSystemsAndDiscoverGetsAnswered) {
    LogCapture logs(LOG_DEBUG);
    openReceiver(PLAYER_MODE);
    ASSERT_TRUE(ls->OpenBroadcastSocket());
    ls->SetLocalHostName("me");
    LockstepSystem other;
    other.type = kSysTypeLYRRaspberryPi3B;
    other.lyrMode = MASTER_MODE;
    other.lockstep = true;
    other.hostname = "peer";
    uint8_t o[4] = {127, 0, 0, 1};
    memcpy(other.octets, o, 4);
    char buf[LOCKSTEP_PING_BUFFER_BROADCAST] = {0};
    int len = CreatePingPacket(other, buf, 1);
    UdpSender peer;
    peer.send(Bytes(buf, buf + len));
    peer.send(Bytes(buf, buf + len));
    ls->ProcessControlPacket(false);
    auto remotes = ls->GetRemoteSystems();
    ASSERT_EQ(remotes.size(), 1u);
    EXPECT_EQ(remotes[0].hostname, "peer");
    EXPECT_EQ(remotes[0].lyrMode, PLAYER_MODE);
    EXPECT_TRUE(remotes[0].lockstep);
    EXPECT_TRUE(remotes[0].lockstepCapable);
    // Two discovers within a second: one broadcast answer (each asker also
    // gets its own by unicast); two seconds on, the next one is answered
    // by broadcast again.
    EXPECT_EQ(logs.count("Lockstep::Ping(0, 1)"), 1);
    now += 2;
    peer.send(Bytes(buf, buf + len));
    ls->ProcessControlPacket(false);
    EXPECT_EQ(logs.count("Lockstep::Ping(0, 1)"), 2);
    EXPECT_EQ(ls->GetSyncStats()["systems"][0]["pktPing"].asUInt(), 3u);
    EXPECT_EQ(ls->GetSyncStats()["systems"][0]["hostname"].asString(), "");  // record made before the system

    // A discover ping carrying this system's own host name gets no answer.
    other.hostname = "me";
    memset(buf, 0, sizeof(buf));
    len = CreatePingPacket(other, buf, 1);
    peer.send(Bytes(buf, buf + len));
    ls->ProcessControlPacket(false);
    EXPECT_EQ(logs.count("Lockstep::Ping(0, 1)"), 2);
}

TEST_F(LockstepTest, ExpiryFollowsTheClock) {
    LogCapture logs(LOG_INFO);
    ls->UpdateSystem(kSysTypeLYR, 1, 0, PLAYER_MODE, "10.0.0.5", "gone", "1.0", "m", "", "Unknown", true, false);
    ls->PeriodicPing();  // starts the check clock
    now += 7201;
    ls->PeriodicPing();
    EXPECT_TRUE(ls->GetRemoteSystems().empty());
    EXPECT_EQ(logs.count("Have not seen 10.0.0.5 in over 2 hours, removing"), 1);

    ls->UpdateSystem(kSysTypeLYR, 1, 0, PLAYER_MODE, "10.0.0.6", "quiet", "1.0", "m", "", "Unknown", true, false);
    now += 30;
    ls->PeriodicPing();  // within the minute: no check
    now += 4801;
    ls->PeriodicPing();
    EXPECT_EQ(ls->GetRemoteSystems().size(), 1u);
}

TEST_F(LockstepTest, ResetKeepsTheMasterAddress) {
    openReceiver(REMOTE_MODE);
    UdpSender master;
    master.send(syncPacket(SyncAction::Open, SyncFileType::Sequence, 0, 0, "s.lseq"));
    ls->ProcessControlPacket(false);
    ls->ResetSyncStats();
    Json::Value s = ls->GetSyncStats();
    EXPECT_EQ(s["systems"].size(), 0u);
    EXPECT_TRUE(s["systems"].isArray());
    EXPECT_EQ(s["masterIP"].asString(), "127.0.0.1");
    EXPECT_EQ(s["masterHostname"].asString(), "");
}

TEST_F(LockstepTest, GetSystemsShowsLocalRanges) {
    ASSERT_TRUE(NetnsShell("ip link add gs0 type veth peer name gs1"));
    ASSERT_TRUE(NetnsShell("ip addr add 10.78.0.1/24 dev gs0"));
    backend.ranges = {{1, 512}, {513, 512}};
    SetSetting("HostName", "board");
    ls->FillLocalSystemInfo();
    Json::Value j = ls->GetSystems(true, false);
    bool found = false;
    for (const auto& s : j["systems"]) {
        if (s["address"].asString() != "10.78.0.1") continue;
        found = true;
        EXPECT_EQ(s["hostname"].asString(), "board");
        EXPECT_EQ(s["channelRanges"].asString(), "1-512,513-1024");
        EXPECT_EQ(s["local"].asInt(), 1);
    }
    EXPECT_TRUE(found);
    NetnsShell("ip link del gs0");
}
