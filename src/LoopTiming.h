// How regularly the main loop comes round: the gap between the starts of two
// iterations, and the time each iteration spends working, as histograms the
// debug endpoint reads ("GET /lyrd/debug/mainLoop").
//
// Recording is a few relaxed atomic increments per iteration, so it stays on
// all the time.  Buckets are 0.25 ms wide up to 100 ms; longer values land in
// the last bucket, and the exact maximum is kept beside.  Percentiles are the
// upper edge of the bucket that holds them, so they read at most 0.25 ms high.
//
// Threading: Record* on the main loop's thread only; ToJSON and Reset on any
// thread (a reset racing a record may keep or lose that one sample).
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>

class LoopHistogram {
public:
    static constexpr int BUCKETS = 401;  // 400 of 0.25 ms, then everything longer
    static constexpr int64_t BUCKET_NS = 250000;

    void Record(int64_t ns);
    void Reset();
    uint64_t Count() const { return count.load(std::memory_order_relaxed); }
    int64_t MaxNS() const { return maxNS.load(std::memory_order_relaxed); }
    // Upper edge in ns of the bucket that holds the p-th percentile (0 when
    // empty), but never more than the maximum seen.
    int64_t PercentileNS(double p) const;
    // {"count", "p50Ms", "p90Ms", "p99Ms", "p999Ms", "maxMs", "over20Ms", "over50Ms"}
    Json::Value ToJSON() const;

private:
    std::atomic<uint64_t> buckets[BUCKETS] = {};
    std::atomic<uint64_t> count{0};
    std::atomic<int64_t> maxNS{0};
    std::atomic<uint64_t> over20{0};
    std::atomic<uint64_t> over50{0};
};

class LoopTiming {
public:
    static LoopTiming INSTANCE;

    // nowNS from a monotonic clock.  IterationStart records the gap since the
    // previous start; IterationEnd records how long this one worked.
    void IterationStart(int64_t nowNS);
    void IterationEnd(int64_t nowNS);
    // Forgets everything recorded; the next start begins a new gap.
    void Reset(int64_t nowNS);

    const LoopHistogram& Gaps() const { return gaps; }
    const LoopHistogram& Work() const { return work; }
    // {"seconds": since the last reset, "gap": {...}, "work": {...}}
    Json::Value ToJSON(int64_t nowNS) const;

private:
    LoopHistogram gaps;
    LoopHistogram work;
    std::atomic<int64_t> lastStart{0};
    std::atomic<int64_t> since{0};
    std::atomic<bool> restart{true};
};

// Monotonic nanoseconds, for the callers above.
int64_t LoopTimingNow();
