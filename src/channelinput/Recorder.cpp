#include "channelinput/Recorder.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <cstring>

#include "channeloutput/LSEQFile.h"
#include "platform/Bridge.h"
#include "platform/Logging.h"

// ---- clock and source ----

int64_t MonotonicRecorderClock::nowNS() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void MonotonicRecorderClock::sleepUntil(int64_t deadlineNS) {
    // steady_clock waits are CLOCK_MONOTONIC waits: an absolute deadline that
    // a wall-clock step cannot move.
    std::chrono::steady_clock::time_point due{std::chrono::nanoseconds(deadlineNS)};
    std::unique_lock<std::mutex> l(lock);
    cv.wait_until(l, due, [this] { return woken; });
}

void MonotonicRecorderClock::wake() {
    std::lock_guard<std::mutex> l(lock);
    woken = true;
    cv.notify_all();
}

void MonotonicRecorderClock::clearWake() {
    std::lock_guard<std::mutex> l(lock);
    woken = false;
}

uint32_t BridgeFrameSource::channelCount() {
    return GetBridgeMaxChannel();
}

void BridgeFrameSource::copyFrame(uint8_t* dst, size_t len) {
    CopyBridgeData(dst, len);
}

// ---- one recording ----

struct Recorder::Run {
    std::string name;  // file name in the sequence folder
    std::string path;
    std::string mediaFile;
    int intervalMS = 0;
    int64_t intervalNS = 0;
    uint32_t channels = 0;
    int64_t startNS = 0;  // deadline of frame 0
    std::unique_ptr<LSEQWriter> writer;

    std::atomic<bool> stopRequested{false};
    std::atomic<bool> sampling{true};
    std::atomic<bool> failed{false};
    std::atomic<uint64_t> frames{0};  // sampled so far
    int64_t maxLateNS = 0;            // sampling thread only
    uint64_t repeatedFrames = 0;      // frames filled by a late wake-up, sampling thread only

    std::mutex qlock;  // guards the members below
    std::condition_variable qcv;
    std::deque<std::vector<uint8_t>> queue;
    std::vector<std::vector<uint8_t>> spare;
    size_t maxQueued = 0;
    bool samplingDone = false;
    std::string error;

    std::thread sampler;
    std::thread writerThread;
};

Recorder::Recorder(std::string dir, RecorderFrameSource& src, RecorderClock& clk, bool realtime)
    : sequenceDir(std::move(dir)), source(src), clock(clk), realtimeSampling(realtime) {}

Recorder::~Recorder() {
    bool running;
    {
        std::lock_guard<std::mutex> l(stateLock);
        running = run != nullptr;
    }
    if (running) stop();
}

std::string Recorder::FileNameFor(const std::string& name, std::string& error) {
    error.clear();
    if (name.empty()) {
        error = "A recording needs a sequence name";
        return "";
    }
    std::string file = name;
    if (file.size() < 5 || file.compare(file.size() - 5, 5, ".lseq") != 0) file += ".lseq";
    // Room for ".tmp" within the usual 255-byte name limit.
    if (file.size() > 240) {
        error = "Sequence name is too long (at most 240 characters)";
        return "";
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) {
            error = "Sequence name holds a control character";
            return "";
        }
        if (c == '/' || c == '\\') {
            error = "Sequence name '" + name + "' must be a plain file name in sequences/ (no '/' or '\\')";
            return "";
        }
    }
    if (name[0] == '.') {
        error = "Sequence name '" + name + "' must not start with '.'";
        return "";
    }
    return file;
}

