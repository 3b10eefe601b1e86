// The recorder driven by a fake clock and a frame source that stamps each
// frame with the time it was sampled, writing real files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "channelinput/Recorder.h"
#include "channelinput/RecorderCommands.h"
#include "channeloutput/LSEQFile.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"

namespace {

constexpr int64_t MS = 1000000;
constexpr int64_t T0 = 1000000 * MS;  // the fake clock's start, far from 0

// Time stands at `t`.  A sleep returns at its deadline (plus `lateness`)
// while the deadline is within `limit`; a sleep past it first calls
// `atLimit` once (tests stop the recording there), else it waits for
// advance() or wake().
class FakeClock : public RecorderClock {
public:
    int64_t nowNS() override {
        std::lock_guard<std::mutex> l(m);
        return t;
    }
    void sleepUntil(int64_t d) override {
        std::unique_lock<std::mutex> l(m);
        for (;;) {
            if (woken) return;
            if (d <= limit) {
                int64_t late = lateness ? lateness(d) : 0;
                t = std::max(t, std::min(limit, d + late));
                return;
            }
            if (atLimit) {
                auto f = std::move(atLimit);
                atLimit = nullptr;
                t = std::max(t, limit);
                l.unlock();
                f();
                l.lock();
                continue;
            }
            cv.wait(l);
        }
    }
    void wake() override {
        std::lock_guard<std::mutex> l(m);
        woken = true;
        cv.notify_all();
    }
    void clearWake() override {
        std::lock_guard<std::mutex> l(m);
        woken = false;
    }
    void advance(int64_t to) {
        std::lock_guard<std::mutex> l(m);
        limit = to;
        cv.notify_all();
    }
    void stopAt(int64_t at, std::function<void()> f) {
        std::lock_guard<std::mutex> l(m);
        limit = at;
        atLimit = std::move(f);
        cv.notify_all();
    }

    std::function<int64_t(int64_t)> lateness;  // set before the recording starts

private:
    std::mutex m;
    std::condition_variable cv;
    int64_t t = T0;
    int64_t limit = T0;
    bool woken = false;
    std::function<void()> atLimit;
};

// Bytes 0-7: the clock's time at the copy; the rest a fixed pattern.
class StampSource : public RecorderFrameSource {
public:
    StampSource(FakeClock& c, uint32_t n) : clock(c), channels(n) {}
    uint32_t channelCount() override { return channels; }
    void copyFrame(uint8_t* dst, size_t len) override {
        int64_t now = clock.nowNS();
        for (size_t i = 0; i < len; i++) dst[i] = uint8_t(i * 7);
        memcpy(dst, &now, std::min<size_t>(8, len));
    }
    FakeClock& clock;
    uint32_t channels;
};

int64_t stampOf(const LSEQFile& f, uint32_t frame) {
    std::vector<uint8_t> buf(f.getChannelCount());
    EXPECT_TRUE(f.readFrame(frame, buf.data(), buf.size()));
    int64_t t;
    memcpy(&t, buf.data(), 8);
    return t;
}

std::string readAll(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

template <typename F>
bool waitFor(F cond) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lyrd-rec-XXXXXX";
        top = mkdtemp(tmpl);
        dir = top + "/sequences";
        mkdir(dir.c_str(), 0755);
        SetLogSink([this](int level, const std::string&, const std::string& msg) {
            std::lock_guard<std::mutex> l(logLock);
            if (level == LOG_ERR) errors += msg;
        });
    }
    void TearDown() override {
        recorder.reset();
        SetLogSink(nullptr);
        system(("rm -rf " + top).c_str());
    }
    Recorder& make(uint32_t channels = 16) {
        source = std::make_unique<StampSource>(clock, channels);
        recorder = std::make_unique<Recorder>(dir, *source, clock);
        return *recorder;
    }
    // Records until `length` after the start, then stops; the saved file.
    std::unique_ptr<LSEQFile> record(const std::string& name, int intervalMS, int64_t length,
                                     const std::string& media = "") {
        Recorder& r = *recorder;
        int64_t start = clock.nowNS();
        EXPECT_EQ(r.start(name, intervalMS, media), "");
        stopAt(start + length);
        EXPECT_EQ(r.stop(), "");
        return std::unique_ptr<LSEQFile>(LSEQFile::openLSEQFile(dir + "/" + r.status().name));
    }
    // Lets the fake time run to `at`, where the recording is asked to stop,
    // and waits until it has taken its last frame (stop() ends it at once).
    void stopAt(int64_t at) {
        Recorder& r = *recorder;
        clock.stopAt(at, [&r] { r.requestStop(); });
        EXPECT_TRUE(waitFor([&r] { return !r.status().active; }));
    }
    std::string logErrors() {
        std::lock_guard<std::mutex> l(logLock);
        return errors;
    }

