#include "LoopTiming.h"

#include <time.h>

#include <algorithm>

LoopTiming LoopTiming::INSTANCE;

int64_t LoopTimingNow() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void LoopHistogram::Record(int64_t ns) {
    if (ns < 0) ns = 0;
    int64_t i = ns / BUCKET_NS;
    if (i >= BUCKETS) i = BUCKETS - 1;
    buckets[i].fetch_add(1, std::memory_order_relaxed);
    count.fetch_add(1, std::memory_order_relaxed);
    if (ns > 20000000) over20.fetch_add(1, std::memory_order_relaxed);
    if (ns > 50000000) over50.fetch_add(1, std::memory_order_relaxed);
    // Only the main loop records, so a plain compare-then-store is enough.
    if (ns > maxNS.load(std::memory_order_relaxed)) maxNS.store(ns, std::memory_order_relaxed);
}

void LoopHistogram::Reset() {
    for (auto& b : buckets) b.store(0, std::memory_order_relaxed);
    count.store(0, std::memory_order_relaxed);
    maxNS.store(0, std::memory_order_relaxed);
    over20.store(0, std::memory_order_relaxed);
    over50.store(0, std::memory_order_relaxed);
}

int64_t LoopHistogram::PercentileNS(double p) const {
    uint64_t counts[BUCKETS];
    uint64_t total = 0;
    for (int i = 0; i < BUCKETS; i++) total += counts[i] = buckets[i].load(std::memory_order_relaxed);
    if (total == 0) return 0;
    // The smallest bucket at which at least p % of the samples are counted.
    double want = p / 100.0 * double(total);
    uint64_t seen = 0;
    for (int i = 0; i < BUCKETS; i++) {
        seen += counts[i];
        if (double(seen) >= want && seen > 0) {
            if (i == BUCKETS - 1) return MaxNS();
            return std::min<int64_t>(int64_t(i + 1) * BUCKET_NS, std::max<int64_t>(MaxNS(), 1));
        }
    }
    return MaxNS();
}

static double ms(int64_t ns) {
    return double(ns / 1000) / 1000.0;
}

Json::Value LoopHistogram::ToJSON() const {
    Json::Value out(Json::objectValue);
    out["count"] = Json::UInt64(Count());
    out["p50Ms"] = ms(PercentileNS(50));
    out["p90Ms"] = ms(PercentileNS(90));
    out["p99Ms"] = ms(PercentileNS(99));
    out["p999Ms"] = ms(PercentileNS(99.9));
    out["maxMs"] = ms(MaxNS());
    out["over20Ms"] = Json::UInt64(over20.load(std::memory_order_relaxed));
    out["over50Ms"] = Json::UInt64(over50.load(std::memory_order_relaxed));
    return out;
}

void LoopTiming::IterationStart(int64_t now) {
    if (restart.exchange(false, std::memory_order_relaxed)) {
        lastStart.store(now, std::memory_order_relaxed);
        return;
    }
    gaps.Record(now - lastStart.load(std::memory_order_relaxed));
    lastStart.store(now, std::memory_order_relaxed);
}

void LoopTiming::IterationEnd(int64_t now) {
    work.Record(now - lastStart.load(std::memory_order_relaxed));
}

void LoopTiming::Reset(int64_t now) {
    gaps.Reset();
    work.Reset();
    since.store(now, std::memory_order_relaxed);
    restart.store(true, std::memory_order_relaxed);
}

Json::Value LoopTiming::ToJSON(int64_t now) const {
    Json::Value out(Json::objectValue);
    out["seconds"] = ms(now - since.load(std::memory_order_relaxed)) / 1000.0;
    out["gap"] = gaps.ToJSON();
    out["work"] = work.ToJSON();
    return out;
}
