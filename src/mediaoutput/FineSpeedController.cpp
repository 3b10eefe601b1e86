#include "mediaoutput/FineSpeedController.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/Logging.h"

// Media sync reports come every half second of the master's media; other
// intervals (a lost packet, a late main loop) are taken as they come, within
// these bounds.
static constexpr float NOMINAL_INTERVAL_S = 0.5f;
static constexpr float MIN_INTERVAL_S = 0.2f;
static constexpr float MAX_INTERVAL_S = 2.0f;
// Share of the error the next interval is meant to remove.
static constexpr float GAIN = 0.5f;
// A reading this far from the expected error is not trusted on its own.
static constexpr float OUTLIER_MS = 12.0f;

int FineSpeedController::median() const {
    if (recentCount == 1) return recent[(next + 2) % 3];
    if (recentCount == 2) {
        // Of two readings the smaller error: an outlier must not act alone.
        int a = recent[(next + 2) % 3], b = recent[(next + 1) % 3];
        return std::abs(a) <= std::abs(b) ? a : b;
    }
    int a = recent[0], b = recent[1], c = recent[2];
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

void FineSpeedController::setRate(float rate, int diff) {
    if (rate == currentRate) return;
    LogDebug(VB_MEDIAOUT, "Diff: %d\tFine rate %0.3f (was %0.3f)\n", diff, rate, currentRate);
    player.SetRate(rate);
    currentRate = rate;
}

void FineSpeedController::Adjust(float local, float master) {
    if (local < 0.01f) {
        LogDebug(VB_MEDIAOUT, "Can't adjust speed if not playing yet (%0.3f/%0.3f)\n", master, local);
        return;
    }
    int diff = static_cast<int>(local * 1000) - static_cast<int>(master * 1000);
    LogExcess(VB_MEDIAOUT, "Diff: %d\tMaster: %0.3f  Local: %0.3f  Rate: %0.3f\n", diff, master, local,
              currentRate);

    if (std::abs(diff) > FAR_MS) {
        LogDebug(VB_MEDIAOUT, "Diff: %d\tVery far, jumping to: %0.3f\t(currently at %0.3f)\n", diff, master,
                 local);
        player.SeekMS(std::llround(static_cast<double>(master) * 1000.0));
        setRate(1.0f, diff);
        recentCount = 0;
        next = 0;
        lastMaster = -1.0f;
        return;
    }

    float interval = lastMaster >= 0.0f ? master - lastMaster : NOMINAL_INTERVAL_S;
    // A jump of the master's position (a seek, the next song) makes the old
    // readings meaningless.
    if (interval < 0.0f || interval > 1.0f + MAX_INTERVAL_S) recentCount = next = 0;
    interval = std::min(std::max(interval, MIN_INTERVAL_S), MAX_INTERVAL_S);
    lastMaster = master;

    // What the last decision should have left: the last error, moved by the
    // rate over the interval.  A reading close to it is taken as it is (the
    // median would lag a fast approach into overshoot); one far from it is
    // either a bad reading or a real jump, and the median of the last three
    // tells which.
    float predicted = static_cast<float>(filteredDiff) + (currentRate - 1.0f) * interval * 1000.0f;
    bool expected = recentCount > 0 && std::fabs(static_cast<float>(diff) - predicted) <= OUTLIER_MS;
    recent[next] = diff;
    next = (next + 1) % 3;
    recentCount = std::min(recentCount + 1, 3);
    filteredDiff = expected ? diff : median();

    if (std::abs(filteredDiff) <= DEAD_BAND_MS) {
        setRate(1.0f, filteredDiff);
        return;
    }
    // Ahead (diff > 0) plays slower.  Rates are whole steps so that a steady
    // error does not re-set the rate on every report.
    float trim = -GAIN * (static_cast<float>(filteredDiff) / 1000.0f) / interval;
    trim = std::min(std::max(trim, -MAX_TRIM), MAX_TRIM);
    float steps = std::round(trim / RATE_STEP);
    if (steps == 0.0f) steps = filteredDiff > 0 ? -1.0f : 1.0f;
    setRate(1.0f + steps * RATE_STEP, filteredDiff);
}