    FakeClock clock;
    std::unique_ptr<StampSource> source;
    std::unique_ptr<Recorder> recorder;
    std::string top, dir;
    std::mutex logLock;
    std::string errors;
};

TEST_F(RecorderTest, EveryFrameIsSampledAtItsAbsoluteDeadline) {
    make(600);
    auto f = record("show", 25, 2000 * MS, "song.mp3");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->getNumFrames(), 81u);  // 0, 25, ... 2000 ms
    EXPECT_EQ(f->getStepTime(), 25);
    EXPECT_EQ(f->getChannelCount(), 600u);
    EXPECT_EQ(f->getMediaFilename(), "song.mp3");
    for (uint32_t n = 0; n < f->getNumFrames(); n++)
        ASSERT_EQ(stampOf(*f, n), T0 + n * 25 * MS) << "frame " << n;
    std::vector<uint8_t> buf(600);
    ASSERT_TRUE(f->readFrame(40, buf.data(), 600));
    EXPECT_EQ(buf[599], uint8_t(599 * 7));

    Recorder::Status s = recorder->status();
    EXPECT_FALSE(s.active);
    EXPECT_EQ(s.name, "show.lseq");
    EXPECT_EQ(s.frames, 81u);
    EXPECT_EQ(Recorder::ToJSON(s)["seconds"].asDouble(), 2.025);
    EXPECT_EQ(logErrors(), "");
}

// Late wake-ups (up to three intervals) neither drop frames nor let the
// deadlines drift: ten minutes at 25 ms is 24,000 frames (+1 for frame 0),
// and no frame is sampled before its deadline or more than 80 ms after it.
TEST_F(RecorderTest, TenMinutesWithLateWakeupsKeepsTheFrameCount) {
    make(8);
    uint64_t seed = 12345;
    clock.lateness = [&seed](int64_t) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        uint64_t r = seed >> 33;
        return (r % 100 == 0) ? int64_t(r % 80) * MS : int64_t(r % 3000) * 1000;  // 1 %: up to 80 ms late
    };
    auto f = record("long", 25, 600000 * MS);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->getNumFrames(), 24001u);
    int64_t prev = 0;
    for (uint32_t n = 0; n < f->getNumFrames(); n++) {
        int64_t due = T0 + int64_t(n) * 25 * MS, at = stampOf(*f, n);
        ASSERT_GE(at, due) << "frame " << n;
        ASSERT_LT(at, due + 80 * MS) << "frame " << n;
        ASSERT_GE(at, prev);
        prev = at;
    }
}

TEST_F(RecorderTest, WritesBesideTheTargetAndReplacesItOnlyAtStop) {
    Recorder& r = make(100);
    ASSERT_TRUE(WriteLSEQTestSequence(dir + "/show.lseq", 50, 10, 50));
    std::string before = readAll(dir + "/show.lseq");

    ASSERT_EQ(r.start("show.lseq", 50, ""), "");
    clock.advance(T0 + 500 * MS);
    ASSERT_TRUE(waitFor([&] { return r.status().frames == 11; }));
    EXPECT_TRUE(r.status().active);
    EXPECT_TRUE(exists(dir + "/show.lseq.tmp"));
    EXPECT_EQ(readAll(dir + "/show.lseq"), before);
    // A second recording is refused while one runs.
    EXPECT_NE(r.start("other", 25, "").find("already running: show.lseq"), std::string::npos);

    stopAt(T0 + 1000 * MS);
    ASSERT_EQ(r.stop(), "");
    EXPECT_FALSE(exists(dir + "/show.lseq.tmp"));
    std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(dir + "/show.lseq"));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->getNumFrames(), 21u);
    EXPECT_EQ(f->getChannelCount(), 100u);
    EXPECT_EQ(f->getMediaFilename(), "");
    EXPECT_EQ(r.stop(), "No recording is running");
}

// A write error (here the file size limit, as a full disk) ends the
// recording at once, removes the temporary file and keeps the old sequence.
TEST_F(RecorderTest, WriteFailureStopsTheRecordingAndKeepsTheOldFile) {
    Recorder& r = make(1000);
    ASSERT_TRUE(WriteLSEQTestSequence(dir + "/show.lseq", 50, 10, 25));
    std::string before = readAll(dir + "/show.lseq");

    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 20000;  // header and about 20 frames
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ASSERT_EQ(r.start("show", 25, ""), "");
    clock.advance(T0 + 10000 * MS);  // 401 frames, if they could be written
    bool ended = waitFor([&] { return !r.status().active; });
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(ended);

    Recorder::Status s = r.status();
    EXPECT_NE(s.error.find("Recording show.lseq stopped: Could not write"), std::string::npos) << s.error;
    EXPECT_NE(s.error.find("File too large"), std::string::npos) << s.error;
    EXPECT_NE(logErrors().find(s.error), std::string::npos);
    EXPECT_FALSE(exists(dir + "/show.lseq.tmp"));
    EXPECT_EQ(readAll(dir + "/show.lseq"), before);
    EXPECT_EQ(r.stop(), s.error);
    EXPECT_EQ(r.status().error, s.error);  // kept for the status until the next start

    // The next recording works and clears the error.  The fake time stops
    // where the failed one ended first: left at the 10 s limit, the new
    // recording could run ahead before record() sets its own stop.
    clock.advance(clock.nowNS());
    auto f = record("show", 25, 100 * MS);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->getNumFrames(), 5u);
    EXPECT_EQ(r.status().error, "");
}

