// The main loop's timing statistic: gaps between iteration starts, work
// time, percentiles from the buckets, reset.
#include <gtest/gtest.h>

#include "LoopTiming.h"

namespace {

const int64_t MS = 1000000;

TEST(LoopTiming, GapsAreBetweenStartsAndWorkIsStartToEnd) {
    LoopTiming t;
    t.Reset(0);
    t.IterationStart(0);  // the first start only begins the first gap
    t.IterationEnd(1 * MS);
    t.IterationStart(10 * MS);
    t.IterationEnd(12 * MS);
    t.IterationStart(40 * MS);
    EXPECT_EQ(t.Gaps().Count(), 2u);
    EXPECT_EQ(t.Gaps().MaxNS(), 30 * MS);
    EXPECT_EQ(t.Work().Count(), 2u);
    EXPECT_EQ(t.Work().MaxNS(), 2 * MS);

    Json::Value j = t.ToJSON(40 * MS);
    EXPECT_DOUBLE_EQ(j["seconds"].asDouble(), 0.04);
    EXPECT_EQ(j["gap"]["count"].asUInt64(), 2u);
    EXPECT_DOUBLE_EQ(j["gap"]["maxMs"].asDouble(), 30.0);
    EXPECT_EQ(j["gap"]["over20Ms"].asUInt64(), 1u);
    EXPECT_EQ(j["gap"]["over50Ms"].asUInt64(), 0u);
}

TEST(LoopTiming, PercentilesReadTheUpperEdgeOfTheirBucket) {
    LoopHistogram h;
    EXPECT_EQ(h.PercentileNS(99), 0);
    for (int i = 0; i < 990; i++) h.Record(10 * MS + 100000);  // 10.1 ms
    for (int i = 0; i < 10; i++) h.Record(30 * MS);
    EXPECT_EQ(h.PercentileNS(50), 10 * MS + 250000);
    EXPECT_EQ(h.PercentileNS(99), 10 * MS + 250000);
    EXPECT_EQ(h.PercentileNS(99.9), 30 * MS) << "the edge of the top bucket is cut to the maximum seen";
    EXPECT_EQ(h.MaxNS(), 30 * MS);
}

TEST(LoopTiming, LongGapsLandInTheLastBucketWithTheirExactMaximum) {
    LoopHistogram h;
    h.Record(5 * MS);
    h.Record(750 * MS);
    h.Record(-3);  // a clock oddity counts as zero, not as a crash
    EXPECT_EQ(h.Count(), 3u);
    EXPECT_EQ(h.PercentileNS(100), 750 * MS);
    EXPECT_EQ(h.MaxNS(), 750 * MS);
}

TEST(LoopTiming, ResetForgetsAndStartsANewGap) {
    LoopTiming t;
    t.Reset(0);
    t.IterationStart(0);
    t.IterationStart(100 * MS);
    t.Reset(200 * MS);
    t.IterationStart(300 * MS);  // not a gap of 200 ms
    t.IterationStart(305 * MS);
    EXPECT_EQ(t.Gaps().Count(), 1u);
    EXPECT_EQ(t.Gaps().MaxNS(), 5 * MS);
    EXPECT_DOUBLE_EQ(t.ToJSON(1200 * MS)["seconds"].asDouble(), 1.0);
}

}  // namespace