std::string Recorder::start(const std::string& name, int intervalMS, const std::string& mediaFile) {
    std::lock_guard<std::mutex> c(controlLock);
    {
        std::lock_guard<std::mutex> l(stateLock);
        if (run && run->sampling) return "A recording is already running: " + run->name;
    }
    if (closed) return "Recordings can not start while the daemon shuts down";
    finishRun();  // a recording that ended by itself (a write error) is collected

    std::string error;
    std::string file = FileNameFor(name, error);
    if (file.empty()) return error;
    if (intervalMS < MIN_INTERVAL_MS || intervalMS > MAX_INTERVAL_MS) {
        return "Frame interval must be " + std::to_string(MIN_INTERVAL_MS) + " to " +
               std::to_string(MAX_INTERVAL_MS) + " ms, not " + std::to_string(intervalMS);
    }
    if (mediaFile.size() > MAX_MEDIA_NAME) return "Media file name is too long";
    for (unsigned char ch : mediaFile)
        if (ch < 0x20 || ch == 0x7f) return "Media file name holds a control character";
    uint32_t channels = source.channelCount();
    if (channels == 0) return "No channel input is configured: nothing to record";

    auto r = std::make_unique<Run>();
    r->name = file;
    r->path = sequenceDir + "/" + file;
    r->mediaFile = mediaFile;
    r->intervalMS = intervalMS;
    r->intervalNS = int64_t(intervalMS) * 1000000;
    r->channels = channels;
    r->maxQueued = std::max<size_t>(8, MAX_BACKLOG_BYTES / channels);
    r->writer = std::make_unique<LSEQWriter>(r->path, channels, intervalMS);
    r->writer->addVariableHeader("sp", std::string("lyrd recorder"));
    if (!mediaFile.empty()) r->writer->addVariableHeader("mf", mediaFile);
    if (!r->writer->ok()) {
        std::string why = r->writer->error().empty() ? "bad header" : r->writer->error();
        return "Can not create sequences/" + file + ".tmp: " + why;
    }

    clock.clearWake();
    r->startNS = clock.nowNS();
    LogInfo(VB_SEQUENCE, "Recording %s: %u channels every %d ms, frame 0 at monotonic %lld.%09lld s\n",
            r->path.c_str(), channels, intervalMS, (long long)(r->startNS / 1000000000),
            (long long)(r->startNS % 1000000000));
    Run& ref = *r;
    {
        std::lock_guard<std::mutex> l(stateLock);
        run = std::move(r);
    }
    ref.writerThread = std::thread([this, &ref] { writeLoop(ref); });
    ref.sampler = std::thread([this, &ref] { sampleLoop(ref); });
    return "";
}

void Recorder::requestStop() {
    std::lock_guard<std::mutex> l(stateLock);
    if (!run) return;
    run->stopRequested = true;
    clock.wake();
}

std::string Recorder::stop() {
    std::lock_guard<std::mutex> c(controlLock);
    {
        std::lock_guard<std::mutex> l(stateLock);
        if (!run) return "No recording is running";
    }
    return finishRun();
}

void Recorder::shutdown() {
    std::lock_guard<std::mutex> c(controlLock);
    closed = true;
    finishRun();
}

// Caller holds controlLock.  Joins the threads without stateLock, so status
// polls do not wait for the final sync.
std::string Recorder::finishRun() {
    Run* r;
    {
        std::lock_guard<std::mutex> l(stateLock);
        r = run.get();
        if (!r) return "";
        r->stopRequested = true;
        clock.wake();
    }
    if (r->sampler.joinable()) r->sampler.join();
    if (r->writerThread.joinable()) r->writerThread.join();

    Status s = snapshot(*r);
    if (s.error.empty()) {
        LogInfo(VB_SEQUENCE,
                "Recording %s saved: %llu frames (%.3f s); latest sample %.3f ms after its deadline%s\n",
                r->path.c_str(), (unsigned long long)s.frames, s.frames * s.intervalMS / 1000.0,
                r->maxLateNS / 1e6, r->repeatedFrames ? ", some frames repeated after late wake-ups" : "");
    }
    std::lock_guard<std::mutex> l(stateLock);
    last = s;
    run.reset();
    return s.error;
}

Recorder::Status Recorder::snapshot(Run& r) {
    Status s;
    s.active = r.sampling;
    s.name = r.name;
    s.frames = r.frames;
    s.intervalMS = r.intervalMS;
    s.channels = r.channels;
    s.mediaFile = r.mediaFile;
    std::lock_guard<std::mutex> q(r.qlock);
    s.error = r.error;
    return s;
}

Recorder::Status Recorder::status() {
    std::lock_guard<std::mutex> l(stateLock);
    return run ? snapshot(*run) : last;
}

