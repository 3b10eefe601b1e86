// The fine rate controller against a recording player, and in a closed loop
// against a simulated remote whose position follows the rates it sets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "mediaoutput/FineSpeedController.h"

namespace {

struct RecordingPlayer : RatePlayer {
    std::vector<float> rates;
    std::vector<int64_t> seeks;
    void SetRate(float rate) override { rates.push_back(rate); }
    void SeekMS(int64_t ms) override { seeks.push_back(ms); }
};

class FineSpeedControllerTest : public ::testing::Test {
protected:
    RecordingPlayer player;
    FineSpeedController ctl{player};
};

TEST_F(FineSpeedControllerTest, InsideTheDeadBandTheRateStaysNormal) {
    ctl.Adjust(20.003f, 20.000f);
    ctl.Adjust(20.497f, 20.500f);
    EXPECT_TRUE(player.rates.empty());
    EXPECT_FLOAT_EQ(ctl.currentRate, 1.0f);
}

TEST_F(FineSpeedControllerTest, SmallErrorsGetTrimsOfTenthsOfAPercent) {
    // 6 ms ahead, three reports half a second apart: slow down by 0.6 %.
    for (int i = 0; i < 3; i++) ctl.Adjust(20.006f + 0.5f * i, 20.0f + 0.5f * i);
    ASSERT_EQ(player.rates.size(), 1u) << "a steady error sets the rate once";
    EXPECT_NEAR(player.rates[0], 0.994f, 1e-4);
    // Behind by 4 ms: speed up by 0.4 %.
    FineSpeedController behind{player};
    behind.Adjust(30.0f, 30.004f);
    EXPECT_NEAR(player.rates.back(), 1.004f, 1e-4);
}

TEST_F(FineSpeedControllerTest, LargeErrorsAreCappedAtTenPercent) {
    ctl.Adjust(20.3f, 20.0f);
    ASSERT_EQ(player.rates.size(), 1u);
    EXPECT_NEAR(player.rates[0], 0.90f, 1e-4);
    EXPECT_TRUE(player.seeks.empty());
}

TEST_F(FineSpeedControllerTest, ASingleOutlierDoesNotMoveTheRate) {
    for (int i = 0; i < 3; i++) ctl.Adjust(20.001f + 0.5f * i, 20.0f + 0.5f * i);
    ctl.Adjust(21.540f, 21.5f);  // one reading 40 ms off among ones of 1 ms
    ctl.Adjust(22.001f, 22.0f);
    EXPECT_TRUE(player.rates.empty());
}

TEST_F(FineSpeedControllerTest, BeyondTenSecondsItSeeksAndForgets) {
    ctl.Adjust(20.3f, 20.0f);
    ctl.Adjust(5.0f, 40.0f);
    ASSERT_EQ(player.seeks.size(), 1u);
    EXPECT_EQ(player.seeks[0], 40000);
    EXPECT_FLOAT_EQ(player.rates.back(), 1.0f);
    // The readings from before the seek do not count afterwards.
    ctl.Adjust(40.5f, 40.5f);
    EXPECT_FLOAT_EQ(ctl.currentRate, 1.0f);
    EXPECT_EQ(ctl.filteredDiff, 0);
}

TEST_F(FineSpeedControllerTest, NotPlayingYetChangesNothing) {
    ctl.Adjust(0.0f, 3.0f);
    EXPECT_TRUE(player.rates.empty());
    EXPECT_TRUE(player.seeks.empty());
}

// A remote that starts 300 ms late and whose clock runs 0.05 % slow, with up
// to +-2 ms of reading noise: after settling, every error is within 5 ms.
TEST(FineSpeedControllerLoop, SettlesWithinFiveMilliseconds) {
    struct Remote : RatePlayer {
        double position = 0.0;  // seconds
        double rate = 1.0;
        void SetRate(float r) override { rate = r; }
        void SeekMS(int64_t ms) override { position = ms / 1000.0; }
    } remote;
    FineSpeedController ctl{remote};
    double master = 5.0;
    remote.position = master - 0.3;
    unsigned seed = 7;
    int worstAfter = 0;
    for (int i = 0; i < 240; i++) {
        double noise = (int(rand_r(&seed) % 401) - 200) / 100000.0;  // +-2 ms
        ctl.Adjust(float(remote.position + noise), float(master));
        double dt = 0.5;
        master += dt;
        remote.position += dt * remote.rate * 0.9995;
        int err = int(std::lround(std::fabs(remote.position - master) * 1000.0));
        if (i >= 20) worstAfter = std::max(worstAfter, err);
    }
    EXPECT_LE(worstAfter, 5);
    EXPECT_LT(std::fabs(remote.rate - 1.0), 0.01) << "settled at a small trim, not a large one";
}

}  // namespace
