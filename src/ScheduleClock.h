// The scheduler's source of "now".  The daemon uses the system clock; tests
// substitute a clock they can set and step, so calendar behaviour (weekdays,
// midnight, daylight-saving nights) is checked without waiting.
//
// Threading: Now() may be called from any thread.
#pragma once

#include <ctime>

class ScheduleClock {
public:
    virtual ~ScheduleClock() {}
    // Whole seconds since the epoch.
    virtual time_t Now() const = 0;
};

class SystemScheduleClock : public ScheduleClock {
public:
    time_t Now() const override { return time(nullptr); }
    // A shared stateless instance for callers that need no other clock.
    static SystemScheduleClock& Get();
};
