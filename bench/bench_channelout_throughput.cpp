// Throughput of the channel-output path: 334 E1.31 universes (170,000
// channels) at 40 frames/s, multicast on loopback in a private network
// namespace.  Prints the output thread's share of one core while paced, and
// the per-frame cost of the whole frame path (read the frame from the .lseq
// file, overlays, tester, E1.31 headers, sendmmsg) against a floor measured in
// the same run: a plain memcpy of the same bytes into packet buffers plus one
// sendmmsg of the same packets.  Targets: under 10 % of a core; within 1.5x
// of the floor.
//
//   bench_channelout_throughput [paced seconds, default 10]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "bench_channelout_common.h"
#include "bench_result.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/E131Output.h"
#include "channeloutput/Sequence.h"

namespace {

// 170 RGB pixels per universe, as such universes are usually laid out.
const int PER_UNIVERSE = 510;

std::atomic<int64_t> firstCPU{-1}, lastCPU{0};
std::atomic<long> frames{0};

void onFrame(int64_t) {
    int64_t cpu = cobench::cpuNS(CLOCK_THREAD_CPUTIME_ID);
    if (firstCPU < 0) firstCPU = cpu;
    lastCPU = cpu;
    frames++;
}

// memcpy into prebuilt packets + one sendmmsg per frame: the least any
// output of these bytes can cost.
double floorPerFrameUS(int channels, int iterations) {
    int universes = (channels + PER_UNIVERSE - 1) / PER_UNIVERSE;
    std::vector<std::vector<uint8_t>> pkts(size_t(universes), std::vector<uint8_t>(E131_HEADER_LEN + PER_UNIVERSE));
    std::vector<struct sockaddr_in> dst(static_cast<size_t>(universes));
    std::vector<struct iovec> iov(static_cast<size_t>(universes));
    std::vector<struct mmsghdr> msg(static_cast<size_t>(universes));
    uint8_t cid[16] = {};
    for (int u = 0; u < universes; u++) {
        int count = std::min(PER_UNIVERSE, channels - u * PER_UNIVERSE);
        E131Output::BuildHeader(pkts[u].data(), cid, "floor", u + 1, 100, count);
        dst[u].sin_family = AF_INET;
        dst[u].sin_port = htons(E131_PORT);
        dst[u].sin_addr.s_addr = htonl((239u << 24) | (255u << 16) | uint32_t(u + 1));
        iov[u] = {pkts[u].data(), size_t(E131_HEADER_LEN + count)};
        msg[u].msg_hdr = {};
        msg[u].msg_hdr.msg_name = &dst[u];
        msg[u].msg_hdr.msg_namelen = sizeof(dst[u]);
        msg[u].msg_hdr.msg_iov = &iov[u];
        msg[u].msg_hdr.msg_iovlen = 1;
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    int buf = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
    std::vector<uint8_t> frame(size_t(channels), 0x42);
    int64_t t0 = cobench::cpuNS(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < iterations; i++) {
        for (int u = 0; u < universes; u++) {
            int count = std::min(PER_UNIVERSE, channels - u * PER_UNIVERSE);
            memcpy(pkts[u].data() + E131_HEADER_LEN, frame.data() + u * PER_UNIVERSE, size_t(count));
        }
        sendmmsg(s, msg.data(), unsigned(universes), 0);
    }
    int64_t t1 = cobench::cpuNS(CLOCK_THREAD_CPUTIME_ID);
    close(s);
    return double(t1 - t0) / iterations / 1000;
}

// The daemon's frame path, driven flat out from this thread.
double pathPerFrameUS(int iterations) {
    int64_t t0 = cobench::cpuNS(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < iterations; i++) ForceChannelOutputNow();
    int64_t t1 = cobench::cpuNS(CLOCK_THREAD_CPUTIME_ID);
    return double(t1 - t0) / iterations / 1000;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    if (!cobench::enterPrivateNetwork()) return 1;
    SetLogLevelComplex("warn");
    const int channels = 170000, fps = 40;
    std::string dir = cobench::setUp(channels, (seconds + 5) * fps, 1000 / fps, PER_UNIVERSE);
    if (dir.empty()) return 1;
    InitializeChannelOutputs();
    printf("channels: %u in %d universes\n", GetChannelOutputMaxChannel(), (channels + PER_UNIVERSE - 1) / PER_UNIVERSE);
    sequence = new Sequence();

    SetChannelOutputLatenessHook(onFrame);
    auto w0 = std::chrono::steady_clock::now();
    sequence->StartSequence("bench.lseq", 0);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    long n = frames;
    double threadCPU = double(lastCPU - firstCPU) / 1e9;
    printf("paced: %ld frames in %.1f s, output thread %.2f %% of one core, %.1f us CPU per frame\n", n, wall,
           100.0 * threadCPU / wall, n > 1 ? threadCPU * 1e6 / double(n - 1) : 0.0);

    // Flat-out comparison, with the paced thread paused on one frame.
    sequence->SetSequencePaused(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int iterations = 2000;
    double floorUS = floorPerFrameUS(channels, iterations);
    double pathUS = pathPerFrameUS(iterations);
    double floorUS2 = floorPerFrameUS(channels, iterations);
    double best = std::min(floorUS, floorUS2);
    printf("per frame: frame path %.1f us, memcpy+sendmmsg floor %.1f us (runs %.1f / %.1f), ratio %.2fx\n", pathUS,
           best, floorUS, floorUS2, pathUS / best);
    benchres::result("output 170k channels @40 fps: CPU", "< 10 % of one core", "-", "%.2f %%",
                     100.0 * threadCPU / wall);
    char floorText[64];
    snprintf(floorText, sizeof(floorText), "memcpy+sendmmsg floor %.1f us", best);
    benchres::result("output 170k channels: frame path vs floor", "<= 1.5x", floorText, "%.1f us (%.2fx)", pathUS,
                     pathUS / best);

    SetChannelOutputLatenessHook(nullptr);
    sequence->CloseSequenceFile();
    StopChannelOutputThread();
    delete sequence;
    sequence = nullptr;
    CloseChannelOutputs();
    cobench::tearDown(dir);
    return 0;
}