TEST_F(RecorderTest, NamesStayInTheSequenceFolder) {
    std::string err;
    EXPECT_EQ(Recorder::FileNameFor("show", err), "show.lseq");
    EXPECT_EQ(Recorder::FileNameFor("My Show 2.lseq", err), "My Show 2.lseq");
    EXPECT_EQ(Recorder::FileNameFor("a..b", err), "a..b.lseq");
    for (const char* bad :
         {"", "../show", "..", ".", ".hidden", "sub/show", "/etc/passwd", "a\\b", "tab\there", "nl\n"}) {
        EXPECT_EQ(Recorder::FileNameFor(bad, err), "") << bad;
        EXPECT_NE(err, "") << bad;
    }
    EXPECT_EQ(Recorder::FileNameFor(std::string(236, 'x'), err), "");

    Recorder& r = make();
    EXPECT_NE(r.start("../escape", 25, ""), "");
    EXPECT_FALSE(exists(top + "/escape.lseq.tmp"));
    EXPECT_FALSE(exists(top + "/escape.lseq"));
    EXPECT_FALSE(r.status().active);
}

TEST_F(RecorderTest, CommandsCheckTheirArguments) {
    Recorder& r = make();
    CommandManager cm;
    RegisterRecorderCommands(cm, r);
    auto run = [&cm](const std::vector<std::string>& args) {
        auto res = cm.run("Start Recording", args);
        return std::make_pair(res->isError(), res->get());
    };
    EXPECT_EQ(run({}), std::make_pair(true, std::string("Start Recording needs a sequence name")));
    for (const char* interval : {"abc", "25ms", "9", "1001", "-25", "99999999999"}) {
        auto res = run({"show", interval});
        EXPECT_TRUE(res.first) << interval;
        EXPECT_NE(res.second.find("Frame interval must be"), std::string::npos) << interval;
    }
    EXPECT_TRUE(run({"show", "25", "a.mp3", "extra"}).first);
    EXPECT_TRUE(run({"show", "25", "bad\nname.mp3"}).first);
    EXPECT_TRUE(run({"sub/show"}).first);
    EXPECT_FALSE(exists(dir + "/show.lseq.tmp"));

    auto stopped = cm.run("Stop Recording", {});
    EXPECT_TRUE(stopped->isError());
    EXPECT_EQ(stopped->get(), "No recording is running");

    // An empty interval means the default.
    EXPECT_EQ(run({"show", " ", "song.mp3"}), std::make_pair(false, std::string("Recording show.lseq")));
    EXPECT_EQ(r.status().intervalMS, 25);
    stopAt(T0 + 250 * MS);
    auto saved = cm.run("Stop Recording", {});
    EXPECT_FALSE(saved->isError());
    EXPECT_EQ(saved->get(), "Recording show.lseq saved: 11 frames (0.275 s)");

    Json::Value d = cm.getCommand("Start Recording")->getDescriptionJSON();
    ASSERT_EQ(d["args"].size(), 3u);
    EXPECT_FALSE(d["args"][0]["optional"].asBool());
    EXPECT_EQ(d["args"][1]["default"].asString(), "25");
    EXPECT_TRUE(d["args"][2]["optional"].asBool());
}

TEST_F(RecorderTest, NothingToRecordWithoutChannelInput) {
    Recorder& r = make(0);
    EXPECT_EQ(r.start("show", 25, ""), "No channel input is configured: nothing to record");
    EXPECT_FALSE(exists(dir + "/show.lseq.tmp"));
    r.shutdown();
    source->channels = 16;
    EXPECT_NE(r.start("show", 25, ""), "");
}

// The real clock: a stop while the sampler waits for a long interval ends
// it at once, and the recording holds the frames due up to then.
TEST_F(RecorderTest, StopInterruptsTheWaitOfTheMonotonicClock) {
    MonotonicRecorderClock real;
    StampSource src(clock, 4);
    Recorder r(dir, src, real);
    ASSERT_EQ(r.start("real", 1000, ""), "");
    EXPECT_EQ(r.stop(), "");  // not interrupted, it would wait and take frame 1 at 1000 ms
    std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(dir + "/real.lseq"));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->getNumFrames(), 1u);
}

}  // namespace
