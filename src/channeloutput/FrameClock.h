// Maps monotonic time to frame numbers for a fixed frame period, and lets a
// reference (a sync master's frame, the media clock) pull that mapping into
// step with it.
//
// Frame f is due at anchorTime + (f - anchorFrame) * period.  A reference
// that disagrees by more than `maxSlewFrames` re-anchors at once (catch up by
// skipping, or hold by waiting); a smaller disagreement is slewed out over a
// few references so that normal network and media jitter never shows as a
// skipped or repeated frame.
//
// Threading: none; the owner locks.  Times are nanoseconds of any monotonic
// clock, passed in, so tests drive it with synthetic times.
#pragma once

#include <cstdint>

class FrameClock {
public:
    void start(int firstFrame, int64_t periodNS);  // anchored by the first tick
    void stop() { running = false; }
    bool isRunning() const { return running; }
    bool isAnchored() const { return anchored; }
    int64_t period() const { return periodNS; }

    // Anchors firstFrame at `now` when not anchored yet.
    void anchorIfNeeded(int64_t now);
    // Frame due at `now` (the latest whose due time is not after now).
    int frameAt(int64_t now) const;
    int64_t dueTime(int frame) const;
    // Re-anchors so that `frame` is due at `now` (pause, steps, resets).
    void anchor(int frame, int64_t now);
    // A reference says frame `refFrame` (fractional) is showing at `now`.
    // Returns the disagreement it found, in frames (positive: we were behind).
    double reference(double refFrame, int64_t now, double maxSlewFrames = 1.0, double gain = 0.5);
    // The next reference re-anchors regardless of the disagreement.
    void unlock() { locked = false; }
    bool isLocked() const { return locked; }

private:
    bool running = false;
    bool anchored = false;
    bool locked = false;
    int firstFrame = 0;
    int anchorFrame = 0;
    int64_t anchorTime = 0;
    int64_t periodNS = 25000000;
};
