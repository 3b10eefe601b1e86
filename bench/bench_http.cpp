// Load on "/lyrd/status": requests/s and latency percentiles at 5 and 50
// keep-alive connections, and the longest gap between iterations of a main
// loop running beside the API server meanwhile.
//
// The process moves itself into a private network namespace (loopback only)
// before it listens, so no traffic can leave the machine.  It needs root for
// that and says so otherwise.  The API server is the daemon's own (port
// 32322, five workers); the main loop here does what the daemon's does per
// iteration while playing: a 10 ms epoll wait, then the player's tick,
// with a repeating playlist of one sequence playing through the real player,
// sequence player and channel-output thread.
//
// The load generator is built in: one thread, epoll, keep-alive connections
// that each send the next request as soon as the answer is complete.
//
//   bench_http [seconds per run, default 20]
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Player.h"
#include "Portal.h"
#include "Scheduler.h"
#include "bench_result.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/ChannelOutputs.h"
#include "channeloutput/LSEQFile.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowUS() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

bool enterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        perror("unshare(CLONE_NEWNET)");
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (fd >= 0) close(fd);
    if (!ok) perror("bringing up lo");
    return ok;
}

struct Conn {
    int fd = -1;
    std::string in;
    int64_t sentAt = 0;
};

const char kRequest[] = "GET /lyrd/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

