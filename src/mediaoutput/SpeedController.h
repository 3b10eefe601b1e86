// Trims the playback rate of a remote's media towards the master's position:
// a step controller with a dead band of 29 ms, a flip test that returns to
// the normal rate when the error changes sign, a hard seek for errors above
// 10 s, and rate changes in multiplicative steps of 2 % (limits 0.5 and 2.0);
// an error outside the dead band always gets at least one step.
//
// The player is reached only through RatePlayer so the controller can be
// exercised without libVLC.  RateHistory is the process-wide list of recent
// rates (`lastRates`, `rateSum`); CinemaOutput passes the shared one.
//
// Threading: one controller per output, used on the media layer's thread.
// The shared history is not locked.
#pragma once

#include <cstdint>
#include <list>

class RatePlayer {
public:
    virtual ~RatePlayer() {}
    virtual void SetRate(float rate) = 0;
    // Precise (not fast) seek.
    virtual void SeekMS(int64_t ms) = 0;
};

struct RateHistory {
    std::list<float> lastRates;
    float rateSum = 0.0f;

    void Append(float rate);
    void DropOldest();
};

class SpeedController {
public:
    static constexpr int WINDOW = 10;
    static constexpr int MAX_RATES = 20;

    SpeedController(RatePlayer& player, RateHistory& history) : player(player), history(history) {}

    // local and master media positions in seconds.
    void Adjust(float localSeconds, float masterSeconds);

    float currentRate = 1.0f;
    int lastDiff = -1;
    int rateDiff = 0;

    struct Sample {
        int diff = 0;
        float rate = 0.0f;
    };
    Sample window[WINDOW];
    int windowCount = 0;
    int windowIndex = 0;
    int diffSum = 0;
    float windowRateSum = 0.0f;

private:
    void AddToWindow(int diff);
    void ResetToNormal(int diff);
    void ApplyStep(int diff, int step);

    RatePlayer& player;
    RateHistory& history;
};
