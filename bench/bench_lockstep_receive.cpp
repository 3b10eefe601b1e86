// Receive path: datagrams per second ProcessControlPacket handles on one
// core (mixed sequence sync, media sync and pings), against a bare recvmmsg
// loop draining the same socket.  Runs in its own network namespace on
// loopback; prints figures only.
#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "Lockstep.h"
#include "bench_result.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

class NullBackend : public LockstepBackend {
public:
    void OpenSequence(const std::string&) override {}
    void StartSequence(const std::string& n, int) override { running = n; }
    bool IsSequenceRunning(const std::string& n) override { return n == running; }
    bool IsAnySequenceRunning() override { return !running.empty(); }
    std::string RunningSequenceName() override { return running; }
    void CloseIfOpen(const std::string&) override {}
    void CloseSequence() override {}
    void SendBlankingData() override {}
    int FrameIntervalMs() override { return 25; }
    void ResetMasterPosition() override {}
    void UpdateMasterPosition(int) override { updates++; }
    bool HasMediaOutput() override { return false; }
    std::string MediaFilename() override { return ""; }
    bool MatchesRunningMediaFilename(const std::string&) override { return false; }
    bool OpenMedia(const std::string&) override { return true; }
    bool StartMedia(const std::string&) override { return true; }
    void CloseMedia() override {}
    void UpdateMasterMediaPosition(const std::string&, float) override { updates++; }
    void PluginData(const std::string&, const uint8_t*, int) override {}
    void RunTextCommand(const std::string&) override {}
    void RunCommand(const std::string&, const std::vector<std::string>&) override {}
    void ProcessTamrinPacket(int, const sockaddr_in&, const in_addr&, const uint8_t*, int) override {}
    std::vector<std::pair<int, int>> OutputRanges() override { return {}; }
    std::string LoadedPlaylistName() override { return ""; }
    bool LoadPlaylist(const std::string&) override { return false; }
    int FindPosForMS(uint64_t&) override { return 0; }
    void GetFilenamesForPos(int, std::string&, std::string&) override {}
    bool DetectControllerViaHTML(const std::string&, const std::string&, LockstepSystemInfo&) override {
        return false;
    }
    std::string running;
    long updates = 0;
};

bool privateNetns() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr = {};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

std::vector<std::vector<uint8_t>> mixedPackets() {
    std::vector<std::vector<uint8_t>> out;
    uint8_t buf[LOCKSTEP_SEND_BUFFER];
    for (int i = 0; i < 64; i++) {
        memset(buf, 0, sizeof(buf));
        int len;
        if (i % 4 == 3) {
            LockstepSystem s;
            s.hostname = "peer" + std::to_string(i % 8);
            s.lyrMode = PLAYER_MODE;
            s.octets[0] = 10;
            s.octets[3] = i % 8 + 1;
            len = CreatePingPacket(s, reinterpret_cast<char*>(buf), 0);
        } else if (i % 4 == 2) {
            len = BuildSyncPacket(buf, sizeof(buf), SyncAction::Sync, SyncFileType::Media, 0, i * 0.5f, "song.mp3");
        } else {
            len = BuildSyncPacket(buf, sizeof(buf), SyncAction::Sync, SyncFileType::Sequence, i * 10, i * 0.25f,
                                  "show.lseq");
        }
        out.emplace_back(buf, buf + len);
    }
    return out;
}

// Queues `count` datagrams on the receive socket from a loopback sender.
void fill(int sender, const std::vector<std::vector<uint8_t>>& packets, int count) {
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(LOCKSTEP_PORT);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    for (int i = 0; i < count; i++) {
        const auto& p = packets[i % packets.size()];
        sendto(sender, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
}

int pending(int sock) {
    int n = 0;
    ioctl(sock, FIONREAD, &n);
    return n;
}

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main() {
    if (!privateNetns()) {
        printf("bench_lockstep_receive: needs root to make a private network namespace; skipped\n");
        return 0;
    }
    VB_SYNC.level = 0;
    settings.lyrMode = REMOTE_MODE;
    auto ls = std::make_unique<Lockstep>();
    NullBackend backend;
    ls->SetBackend(&backend);
    if (!ls->OpenReceiveSocket()) {
        printf("could not open the receive socket\n");
        return 1;
    }
    int sock = ls->GetReceiveSocket();
    int big = 64 << 20;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big));
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    auto packets = mixedPackets();
    const int count = 20000;
    const int rounds = 5;

    double lockstepBest = 0, bareBest = 0;
    for (int r = 0; r < rounds; r++) {
        // Bare floor: recvmmsg in batches of 12, nothing else.
        fill(sender, packets, count);
        mmsghdr msgs[12];
        iovec iov[12];
        static uint8_t bufs[12][1501];
        auto t0 = std::chrono::steady_clock::now();
        int got = 0;
        for (;;) {
            for (int i = 0; i < 12; i++) {
                iov[i] = {bufs[i], 1500};
                memset(&msgs[i], 0, sizeof(msgs[i]));
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            int n = recvmmsg(sock, msgs, 12, MSG_DONTWAIT, nullptr);
            if (n <= 0) break;
            got += n;
        }
        double bare = got / seconds(t0, std::chrono::steady_clock::now());

        fill(sender, packets, count);
        t0 = std::chrono::steady_clock::now();
        while (pending(sock) > 0) ls->ProcessControlPacket(false);
        double handled = got / seconds(t0, std::chrono::steady_clock::now());
        if (bare > bareBest) bareBest = bare;
        if (handled > lockstepBest) lockstepBest = handled;
        printf("round %d: %d datagrams; bare recvmmsg %.0f datagrams/s, ProcessControlPacket %.0f datagrams/s\n", r + 1, got,
               bare, handled);
    }
    printf("best: bare recvmmsg %.0f/s, ProcessControlPacket %.0f/s, ratio %.2f (target at least 0.50)\n", bareBest,
           lockstepBest, bareBest > 0 ? lockstepBest / bareBest : 0.0);
    benchres::result("sync receive: ProcessControlPacket", ">= 0.50x floor",
                     ("bare recvmmsg " + std::to_string(long(bareBest)) + "/s").c_str(),
                     "%.0f datagrams/s (%.2fx)", lockstepBest, bareBest > 0 ? lockstepBest / bareBest : 0.0);
    printf("statistics records: %u, position updates applied: %ld\n", ls->GetSyncStats()["systems"].size(),
           backend.updates);
    close(sender);
    return 0;
}
