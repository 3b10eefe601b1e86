#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "channeloutput/FrameClock.h"

namespace {

const int64_t MS = 1000000;

TEST(FrameClockTest, FramesFollowTheAnchorAndPeriod) {
    FrameClock c;
    c.start(10, 25 * MS);
    c.anchorIfNeeded(1000 * MS);
    c.anchorIfNeeded(5000 * MS);  // only the first tick anchors
    EXPECT_EQ(10, c.frameAt(1000 * MS));
    EXPECT_EQ(10, c.frameAt(1024 * MS));
    EXPECT_EQ(11, c.frameAt(1025 * MS));
    EXPECT_EQ(9, c.frameAt(999 * MS)) << "floor, also before the anchor";
    EXPECT_EQ(1050 * MS, c.dueTime(12));
}

TEST(FrameClockTest, LargeDisagreementReanchorsSmallOneIsSlewed) {
    FrameClock c;
    c.start(0, 25 * MS);
    c.anchorIfNeeded(0);
    // First reference always locks, even when close.
    c.reference(4.0, 100 * MS);
    EXPECT_TRUE(c.isLocked());
    EXPECT_EQ(4, c.frameAt(100 * MS));

    // Master 10 frames ahead: catch up at once (skip).
    c.reference(20.0, 200 * MS);
    EXPECT_EQ(20, c.frameAt(200 * MS));
    // Master 5 frames behind: re-anchor, the next frames are held back.
    c.reference(19.0, 350 * MS);
    EXPECT_EQ(19, c.frameAt(350 * MS));

    // One frame behind (predicted 29 at 600 ms, master says 30): slewed
    // half-way, not jumped.
    int64_t before = c.dueTime(30);
    double err = c.reference(30.0, 600 * MS);
    EXPECT_NEAR(1.0, err, 1e-9);
    EXPECT_EQ(before - 25 * MS / 2, c.dueTime(30));
}

TEST(FrameClockTest, UnlockMakesTheNextReferenceAnchorExactly) {
    FrameClock c;
    c.start(0, 40 * MS);
    c.anchorIfNeeded(0);
    c.reference(0.0, 0);
    c.unlock();
    c.reference(0.5, 40 * MS);  // within slew range, but unlocked
    EXPECT_EQ(20 * MS, c.dueTime(0)) << "frame 0.5 showing at 40 ms";
}

// A remote whose crystal runs 0.5 % fast follows a master reporting every
// tenth frame with up to 3 ms of network jitter: once locked it is never
// more than one frame away from the master.
TEST(FrameClockTest, FollowerStaysWithinAFrameOfADriftingMaster) {
    FrameClock c;
    const int64_t period = 25 * MS;
    c.start(0, period);
    c.anchorIfNeeded(0);
    srand(7);
    double worst = 0;
    for (int frame = 0; frame < 4000; frame++) {
        // Master shows `frame` at true time frame*period; the remote's clock reads 0.5 % more.
        int64_t trueTime = int64_t(frame) * period;
        int64_t localTime = int64_t(trueTime * 1.005);
        if (frame % 10 == 0) c.reference(double(frame), localTime + (rand() % 3) * MS);
        if (frame > 20) {
            double off = std::fabs(double(c.frameAt(localTime) - frame));
            worst = std::max(worst, off);
        }
    }
    EXPECT_LE(worst, 1.0);
}

}  // namespace
