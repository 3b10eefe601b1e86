// The rate controller against a recording player: every call it makes is
// checked, and the shared rate history is a private one per test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "mediaoutput/SpeedController.h"
#include "mediaoutput/VLCCompat.h"

namespace {

struct RecordingPlayer : RatePlayer {
    std::vector<float> rates;
    std::vector<int64_t> seeks;
    void SetRate(float rate) override { rates.push_back(rate); }
    void SeekMS(int64_t ms) override { seeks.push_back(ms); }
};

float Pow(double base, int n) {
    float r = 1.0f;
    for (int i = 0; i < n; i++) r = static_cast<float>(r * base);
    return r;
}

class SpeedControllerTest : public ::testing::Test {
protected:
    RecordingPlayer player;
    RateHistory history;
    SpeedController ctl{player, history};
};

TEST_F(SpeedControllerTest, WithinTenMillisecondsNothingChanges) {
    ctl.lastDiff = -5;  // not a flip
    ctl.Adjust(20.000f, 20.010f);
    EXPECT_TRUE(player.rates.empty());
    EXPECT_FLOAT_EQ(ctl.currentRate, 1.0f);
    EXPECT_EQ(ctl.lastDiff, -5) << "nothing stored inside the dead band";
    EXPECT_EQ(ctl.rateDiff, 0);
}

TEST_F(SpeedControllerTest, AheadByHalfASecondSlowsByFiveStepsThenSpeedsUpTwo) {
    ctl.Adjust(20.5f, 20.0f);
    ASSERT_EQ(player.rates.size(), 1u);
    EXPECT_NEAR(player.rates[0], 0.904f, 0.001f);
    EXPECT_FLOAT_EQ(player.rates[0], Pow(0.98, 5));
    EXPECT_EQ(ctl.rateDiff, 5);
    EXPECT_EQ(ctl.lastDiff, 500);

    ctl.Adjust(20.8f, 20.5f);  // +300: step 3
    ASSERT_EQ(player.rates.size(), 2u);
    EXPECT_FLOAT_EQ(player.rates[1], static_cast<float>(static_cast<float>(Pow(0.98, 5) * 1.02) * 1.02));
    EXPECT_EQ(ctl.rateDiff, 3);
    EXPECT_EQ(ctl.lastDiff, 300);
    // the shared list holds the seed 1.0 and both rates
    ASSERT_EQ(history.lastRates.size(), 3u);
    EXPECT_NEAR(history.rateSum, 1.0f + player.rates[0] + player.rates[1], 1e-5);
}

TEST_F(SpeedControllerTest, EarlyInTheFileStepsAreTwiceAsFineAndLimitedToTwenty) {
    ctl.Adjust(5.0f, 4.0f);  // +1000 ms at 5 s: q = 20
    ASSERT_EQ(player.rates.size(), 1u);
    EXPECT_NEAR(player.rates[0], 0.668f, 0.001f);
    EXPECT_EQ(ctl.rateDiff, 20);

    RecordingPlayer p2;
    RateHistory h2;
    SpeedController c2(p2, h2);
    c2.Adjust(4.0f, 1.0f);  // +3000 ms would be 60 steps: limited to 20
    EXPECT_EQ(c2.rateDiff, 20);
}

TEST_F(SpeedControllerTest, TwelveSecondsOffSeeksToTheMasterAndResets) {
    ctl.Adjust(20.5f, 20.0f);
    ctl.Adjust(32.5f, 20.5f);  // +12 s
    ASSERT_EQ(player.seeks.size(), 1u);
    EXPECT_EQ(player.seeks[0], 20500);
    EXPECT_FLOAT_EQ(player.rates.back(), 1.0f);
    EXPECT_FLOAT_EQ(ctl.currentRate, 1.0f);
    EXPECT_EQ(ctl.lastDiff, -1);
    EXPECT_EQ(ctl.rateDiff, 0);

    ctl.Adjust(20.0f, 33.0f);  // behind by 13 s: also a jump
    ASSERT_EQ(player.seeks.size(), 2u);
    EXPECT_EQ(player.seeks[1], 33000);
}

TEST_F(SpeedControllerTest, FirstPositiveDiffAfterConstructionIsAFlipWithTheDeadBand) {
    ctl.Adjust(20.020f, 20.0f);  // +20: flipped from -1, rate 1.0, inside 29 ms
    EXPECT_TRUE(player.rates.empty());
    EXPECT_EQ(ctl.lastDiff, -1);
    ctl.Adjust(20.100f, 20.0f);  // +100: continues to the step rule, step 1
    ASSERT_EQ(player.rates.size(), 1u);
    EXPECT_FLOAT_EQ(player.rates[0], 0.98f);
}

// Past 10 s an error of 30-49 ms rounds to step 0: outside the dead band but
// never trimmed, a remote would stay that far off for the rest of the file.
TEST_F(SpeedControllerTest, AnErrorJustOutsideTheDeadBandLateInTheFileGetsOneStep) {
    ctl.lastDiff = 35;
    ctl.Adjust(20.038f, 20.0f);  // +38
    ASSERT_EQ(player.rates.size(), 1u);
    EXPECT_FLOAT_EQ(player.rates[0], 0.98f);
    EXPECT_EQ(ctl.rateDiff, 1);
    ctl.Adjust(20.020f, 20.0f);  // back inside the dead band
    EXPECT_FLOAT_EQ(player.rates.back(), 1.0f);

    RecordingPlayer p2;
    RateHistory h2;
    SpeedController c2(p2, h2);
    c2.lastDiff = -35;
    c2.Adjust(60.0f, 60.045f);  // -45
    ASSERT_EQ(p2.rates.size(), 1u);
    EXPECT_FLOAT_EQ(p2.rates[0], 1.02f);
    EXPECT_EQ(c2.rateDiff, -1);
    c2.Adjust(60.0f, 60.045f);  // still -45: the step is already applied
    EXPECT_EQ(p2.rates.size(), 1u);
}

TEST_F(SpeedControllerTest, SignChangeWhileTrimmingReturnsToNormalAndKeepsOneRate) {
    ctl.Adjust(20.5f, 20.0f);
    ctl.Adjust(20.0f, 20.2f);  // -200: flipped while at 0.904
    EXPECT_FLOAT_EQ(player.rates.back(), 1.0f);
    EXPECT_FLOAT_EQ(ctl.currentRate, 1.0f);
    EXPECT_EQ(ctl.rateDiff, 0);
    EXPECT_EQ(ctl.lastDiff, -200);
    ASSERT_EQ(history.lastRates.size(), 1u);
    EXPECT_FLOAT_EQ(history.rateSum, 1.0f);
}

TEST_F(SpeedControllerTest, BackInsideTheDeadBandReturnsToNormalRate) {
    ctl.Adjust(20.5f, 20.0f);
    ctl.Adjust(20.52f, 20.5f);  // +20, same sign, not at 1.0
    EXPECT_FLOAT_EQ(player.rates.back(), 1.0f);
    EXPECT_EQ(ctl.lastDiff, 20);
    EXPECT_EQ(ctl.rateDiff, 0);
}

TEST_F(SpeedControllerTest, SmallDiffAfterAZeroDiffWaitsOneRound) {
    ctl.lastDiff = 0;
    ctl.Adjust(20.08f, 20.0f);  // +80 after 0: transient
    EXPECT_TRUE(player.rates.empty());
    EXPECT_EQ(ctl.lastDiff, 80);
    ctl.Adjust(20.08f, 20.0f);  // now acted on: step 1
    ASSERT_EQ(player.rates.size(), 1u);
}

TEST_F(SpeedControllerTest, RatesStayBetweenHalfAndDouble) {
    ctl.currentRate = 1.6f;
    ctl.lastDiff = -500;
    ctl.Adjust(4.0f, 5.0f);  // -1000 at 4 s: 1.6 * 1.02^20 = 2.38 -> 2.0
    ASSERT_EQ(player.rates.size(), 1u);
    EXPECT_FLOAT_EQ(player.rates[0], 2.0f);
    EXPECT_EQ(ctl.rateDiff, -20);

    RecordingPlayer p2;
    RateHistory h2;
    SpeedController c2(p2, h2);
    c2.currentRate = 0.6f;
    c2.lastDiff = 500;
    c2.Adjust(5.0f, 4.0f);  // 0.6 * 0.98^20 = 0.40 -> 0.5
    ASSERT_EQ(p2.rates.size(), 1u);
    EXPECT_FLOAT_EQ(p2.rates[0], 0.5f);
}

TEST_F(SpeedControllerTest, CrossingNormalRateResetsInsteadOfOvershooting) {
    ctl.currentRate = 0.99f;  // a little slow, step history lost
    ctl.rateDiff = 0;
    ctl.lastDiff = -300;
    ctl.Adjust(20.0f, 20.3f);  // -300: step -3 -> 0.99 * 1.02^3 > 1 crosses
    ASSERT_EQ(player.rates.size(), 1u);
    EXPECT_FLOAT_EQ(player.rates[0], 1.0f);
    EXPECT_FLOAT_EQ(ctl.currentRate, 1.0f);
    EXPECT_EQ(ctl.rateDiff, 0);
    EXPECT_EQ(ctl.lastDiff, -300);
}

TEST_F(SpeedControllerTest, NotYetPlayingIsIgnored) {
    ctl.Adjust(0.0f, 3.0f);
    EXPECT_TRUE(player.rates.empty());
    EXPECT_TRUE(player.seeks.empty());
    EXPECT_TRUE(history.lastRates.empty());
}

TEST_F(SpeedControllerTest, SharedHistoryKeepsTwentyAndItsSum) {
    // Alternate two targets so every call changes the rate.
    for (int i = 0; i < 30; i++) ctl.Adjust(i % 2 ? 20.3f : 20.6f, 20.0f);
    EXPECT_EQ(history.lastRates.size(), 20u);
    float sum = 0;
    for (float r : history.lastRates) sum += r;
    EXPECT_NEAR(history.rateSum, sum, 1e-4);
}

TEST_F(SpeedControllerTest, WindowKeepsTenSamplesAndTheirSums) {
    for (int i = 1; i <= 14; i++) ctl.Adjust(20.0f + i * 0.001f, 20.0f);
    EXPECT_EQ(ctl.windowCount, 10);
    int sum = 0;
    for (const auto& s : ctl.window) sum += s.diff;
    EXPECT_EQ(ctl.diffSum, sum);
}

// ---- the play clock that fills in between libVLC 3's coarse time reports

TEST(PlayClockTest, ExtrapolatesBetweenReportsAtTheCurrentRateAndHoldsWhenStalled) {
    PlayClock c;
    EXPECT_EQ(c.Extrapolate(0, 1.0f, 1000, true), 0);
    EXPECT_EQ(c.Extrapolate(300, 1.0f, 1010, true), 300);
    EXPECT_EQ(c.Extrapolate(300, 1.0f, 1110, true), 400);
    EXPECT_EQ(c.Extrapolate(300, 0.5f, 1110, true), 350);
    EXPECT_EQ(c.Extrapolate(300, 1.0f, 3000, true), 300 + PlayClock::MAX_EXTRAPOLATION_MS);
    EXPECT_EQ(c.Extrapolate(550, 1.0f, 3010, true), 550) << "a new report is taken as is";
    EXPECT_EQ(c.Extrapolate(550, 1.0f, 3050, false), 550) << "not playing: no extrapolation";
    EXPECT_EQ(c.Extrapolate(-1, 1.0f, 3060, true), -1);
}

TEST(PlayClockTest, ARefreshDatedByItsEventIsExtrapolatedFromThatMoment) {
    PlayClock c;
    EXPECT_EQ(c.Extrapolate(300, 1.0f, 1010, true, 970), 340);
    EXPECT_EQ(c.Extrapolate(300, 1.0f, 1060, true, -1), 390) << "the date holds for later calls";
    EXPECT_EQ(c.Extrapolate(550, 1.0f, 1300, true, 1400), 550) << "a date in the future is ignored";
    EXPECT_EQ(c.Extrapolate(800, 1.0f, 2000, true, 1500), 800) << "a date older than a stall is ignored";
    c.Refreshed(1050, 2240);
    EXPECT_EQ(c.RefreshedAt(1050), 2240);
    EXPECT_EQ(c.RefreshedAt(800), -1) << "the event named another time";
}

// The player refreshes its time every 250 or 300 ms, exactly, in 50 ms steps,
// and a caller polling every 45 ms sees each refresh up to 45 ms late; with
// the refreshes dated by their events the clock stays on the player's time.
TEST(PlayClockTest, SparsePollingDoesNotLagBehindDatedRefreshes) {
    PlayClock c;
    std::vector<int64_t> refreshes;
    for (int64_t t = 0, k = 0; t < 6000; t += (k++ % 2) ? 300 : 250) refreshes.push_back(t);
    int64_t worst = 0;
    for (int64_t now = 260; now < 6000; now += 45) {
        int64_t r = 0;
        for (int64_t t : refreshes) {
            if (t <= now) r = t;
        }
        c.Refreshed(r, r);  // the player's time runs on the steady clock here
        int64_t got = c.Extrapolate(r, 1.0f, now, true, c.RefreshedAt(r));
        worst = std::max<int64_t>(worst, std::llabs(now - got));
    }
    EXPECT_LE(worst, 1);
}

}  // namespace
