// The running effect sequences: each is an opened .lseq file drawn over the
// channel buffer at its own start channel, frame by frame on its own frame
// interval, once or looping.  Several run at once; the one started last
// draws on top where they overlap.  Every effect has an id (1, 2, ...) that
// is never reused while the runner lives.
//
// Time: an effect started at time T shows frame (now - T) / interval at
// `now`.  The start time and every pruning decision come from the clock given
// to the constructor (the channel-output thread's monotonic clock in the
// daemon, a fake in tests); draw() gets `now` from its caller, the output
// thread, which reads the same clock.  A one-shot effect ends after its last
// frame's interval has passed and is dropped then.
//
// Threading: every operation may be called from any thread.  One mutex guards
// the list; draw() holds it while it copies frames (reads of the open files,
// normally from the page cache), so a stop waits at most one frame's draw.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class LSEQFile;

class EffectRunner {
public:
    using Clock = std::function<int64_t()>;  // nanoseconds, monotonic

    struct Info {
        int id = 0;
        std::string name;
        int startChannel = 1;  // 1-based
        uint32_t channelCount = 0;
        bool loop = false;
        bool background = false;
        uint32_t frame = 0;  // frame due now
        uint32_t frameCount = 0;
        int stepMS = 0;
    };

    explicit EffectRunner(Clock clock);
    ~EffectRunner();

    // Takes the open file (frame count 1 or more) and returns the new id.
    int start(std::unique_ptr<LSEQFile> file, const std::string& name, int startChannel, bool loop,
              bool background);
    // Stop every effect of that name / the one with that id; false when none ran.
    bool stop(const std::string& name);
    bool stop(int id);
    void stopAll();

    bool isRunning(int id);
    bool anyRunning() const { return count.load() > 0; }
    // The running effects in start order.
    std::vector<Info> list();

    // Writes the frame each effect shows at `now` into channels (size bytes;
    // parts past the end are cut off) and drops the effects that have ended.
    void draw(uint8_t* channels, uint32_t size, int64_t now);

private:
    struct Running;
    // Frame of r due at now; false when a one-shot effect is over.
    static bool frameAt(const Running& r, int64_t now, uint32_t& frame);
    void pruneLocked(int64_t now);

    Clock clock;
    std::mutex lock;
    std::vector<std::unique_ptr<Running>> effects;  // start order
    std::atomic<int> count{0};
    int nextId = 1;
};
