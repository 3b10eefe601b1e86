#include "mediaoutput/SpeedController.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/Logging.h"

static constexpr int DEAD_BAND_MS = 29;
static constexpr int FAR_MS = 10000;
static constexpr int TRANSIENT_MS = 99;
static constexpr float MAX_RATE = 2.0f;
static constexpr float MIN_RATE = 0.5f;

void RateHistory::Append(float rate) {
    lastRates.push_back(rate);
    rateSum += rate;
}

void RateHistory::DropOldest() {
    if (lastRates.empty()) return;
    rateSum -= lastRates.front();
    lastRates.pop_front();
}

void SpeedController::AddToWindow(int diff) {
    diffSum += diff;
    windowRateSum += currentRate;
    int slot;
    if (windowCount < WINDOW) {
        slot = windowCount++;
    } else {
        windowIndex = (windowIndex + 1) % WINDOW;
        slot = windowIndex;
        diffSum -= window[slot].diff;
        windowRateSum -= window[slot].rate;
    }
    window[slot].diff = diff;
    window[slot].rate = currentRate;
}

void SpeedController::ResetToNormal(int diff) {
    currentRate = 1.0f;
    lastDiff = diff;
    rateDiff = 0;
}

// Multiplies in double precision and rounds back to float at every step, so
// repeated small steps give the same rate however they were grouped in time.
static float MultiplyRepeated(float rate, double factor, int times) {
    for (int i = 0; i < times; i++) rate = static_cast<float>(static_cast<double>(rate) * factor);
    return rate;
}

void SpeedController::Adjust(float local, float master) {
    if (local < 0.01f) {
        LogDebug(VB_MEDIAOUT, "Can't adjust speed if not playing yet (%0.3f/%0.3f)\n", master, local);
        return;
    }
    if (history.lastRates.empty()) {
        history.lastRates.push_back(1.0f);
        history.rateSum = 1.0f;
    }

    int diff = static_cast<int>(local * 1000) - static_cast<int>(master * 1000);
    int absDiff = std::abs(diff);
    int sign = diff < 0 ? -1 : 1;

    if (absDiff > 3000 || local < 1.0f) {
        LogDebug(VB_MEDIAOUT, "Diff: %d\tMaster: %0.3f  Local: %0.3f  Rate: %0.3f\n", diff, master, local,
                 currentRate);
    } else {
        LogExcess(VB_MEDIAOUT, "Diff: %d\tMaster: %0.3f  Local: %0.3f  Rate: %0.3f\n", diff, master, local,
                  currentRate);
    }
    AddToWindow(diff);

    bool flipped = (lastDiff < 0 && sign == 1) || (lastDiff > 0 && sign == -1);
    if (flipped && currentRate != 1.0f) {
        LogDebug(VB_MEDIAOUT, "Diff: %d\tFlipped, reset speed to normal\t(%0.3f)\n", diff, 1.0f);
        player.SetRate(1.0f);
        history.Append(1.0f);
        while (history.lastRates.size() > 1) history.DropOldest();
        ResetToNormal(diff);
        return;
    }
    if (flipped && absDiff <= DEAD_BAND_MS) return;
    if (!flipped && absDiff <= DEAD_BAND_MS) {
        if (currentRate == 1.0f) return;
        LogDebug(VB_MEDIAOUT, "Diff: %d\tVery close, use normal rate\t(%0.3f)\n", diff, 1.0f);
        player.SetRate(1.0f);
        history.Append(1.0f);
        while (history.lastRates.size() > MAX_RATES) history.DropOldest();
        ResetToNormal(diff);
        return;
    }

    if (absDiff > FAR_MS) {
        int64_t target = std::llround(static_cast<double>(master) * 1000.0);
        LogDebug(VB_MEDIAOUT, "Diff: %d\tVery far, jumping to: %0.3f\t(currently at %0.3f)\n", diff, master,
                 local);
        player.SeekMS(target);
        player.SetRate(1.0f);
        history.Append(1.0f);
        // Repeated far jumps would otherwise grow the shared list without end.
        while (history.lastRates.size() > MAX_RATES) history.DropOldest();
        currentRate = 1.0f;
        lastDiff = -1;
        rateDiff = 0;
        return;
    }

    if (absDiff <= TRANSIENT_MS && lastDiff == 0) {
        LogDebug(VB_MEDIAOUT, "Diff: %d\tVery close but could be transient, wait till next time\n", diff);
        lastDiff = diff;
        return;
    }

    float q = local > 10.0f ? std::min(absDiff / 100.0f, 10.0f) : std::min(absDiff / 50.0f, 20.0f);
    int step = static_cast<int>(std::round(sign * q));
    // Past 10 s an error of 30-49 ms rounds to no step at all: outside the
    // dead band yet never trimmed, it would last to the end of the file.
    if (step == 0) step = sign;
    LogExcess(VB_MEDIAOUT, "Diff: %d\trateDiffI: %d  data->rateDiff: %d\n", diff, step, rateDiff);
    ApplyStep(diff, step);
}

void SpeedController::ApplyStep(int diff, int step) {
    float newRate;
    if (step > rateDiff) {
        newRate = MultiplyRepeated(currentRate, 0.98, step - rateDiff);
        LogDebug(VB_MEDIAOUT, "Diff: %d\tSlowDown %0.3f/%0.3f [goal/current]\n", diff, newRate, currentRate);
    } else if (step < rateDiff) {
        newRate = MultiplyRepeated(currentRate, 1.02, rateDiff - step);
        LogDebug(VB_MEDIAOUT, "Diff: %d\tSpeedUp  %0.3f/%0.3f [goal/current]\n", diff, newRate, currentRate);
    } else {
        LogExcess(VB_MEDIAOUT, "Diff: %d\tno rate change\n", diff);
        return;
    }

    history.Append(newRate);
    if (history.lastRates.size() > MAX_RATES) history.DropOldest();

    bool crossing = (newRate > 1.0f && currentRate < 1.0f) || (newRate < 1.0f && currentRate > 1.0f);
    if (crossing) {
        rateDiff = 0;
        LogExcess(VB_MEDIAOUT,
                  "Diff: %d\toldDiff: %d\tnewRate: %0.3f oldRate: %0.3f avgRate: %0.3f rateSum: %0.3f/%d \n", diff,
                  lastDiff, history.lastRates.back(), currentRate, 1.0f, history.rateSum,
                  static_cast<int>(history.lastRates.size()));
        if (static_cast<int>(currentRate * 1000) != 1000) {
            LogDebug(VB_MEDIAOUT, "Diff: %d\tlibvlc_media_player_set_rate\t(%0.3f)\n", diff, 1.0f);
            player.SetRate(1.0f);
            currentRate = 1.0f;
        }
    } else {
        LogExcess(VB_MEDIAOUT,
                  "Diff: %d\toldDiff: %d\tnewRate: %0.3f oldRate: %0.3f avgRate: %0.3f rateSum: %0.3f/%d \n", diff,
                  lastDiff, history.lastRates.back(), currentRate, newRate, history.rateSum,
                  static_cast<int>(history.lastRates.size()));
        if (newRate > MAX_RATE) newRate = MAX_RATE;
        if (newRate < MIN_RATE) newRate = MIN_RATE;
        if (static_cast<int>(newRate * 1000) != static_cast<int>(currentRate * 1000)) {
            LogDebug(VB_MEDIAOUT, "Diff: %d\tlibvlc_media_player_set_rate\t(%0.3f)\n", diff, newRate);
            player.SetRate(newRate);
            currentRate = newRate;
            rateDiff = newRate == 1.0f ? 0 : step;
        }
    }
    lastDiff = diff;
}