Json::Value Recorder::ToJSON(const Status& s) {
    Json::Value v(Json::objectValue);
    v["active"] = s.active;
    v["name"] = s.name;
    v["frames"] = Json::UInt64(s.frames);
    v["seconds"] = s.frames * s.intervalMS / 1000.0;
    v["intervalMS"] = s.intervalMS;
    v["channels"] = s.channels;
    v["mediaFile"] = s.mediaFile;
    v["error"] = s.error;
    return v;
}

// ---- threads ----

// The sampling thread only copies the bridge buffer and queues it, so it may
// run before ordinary threads: a busy board then still samples on time.  One
// step below the channel-output thread, whose frames the lights show.
static void raiseSamplingPriority() {
    struct sched_param p {};
    p.sched_priority = 19;
    int r = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
    if (r != 0) LogDebug(VB_SEQUENCE, "Recording samples without real-time priority (%d)\n", r);
}

void Recorder::sampleLoop(Run& r) {
    if (realtimeSampling) raiseSamplingPriority();
    std::vector<uint8_t> frame(r.channels);
    uint64_t n = 0;
    for (;;) {
        int64_t due = r.startNS + int64_t(n) * r.intervalNS;
        clock.sleepUntil(due);
        bool stopping = r.stopRequested;
        int64_t now = clock.nowNS();
        if (now >= due) {
            // Every deadline that has passed gets a frame: the count follows
            // the clock, not the number of wake-ups.
            uint64_t count = uint64_t((now - due) / r.intervalNS) + 1;
            source.copyFrame(frame.data(), frame.size());
            if (now - due > r.maxLateNS) r.maxLateNS = now - due;
            if (count > 1) r.repeatedFrames += count - 1;
            if (!queueFrames(r, frame, count)) break;
            n += count;
            r.frames = n;
        }
        if (stopping || r.failed) break;
    }
    r.sampling = false;
    std::lock_guard<std::mutex> q(r.qlock);
    r.samplingDone = true;
    r.qcv.notify_all();
}

bool Recorder::queueFrames(Run& r, const std::vector<uint8_t>& frame, uint64_t count) {
    std::unique_lock<std::mutex> q(r.qlock);
    if (r.failed) return false;
    if (r.queue.size() + count > r.maxQueued) {
        q.unlock();
        failRun(r, "the disk is too slow: " + std::to_string(r.maxQueued) + " frames waited to be written");
        return false;
    }
    for (uint64_t i = 0; i < count; i++) {
        if (r.spare.empty()) {
            r.queue.push_back(frame);
        } else {
            r.queue.push_back(std::move(r.spare.back()));
            r.spare.pop_back();
            r.queue.back() = frame;
        }
    }
    r.qcv.notify_one();
    return true;
}

void Recorder::writeLoop(Run& r) {
    for (;;) {
        std::vector<uint8_t> f;
        {
            std::unique_lock<std::mutex> q(r.qlock);
            r.qcv.wait(q, [&r] { return !r.queue.empty() || r.samplingDone || r.failed; });
            if (r.failed || r.queue.empty()) break;
            f = std::move(r.queue.front());
            r.queue.pop_front();
        }
        bool ok = r.writer->addFrame(f.data());
        {
            std::lock_guard<std::mutex> q(r.qlock);
            r.spare.push_back(std::move(f));
        }
        if (!ok) {
            failRun(r, "Could not write " + r.writer->tempName() + ": " + r.writer->error());
            break;
        }
    }
    if (!r.failed && !r.writer->close()) {
        failRun(r, "Could not save " + r.path + ": " + r.writer->error());
    }
    r.writer.reset();  // removes the temporary file unless close() renamed it
}

void Recorder::failRun(Run& r, const std::string& error) {
    {
        std::lock_guard<std::mutex> q(r.qlock);
        if (r.failed) return;
        r.failed = true;
        r.error = "Recording " + r.name + " stopped: " + error;
        r.qcv.notify_all();
    }
    LogErr(VB_SEQUENCE, "%s; %s was left as it was\n", r.error.c_str(), r.path.c_str());
    r.stopRequested = true;
    clock.wake();
}