int openConn(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

// Length of one whole response at the start of buf, 0 while incomplete.
size_t completeResponse(const std::string& buf) {
    size_t end = buf.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    size_t cl = buf.find("Content-Length:");
    if (cl == std::string::npos || cl > end) cl = buf.find("content-length:");
    if (cl == std::string::npos || cl > end) return end + 4;
    size_t len = strtoul(buf.c_str() + cl + 15, nullptr, 10);
    return buf.size() >= end + 4 + len ? end + 4 + len : 0;
}

struct LoadResult {
    std::vector<uint32_t> latencies;  // microseconds
    uint64_t errors = 0;
    double seconds = 0;
};

LoadResult runLoad(uint16_t port, int connections, int seconds) {
    LoadResult r;
    int ep = epoll_create1(0);
    std::vector<Conn> conns(connections);
    for (int i = 0; i < connections; ++i) {
        conns[i].fd = openConn(port);
        if (conns[i].fd < 0) {
            r.errors++;
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
        conns[i].sentAt = nowUS();
        if (send(conns[i].fd, kRequest, sizeof(kRequest) - 1, MSG_NOSIGNAL) < 0) r.errors++;
    }
    int64_t start = nowUS();
    int64_t end = start + static_cast<int64_t>(seconds) * 1000000;
    epoll_event events[64];
    char buf[16384];
    while (nowUS() < end) {
        int n = epoll_wait(ep, events, 64, 100);
        for (int k = 0; k < n; ++k) {
            Conn& c = conns[events[k].data.u32];
            ssize_t got = recv(c.fd, buf, sizeof(buf), 0);
            if (got <= 0) {
                r.errors++;
                epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
                close(c.fd);
                c.fd = -1;
                continue;
            }
            c.in.append(buf, static_cast<size_t>(got));
            size_t whole;
            while ((whole = completeResponse(c.in)) > 0) {
                int64_t t = nowUS();
                if (c.in.compare(0, 12, "HTTP/1.1 200") != 0) r.errors++;
                r.latencies.push_back(static_cast<uint32_t>(t - c.sentAt));
                c.in.erase(0, whole);
                c.sentAt = t;
                if (send(c.fd, kRequest, sizeof(kRequest) - 1, MSG_NOSIGNAL) < 0) r.errors++;
            }
        }
    }
    r.seconds = (nowUS() - start) / 1e6;
    for (auto& c : conns)
        if (c.fd >= 0) close(c.fd);
    close(ep);
    return r;
}

// The main loop's shape while a playlist plays: wait up to 10 ms, then tick.
class LoopProbe {
public:
    void start() {
        running = true;
        th = std::thread([this] { run(); });
    }
    void stop() {
        running = false;
        th.join();
    }
    int64_t maxGapUS() const { return maxGap; }
    void resetGap() { resetRequested = true; }

private:
    void run() {
        int ep = epoll_create1(0);
        epoll_event ev[4];
        int64_t last = nowUS();
        while (running) {
            epoll_wait(ep, ev, 4, 10);
            if (Player::INSTANCE.IsPlaying()) Player::INSTANCE.Process();
            int64_t t = nowUS();
            if (resetRequested.exchange(false)) maxGap = 0;
            maxGap = std::max(maxGap.load(), t - last);
            last = t;
        }
        close(ep);
    }
    std::thread th;
    std::atomic<bool> running{false};
    std::atomic<bool> resetRequested{false};
    std::atomic<int64_t> maxGap{0};
};

// A media directory holding one repeating playlist of a 2,000-channel,
// 40 fps pattern sequence, and the services a playing playlist uses.
std::string startPlaylist() {
    char tmpl[] = "/tmp/lyrd-bench-http-XXXXXX";
    std::string root = mkdtemp(tmpl);
    std::string media = root + "/media";
    for (const char* d : {"", "/playlists", "/sequences", "/config", "/tmp"})
        mkdir((media + d).c_str(), 0755);
    std::ofstream(media + "/settings") << "alwaysTransmit = \"0\"\n";
    ResetLyrDirsForTesting(LYRD_SOURCE_DIR, media);
    LoadSettings(nullptr);
    WriteLSEQTestSequence(media + "/sequences/bench.lseq", 2000, 4000, 25);
    std::ofstream(media + "/playlists/bench.json")
        << R"({"name":"bench","repeat":1,"loopCount":0,"leadIn":[],"leadOut":[],)"
        << R"("mainPlaylist":[{"type":"sequence","sequenceName":"bench.lseq","enabled":1,"playOnce":0}]})";
    CommandManager::INSTANCE.Init();
    scheduler = new Scheduler();
    sequence = new Sequence();
    Player::INSTANCE.Init();
    InitMediaOutput();
    InitializeChannelOutputs();
    Player::INSTANCE.StartPlaylist("bench", 1);
    return root;
}

void stopPlaylist(const std::string& root) {
    Player::INSTANCE.StopNow(1);
    for (int i = 0; i < 100 && Player::INSTANCE.IsPlaying(); ++i) {
        Player::INSTANCE.Process();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    StopChannelOutputThread();
    CloseChannelOutputs();
    std::string cmd = "rm -rf '" + root + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", root.c_str());
}

double percentile(std::vector<uint32_t>& v, double p) {
    if (v.empty()) return 0;
    size_t i = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1)));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(i), v.end());
    return v[i] / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 20;
    if (seconds <= 0 || seconds > 120) seconds = 20;
    if (geteuid() != 0) {
        printf("bench_http: needs root for a private network namespace; skipped\n");
        return 0;
    }
    if (!enterPrivateNetwork()) return 1;
    LyrLogger::INSTANCE.SetAllLevels(LOG_WARN);

    std::string root = startPlaylist();
    APIServer api;
    api.Init();
    if (!api.GetServer() || !api.GetServer()->is_running()) {
        printf("bench_http: API server did not start\n");
        return 1;
    }
    uint16_t port = api.GetServer()->get_bound_port();
    LoopProbe probe;
    probe.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    printf("playlist playing during load: %s (status %d, sequence running %d)\n",
           Player::INSTANCE.IsPlaying() ? "yes" : "no", Player::INSTANCE.GetStatus(),
           sequence->IsSequenceRunning());
    printf("%-12s %10s %10s %10s %10s %8s %14s\n", "connections", "requests", "req/s", "p50 ms", "p99 ms",
           "errors", "loop gap ms");
    // The same loop without HTTP load, for comparison on a busy machine.
    probe.resetGap();
    std::this_thread::sleep_for(std::chrono::seconds(std::min(seconds, 10)));
    double idleGapMS = probe.maxGapUS() / 1000.0;
    printf("%-12s %10s %10s %10s %10s %8s %14.1f\n", "0 (no load)", "-", "-", "-", "-", "-", idleGapMS);
    char idleGap[64];
    snprintf(idleGap, sizeof(idleGap), "loop gap without load %.1f ms", idleGapMS);
    for (int conns : {5, 50}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        probe.resetGap();
        LoadResult r = runLoad(port, conns, seconds);
        int64_t gap = probe.maxGapUS();
        size_t count = r.latencies.size();
        double p50 = percentile(r.latencies, 0.50);
        double p99 = percentile(r.latencies, 0.99);
        printf("%-12d %10zu %10.0f %10.3f %10.3f %8llu %14.1f\n", conns, count, count / r.seconds, p50, p99,
               static_cast<unsigned long long>(r.errors), gap / 1000.0);
        std::string at = " (" + std::to_string(conns) + " connections)";
        benchres::result(("HTTP /lyrd/status p99" + at).c_str(), conns == 5 ? "< 5 ms" : "-", "-",
                         "%.3f ms (p50 %.3f)", p99, p50);
        benchres::result(("HTTP /lyrd/status rate" + at).c_str(), "> 5000 req/s", "-", "%.0f req/s",
                         count / r.seconds);
        benchres::result(("main-loop gap under HTTP load" + at).c_str(), "<= 20 ms", idleGap, "%.1f ms",
                         gap / 1000.0);
    }
    probe.stop();
    stopPlaylist(root);
    printf("targets: p99 < 5 ms at 5 connections, > 5000 req/s, main-loop gap <= 20 ms\n");
    return 0;
}
