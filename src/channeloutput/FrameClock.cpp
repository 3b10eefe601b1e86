#include "channeloutput/FrameClock.h"

#include <cmath>

void FrameClock::start(int first, int64_t period) {
    running = true;
    anchored = false;
    locked = false;
    firstFrame = first;
    anchorFrame = first;
    periodNS = period > 0 ? period : 25000000;
}

void FrameClock::anchorIfNeeded(int64_t now) {
    if (!anchored) anchor(firstFrame, now);
}

void FrameClock::anchor(int frame, int64_t now) {
    anchored = true;
    anchorFrame = frame;
    anchorTime = now;
}

int FrameClock::frameAt(int64_t now) const {
    int64_t d = now - anchorTime;
    // Floor division, also for times before the anchor.
    int64_t q = d >= 0 ? d / periodNS : -((-d + periodNS - 1) / periodNS);
    return anchorFrame + int(q);
}

int64_t FrameClock::dueTime(int frame) const { return anchorTime + int64_t(frame - anchorFrame) * periodNS; }

double FrameClock::reference(double refFrame, int64_t now, double maxSlewFrames, double gain) {
    if (!anchored) {
        anchored = true;
        locked = false;
    }
    double predicted = anchorFrame + double(now - anchorTime) / double(periodNS);
    double err = refFrame - predicted;
    if (!locked || std::fabs(err) > maxSlewFrames) {
        double whole = std::floor(refFrame);
        anchorFrame = int(whole);
        anchorTime = now - int64_t((refFrame - whole) * double(periodNS));
        locked = true;
        return err;
    }
    // Behind (err > 0): frames become due earlier.
    anchorTime -= int64_t(err * gain * double(periodNS));
    return err;
}
