// Frame pacing of the channel-output thread: a 100,000-channel sequence
// (196 E1.31 universes, multicast on loopback in a private network
// namespace) played at 40 frames/s while a busy thread keeps the other core
// loaded.  Prints frame-start lateness against the ideal schedule (p50, p99,
// max), frames skipped, CPU time per frame of the output thread and RSS.
// Targets: p99 under 1 ms, max under 5 ms, no skipped frames.
//
//   bench_channelout_pacing [seconds, default 60]
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "bench_channelout_common.h"
#include "bench_result.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/Sequence.h"

namespace {

std::vector<int64_t> lateness;
std::atomic<size_t> samples{0};
std::atomic<int64_t> firstCPU{0}, lastCPU{0};

void onFrame(int64_t lateNS) {
    int64_t cpu = cobench::cpuNS(CLOCK_THREAD_CPUTIME_ID);
    if (samples == 0) firstCPU = cpu;
    lastCPU = cpu;
    size_t i = samples++;
    if (i < lateness.size()) lateness[i] = lateNS;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    if (!cobench::enterPrivateNetwork()) return 1;
    SetLogLevelComplex("warn");
    const int channels = 100000, fps = 40, frames = seconds * fps + fps;
    std::string dir = cobench::setUp(channels, frames, 1000 / fps);
    if (dir.empty()) return 1;
    InitializeChannelOutputs();
    printf("channels: %u in %d universes\n", GetChannelOutputMaxChannel(), (channels + 511) / 512);
    lateness.assign(size_t(frames) + 100, 0);
    sequence = new Sequence();

    std::atomic<bool> busy{true};
    std::thread burner([&] {
        volatile uint64_t x = 0;
        while (busy) x = x + 1;
    });

    SetChannelOutputLatenessHook(onFrame);
    ResetChannelOutputStats();
    long rssBefore = cobench::statusKB("VmRSS:");
    sequence->StartSequence("bench.lseq", 0);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    size_t n = std::min(samples.load(), lateness.size());
    ChannelOutputStats st = GetChannelOutputStats();
    long rss = cobench::statusKB("VmRSS:"), hwm = cobench::statusKB("VmHWM:");
    sequence->CloseSequenceFile();
    StopChannelOutputThread();
    SetChannelOutputLatenessHook(nullptr);
    busy = false;
    burner.join();

    std::vector<int64_t> v(lateness.begin(), lateness.begin() + long(n));
    printf("frames: %zu in %d s (expected %d)\n", n, seconds, seconds * fps);
    printf("lateness p50 %.1f us, p99 %.1f us, max %.1f us\n", cobench::percentile(v, 50) / 1000,
           cobench::percentile(v, 99) / 1000, double(*std::max_element(v.begin(), v.end())) / 1000);
    printf("skipped frames: %llu\n", (unsigned long long)st.framesSkipped);
    printf("output thread CPU per frame: %.1f us\n", n > 1 ? double(lastCPU - firstCPU) / double(n - 1) / 1000 : 0.0);
    printf("RSS: %ld kB before start, %ld kB playing, peak %ld kB\n", rssBefore, rss, hwm);
    double cpuUS = n > 1 ? double(lastCPU - firstCPU) / double(n - 1) / 1000 : 0.0;
    benchres::result("output pacing: frame lateness p99", "< 1 ms", "p50 / max in the same run",
                     "%.1f us (p50 %.1f, max %.1f)", cobench::percentile(v, 99) / 1000,
                     cobench::percentile(v, 50) / 1000, double(*std::max_element(v.begin(), v.end())) / 1000);
    benchres::result("output pacing: frame lateness max", "< 5 ms", "-", "%.1f us",
                     double(*std::max_element(v.begin(), v.end())) / 1000);
    benchres::result("output pacing: skipped frames", "0", "-", "%llu of %zu",
                     (unsigned long long)st.framesSkipped, n);
    benchres::result("output pacing: CPU per frame", "-", "-", "%.1f us", cpuUS);
    benchres::result("output pacing: RSS playing", "-", "before start", "%.1f MB (%.1f MB before)",
                     rss / 1024.0, rssBefore / 1024.0);
    delete sequence;
    sequence = nullptr;
    CloseChannelOutputs();
    cobench::tearDown(dir);
    return 0;
}
