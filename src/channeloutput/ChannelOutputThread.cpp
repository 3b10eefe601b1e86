#include "channeloutput/ChannelOutputThread.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "channeloutput/ChannelOutputs.h"
#include "channeloutput/ChannelRemaps.h"
#include "channeloutput/Sequence.h"
#include "overlays/Glaze.h"
#include "platform/Bridge.h"
#include "platform/ChannelTester.h"
#include "platform/Effects.h"
#include "platform/Logging.h"

namespace {

std::mutex controlLock;  // serialises start and stop
std::thread outputThread;
std::atomic<bool> running{false};
std::atomic<bool> stopRequested{false};
std::atomic<bool> alwaysTransmit{false};

std::mutex sendLock;  // one frame composed and sent at a time
std::vector<uint8_t> frameBuffer;

std::atomic<uint64_t> framesSent{0};
std::atomic<uint64_t> framesSkipped{0};
std::atomic<int64_t> maxLateness{0};
std::atomic<int64_t> lastLateness{0};
std::atomic<void (*)(int64_t)> latenessHook{nullptr};

const int64_t NS_PER_MS = 1000000;
// Longest single sleep, so a stop request is seen promptly even while a
// remote holds frames for its master.
const int64_t MAX_SLEEP_NS = 50 * NS_PER_MS;
// Idle frames sent before the thread stops: the last state reaches the lights.
const int IDLE_FRAMES_BEFORE_STOP = 2;

int64_t monoNow() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntil(int64_t deadline) {
    while (!stopRequested) {
        int64_t now = monoNow();
        if (now >= deadline) return;
        int64_t target = std::min(deadline, now + MAX_SLEEP_NS);
        struct timespec ts = {time_t(target / 1000000000), long(target % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
}

bool needsOutput() {
    if (sequence && (sequence->IsSequenceRunning() || sequence->hasBridgeData())) return true;
    return EffectsRunning() || GlazeManager::INSTANCE.hasActiveOverlays() || ChannelTester::INSTANCE.Testing() ||
           alwaysTransmit;
}

uint8_t* buffer() {
    if (frameBuffer.empty()) frameBuffer.assign(LYRD_MAX_CHANNELS, 0);
    return frameBuffer.data();
}

uint32_t copySize() {
    uint32_t n = GetChannelOutputMaxChannel();
    return n ? std::min<uint32_t>(n, LYRD_MAX_CHANNELS) : 0;
}

// Live input, effects, overlays and tester draw over the sequence data, the
// remaps copy the result; then every output sends.
void drawAndSend(uint8_t* buf, int64_t now) {
    ApplyBridgeData(buf, LYRD_MAX_CHANNELS);
    OverlayEffectData(buf, LYRD_MAX_CHANNELS, now);
    GlazeManager::INSTANCE.doOverlays(buf);
    ChannelTester::INSTANCE.OverlayTestData(buf, now / NS_PER_MS);
    ApplyChannelRemaps(buf);
    SendChannelData(buf);
    framesSent++;
}

// One paced frame; returns the sequence's next due time or 0.
int64_t outputFrame(int64_t now, int64_t period) {
    // Live input with no sequence leaves as it arrives; this tick would repeat
    // it.  Two periods: a console at our own rate must not get every frame twice.
    if (BridgeOutputIsCurrent(now - 2 * period)) return 0;
    int64_t due = 0;
    {
        std::lock_guard<std::mutex> l(sendLock);
        uint8_t* buf = buffer();
        uint32_t n = copySize();
        if (sequence) due = sequence->ProduceFrame(now, buf, n);
        else memset(buf, 0, n);
        drawAndSend(buf, now);
    }
    if (sequence) sequence->AfterFrame();
    return due;
}

void raisePriority() {
    struct sched_param p {};
    p.sched_priority = 20;
    int r = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
    // An unprivileged service gets SCHED_FIFO only up to its RLIMIT_RTPRIO
    // (the unit's LimitRTPRIO=); without it frames are paced at normal
    // priority, which works on an idle board but may jitter under load.
    if (r != 0) {
        LogInfo(VB_CHANNELOUT,
                "Channel output thread runs without real-time priority: %s (needs CAP_SYS_NICE or "
                "LimitRTPRIO=%d)\n",
                strerror(r), p.sched_priority);
    }
}

void runLoop() {
    raisePriority();
    LogDebug(VB_CHANNELOUT, "Channel output thread started\n");
    int64_t next = monoNow();
    int idle = 0;
    while (!stopRequested) {
        sleepUntil(next);
        if (stopRequested) break;
        int64_t now = monoNow();
        int64_t late = now - next;
        lastLateness = late;
        if (late > maxLateness) maxLateness = late;
        if (auto hook = latenessHook.load()) hook(late);

        int64_t period = sequence ? sequence->GetFramePeriodNS() : LYRD_DEFAULT_FRAME_MS * NS_PER_MS;
        if (late >= period) framesSkipped += uint64_t(late / period);
        int64_t due = outputFrame(now, period);
        next = due > 0 ? due : next + period;
        // After a long stall the idle schedule restarts instead of bursting.
        if (next < now - period) next = now;

        if (needsOutput()) {
            idle = 0;
        } else if (++idle >= IDLE_FRAMES_BEFORE_STOP) {
            // Start/Stop hold controlLock while joining us: never wait for it.
            std::unique_lock<std::mutex> l(controlLock, std::try_to_lock);
            if (l.owns_lock() && !needsOutput()) {
                running = false;
                LogDebug(VB_CHANNELOUT, "Channel output thread stopping: nothing to output\n");
                return;
            }
        }
    }
    running = false;
}

}  // namespace

int ChannelOutputThreadIsRunning() { return running ? 1 : 0; }

void StartChannelOutputThread() {
    std::lock_guard<std::mutex> l(controlLock);
    if (running) return;
    if (outputThread.joinable()) outputThread.join();
    stopRequested = false;
    running = true;
    outputThread = std::thread(runLoop);
}

void StopChannelOutputThread() {
    std::lock_guard<std::mutex> l(controlLock);
    stopRequested = true;
    if (outputThread.joinable()) outputThread.join();
    running = false;
}

void ForceChannelOutputNow() {
    std::lock_guard<std::mutex> l(sendLock);
    uint8_t* buf = buffer();
    uint32_t n = copySize();
    if (sequence) sequence->CopyCurrentFrame(buf, n);
    else memset(buf, 0, n);
    drawAndSend(buf, monoNow());
}

void ResetChannelOutputFrameNumber() {
    if (sequence) sequence->ResetFrameClock();
}

void CalculateNewChannelOutputDelay(float mediaPosition) {
    if (sequence) sequence->UpdateMediaPosition(mediaPosition, monoNow());
}

void ResetMasterPosition() {
    if (sequence) sequence->ResetMasterPosition();
}

void UpdateMasterPosition(int frameNumber) {
    if (sequence) sequence->UpdateMasterPosition(frameNumber, monoNow());
}

void SetChannelOutputAlwaysTransmit(bool on) { alwaysTransmit = on; }

ChannelOutputStats GetChannelOutputStats() {
    ChannelOutputStats s;
    s.framesSent = framesSent;
    s.framesSkipped = framesSkipped;
    s.maxLatenessNS = maxLateness;
    s.lastLatenessNS = lastLateness;
    return s;
}

void ResetChannelOutputStats() {
    framesSent = 0;
    framesSkipped = 0;
    maxLateness = 0;
    lastLateness = 0;
}

void SetChannelOutputLatenessHook(void (*hook)(int64_t)) { latenessHook = hook; }

int64_t ChannelOutputMonotonicNS() { return monoNow(); }
