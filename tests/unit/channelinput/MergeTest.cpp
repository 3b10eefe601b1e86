// Merging of input sources, with time driven by the test: priorities,
// per-channel highest-takes-precedence, timeouts, terminate, sequence order.
#include <gtest/gtest.h>

#include "channelinput/SourceMerge.h"

namespace {

const int64_t MS = 1000000;
const int64_t TIMEOUT = 2500 * MS;

SourceKey key(uint8_t n) {
    SourceKey k{};
    k.fill(n);
    return k;
}

std::vector<uint8_t> merged(const SourceMerge& m, size_t n) {
    return {m.Merged(), m.Merged() + n};
}

SourceMerge::Result send(SourceMerge& m, uint8_t src, uint8_t prio, int seq, std::vector<uint8_t> d,
                         int64_t t) {
    return m.Receive(key(src), "s" + std::to_string(src), prio, seq, d.data(), d.size(), t);
}

}  // namespace

TEST(SourceMerge, HigherPriorityWinsAndLowerTakesOverAfterTimeout) {
    SourceMerge m(6, TIMEOUT);
    send(m, 1, 100, 0, {10, 10, 10}, 0);
    send(m, 2, 150, 0, {1, 2}, 1 * MS);
    EXPECT_EQ(merged(m, 3), (std::vector<uint8_t>{1, 2, 0}));
    // The lower keeps sending; the higher goes quiet after 100 ms.
    for (int i = 1; i <= 30; i++) {
        int64_t t = i * 100 * MS;
        send(m, 1, 100, i, {10, 10, 10}, t);
        if (t < 100 * MS + TIMEOUT)
            EXPECT_EQ(merged(m, 3)[0], 1) << t;
        else
            EXPECT_EQ(merged(m, 3), (std::vector<uint8_t>{10, 10, 10})) << t;
    }
    EXPECT_EQ(m.SourceCount(), 1u);
}

TEST(SourceMerge, EqualPriorityMergesHighestPerChannel) {
    SourceMerge m(6, TIMEOUT);
    send(m, 1, 100, 0, {200, 0, 50, 7}, 0);
    send(m, 2, 100, 0, {100, 80, 60}, 0);
    send(m, 3, 90, 0, {255, 255, 255, 255, 255}, 0);  // lower priority: no say
    EXPECT_EQ(merged(m, 6), (std::vector<uint8_t>{200, 80, 60, 7, 0, 0}));
    // A source lowering a channel lowers the merge only to the other's level.
    send(m, 1, 100, 1, {0, 0, 0, 0}, 1);
    EXPECT_EQ(merged(m, 4), (std::vector<uint8_t>{100, 80, 60, 0}));
    // A source raising its priority takes over alone.
    send(m, 2, 120, 1, {1}, 2);
    EXPECT_EQ(merged(m, 4), (std::vector<uint8_t>{1, 0, 0, 0}));
}

TEST(SourceMerge, TerminateDropsAtOnce) {
    SourceMerge m(6, TIMEOUT);
    send(m, 1, 100, 0, {5}, 0);
    send(m, 2, 200, 0, {9}, 0);
    EXPECT_EQ(m.Terminate(key(2), 1, MS), SourceMerge::Result::Terminated);
    EXPECT_EQ(merged(m, 1)[0], 5);
    EXPECT_EQ(m.SourceCount(), 1u);
    // An unknown source terminating changes nothing.
    EXPECT_EQ(m.Terminate(key(7), 0, MS), SourceMerge::Result::Terminated);
    EXPECT_EQ(m.Terminate(key(1), 1, MS), SourceMerge::Result::Terminated);
    EXPECT_EQ(m.SourceCount(), 0u);
    EXPECT_EQ(merged(m, 1)[0], 0);
}

TEST(SourceMerge, OutOfOrderAndDuplicatePacketsAreDiscarded) {
    SourceMerge m(6, TIMEOUT);
    using R = SourceMerge::Result;
    EXPECT_EQ(send(m, 1, 100, 50, {50}, 0), R::Accepted);
    EXPECT_EQ(send(m, 1, 100, 50, {99}, 1), R::OutOfOrder) << "duplicate";
    EXPECT_EQ(send(m, 1, 100, 49, {49}, 2), R::OutOfOrder);
    EXPECT_EQ(send(m, 1, 100, 31, {31}, 3), R::OutOfOrder) << "19 back";
    EXPECT_EQ(merged(m, 1)[0], 50);
    EXPECT_EQ(send(m, 1, 100, 30, {30}, 4), R::Accepted) << "20 back: a restarted sender";
    EXPECT_EQ(send(m, 1, 100, 31, {31}, 5), R::Accepted);
    // Wrap-around counts forward.
    send(m, 2, 100, 255, {1}, 6);
    EXPECT_EQ(send(m, 2, 100, 0, {2}, 7), R::Accepted);
    EXPECT_EQ(send(m, 2, 100, 250, {3}, 8), R::OutOfOrder);
    // Sequence checks are per source: another source's numbers do not matter.
    EXPECT_EQ(send(m, 3, 100, 31, {0}, 9), R::Accepted);
    // Unnumbered packets are always in order.
    EXPECT_EQ(send(m, 4, 100, -1, {0}, 10), R::Accepted);
    EXPECT_EQ(send(m, 4, 100, -1, {0}, 11), R::Accepted);
    // A late terminate is out of order too and leaves the source.
    EXPECT_EQ(m.Terminate(key(1), 20, 12), R::OutOfOrder);
    EXPECT_EQ(m.SourceCount(), 4u);
}

TEST(SourceMerge, SourceLimitAndExpiryFreeASlot) {
    SourceMerge m(2, 10000 * MS);
    using R = SourceMerge::Result;
    EXPECT_EQ(send(m, 1, 0, -1, {1}, 0), R::Accepted);
    EXPECT_EQ(send(m, 2, 0, -1, {2}, 0), R::Accepted);
    EXPECT_EQ(send(m, 3, 0, -1, {3}, 0), R::SourceLimit);
    EXPECT_EQ(merged(m, 1)[0], 2);
    send(m, 2, 0, -1, {2}, 9000 * MS);
    // Source 1 silent for 10 s: dropped, and the newcomer gets its place.
    EXPECT_EQ(send(m, 3, 0, -1, {3}, 10000 * MS), R::Accepted);
    EXPECT_EQ(m.SourceCount(), 2u);
    EXPECT_EQ(merged(m, 1)[0], 3);
    EXPECT_EQ(m.Sources(10000 * MS).size(), 2u);
    EXPECT_EQ(m.Sources(19000 * MS).size(), 1u);
    EXPECT_TRUE(m.Expire(30000 * MS));
    EXPECT_EQ(m.SourceCount(), 0u);
    EXPECT_EQ(merged(m, 1)[0], 0);
}

TEST(SourceMerge, ShorterPacketZeroesTheChannelsItNoLongerSends) {
    SourceMerge m(6, TIMEOUT);
    send(m, 1, 100, 0, {9, 9, 9, 9}, 0);
    send(m, 1, 100, 1, {8}, 1);
    EXPECT_EQ(merged(m, 4), (std::vector<uint8_t>{8, 0, 0, 0}));
    std::vector<uint8_t> big(600, 4);  // more than a universe: cut to 512
    send(m, 1, 100, 2, big, 2);
    EXPECT_EQ(m.Merged()[511], 4);
}
