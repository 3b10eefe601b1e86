// Records live channel input into a sequence file (".lseq", docs/lseq.md).
//
// Frame n of a recording is the frame source's data (the bridge buffer) as it
// is at start + n * interval on a monotonic clock.  Deadlines are absolute,
// so however late one wake-up is, the recording keeps the elapsed time: a
// wake-up that comes after several deadlines fills each of them with the data
// as it is then, and the frame count of a recording stopped after T is
// T / interval + 1.
//
// A second thread writes the frames to "<name>.tmp" beside the target, so a
// slow card never delays sampling.  Stop fills in the frame count, syncs and
// renames the file over the target; until then an existing sequence of that
// name is untouched, whatever happens to the daemon or the power.  A write
// error (a full disk) ends the recording at once: the temporary file is
// removed, the target stays as it was, and the error goes to the log and to
// status().
//
// Threading: start(), stop(), requestStop() and status() from any thread
// (one mutex).  The sampling and writing threads are the recorder's own; the
// frame source is read on the sampling thread only.
#pragma once

#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LSEQWriter;

// Time for the recorder: nanoseconds of a monotonic clock.
class RecorderClock {
public:
    virtual ~RecorderClock() = default;
    virtual int64_t nowNS() = 0;
    // Returns at deadlineNS or, once wake() was called, at once (also for
    // every later call until clearWake()).
    virtual void sleepUntil(int64_t deadlineNS) = 0;
    virtual void wake() = 0;
    virtual void clearWake() = 0;
};

// CLOCK_MONOTONIC (steady_clock) with an interruptible absolute wait.
class MonotonicRecorderClock : public RecorderClock {
public:
    int64_t nowNS() override;
    void sleepUntil(int64_t deadlineNS) override;
    void wake() override;
    void clearWake() override;

private:
    std::mutex lock;
    std::condition_variable cv;
    bool woken = false;
};

// What gets recorded.
class RecorderFrameSource {
public:
    virtual ~RecorderFrameSource() = default;
    // Channels 1..channelCount() are recorded; 0 means nothing to record.
    virtual uint32_t channelCount() = 0;
    // Channels 1..len as they are now, channel 1 at dst[0].
    virtual void copyFrame(uint8_t* dst, size_t len) = 0;
};

// The bridge buffer of the channel inputs (platform/Bridge.h).
class BridgeFrameSource : public RecorderFrameSource {
public:
    uint32_t channelCount() override;
    void copyFrame(uint8_t* dst, size_t len) override;
};

class Recorder {
public:
    static constexpr int DEFAULT_INTERVAL_MS = 25;
    static constexpr int MIN_INTERVAL_MS = 10;
    static constexpr int MAX_INTERVAL_MS = 1000;
    static constexpr size_t MAX_MEDIA_NAME = 255;
    // Frames waiting for the writer, in bytes, before the recording is given
    // up as "the disk is too slow" (it stays at least a few frames).
    static constexpr size_t MAX_BACKLOG_BYTES = 16 * 1024 * 1024;

    struct Status {
        bool active = false;  // sampling now
        std::string name;     // file name in the sequence folder, "" before any recording
        uint64_t frames = 0;  // frames recorded so far (or in the finished file)
        int intervalMS = 0;
        uint32_t channels = 0;
        std::string mediaFile;
        std::string error;  // why the last recording failed, "" when it did not
    };

    // sequenceDir: the folder recordings go into (the media directory's
    // "sequences").  source and clock must outlive the recorder.  With
    // realtimeSampling the sampling thread asks for SCHED_FIFO priority (just
    // below the channel-output thread) so other work cannot delay a frame.
    Recorder(std::string sequenceDir, RecorderFrameSource& source, RecorderClock& clock,
             bool realtimeSampling = false);
    ~Recorder();  // a running recording is stopped and kept

    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // "" when the recording started, else why not (nothing was started and
    // nothing was written).  name is confined to the sequence folder by
    // FileNameFor; mediaFile "" writes no "mf" header.
    std::string start(const std::string& name, int intervalMS, const std::string& mediaFile);
    // Ends the running recording and puts the file in place.  "" on success,
    // else the error (no recording, or the recording failed).
    std::string stop();
    // Asks the running recording to end at its next wake-up without waiting;
    // stop() still finishes it.
    void requestStop();
    // Stops (and keeps) a running recording and refuses later starts.
    void shutdown();

    Status status();
    Json::Value statusJSON() { return ToJSON(status()); }
    // {"active", "name", "frames", "seconds", "intervalMS", "channels",
    //  "mediaFile", "error"}; Status() gives the document of no recording.
    static Json::Value ToJSON(const Status& s);

    // The file name a recording called `name` is written to: `name` plus
    // ".lseq" unless it ends so.  "" (and the reason in `error`) for names
    // that are empty, too long, hidden (leading "."), hold a "/" or "\", or
    // control characters.
    static std::string FileNameFor(const std::string& name, std::string& error);

private:
    struct Run;
    void sampleLoop(Run& run);
    void writeLoop(Run& run);
    bool queueFrames(Run& run, const std::vector<uint8_t>& frame, uint64_t count);
    void failRun(Run& run, const std::string& error);
    std::string finishRun();
    static Status snapshot(Run& run);

    const std::string sequenceDir;
    RecorderFrameSource& source;
    RecorderClock& clock;
    const bool realtimeSampling;

    std::mutex controlLock;  // one start or stop at a time
    std::mutex stateLock;    // guards run (the pointer) and last; never held while joining
    std::unique_ptr<Run> run;
    bool closed = false;  // under controlLock
    Status last;          // the finished recording, while none runs
};
