// A finer rate controller for a remote's media, chosen with the setting
// "remoteFineMediaSync" (SpeedController stays the default).  Where that one
// moves in steps of 2 % and leaves errors under 29 ms alone, this one sets the
// rate in proportion to the error: each media sync report (about every half
// second) it aims to remove half of the measured error over the next
// interval, in rate steps of 0.1 %, leaving errors of up to 3 ms alone.  Small
// errors get trims of a few tenths of a percent; large ones up to 10 %.
// Errors above 10 s seek, as the default does.
//
// A reading close to the error the last rate should have left is used as it
// is; one further off is replaced by the median of the last three, so one
// late reading (the main loop woken late on a busy board) does not swing the
// rate.  A jump of the master's position (a seek, a new song) forgets the
// old readings.
//
// Threading: one controller per output, used on the media layer's thread.
#pragma once

#include <cstdint>

#include "mediaoutput/SpeedController.h"

class FineSpeedController {
public:
    static constexpr int DEAD_BAND_MS = 3;
    static constexpr int FAR_MS = 10000;
    static constexpr float RATE_STEP = 0.001f;
    static constexpr float MAX_TRIM = 0.10f;

    explicit FineSpeedController(RatePlayer& player) : player(player) {}

    // local and master media positions in seconds.
    void Adjust(float localSeconds, float masterSeconds);

    float currentRate = 1.0f;
    // The error the last decision was made on (median of the recent ones), ms.
    int filteredDiff = 0;

private:
    int median() const;
    void setRate(float rate, int diff);

    RatePlayer& player;
    int recent[3] = {0, 0, 0};
    int recentCount = 0;  // readings held, up to 3
    int next = 0;         // slot of the next reading
    float lastMaster = -1.0f;
};
