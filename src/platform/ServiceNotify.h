// Tells the service manager how the daemon is doing: ready once the main loop
// turns, alive while it keeps turning, stopping (or reloading, before a
// re-exec in place) when tear-down starts.
//
// The watchdog interval comes from the service manager (WATCHDOG_USEC and
// WATCHDOG_PID, read once at construction); Feed() sends "WATCHDOG=1" at half
// that interval.  Feed() must be called from the main loop itself, never from
// a helper thread, so that a stalled loop stops feeding and the service
// manager restarts the daemon.
//
// Without libsystemd at build time, or without NOTIFY_SOCKET at run time,
// every call does nothing and returns false.
//
// Threading: one object, used from the main thread only.
#pragma once

#include <cstdint>

class ServiceNotify {
public:
    ServiceNotify();

    // True when the build can talk to a service manager at all.
    static bool Supported();

    // "READY=1".  True when the message was delivered.
    bool Ready();
    // "WATCHDOG=1" when half the watchdog interval has passed since the last
    // one (the first call always sends).  nowUs is a monotonic clock in
    // microseconds; the overload without it reads CLOCK_MONOTONIC.
    bool Feed(uint64_t nowUs);
    bool Feed();
    // "STOPPING=1": the daemon is about to tear down and exit.
    bool Stopping();
    // "RELOADING=1": the daemon tears down and re-executes itself in place;
    // the new image reports "READY=1" again.
    bool Reloading();

    // The service manager's watchdog interval, 0 when no watchdog is asked for.
    uint64_t WatchdogUs() const { return watchdogUs; }
    uint64_t FeedIntervalUs() const { return watchdogUs / 2; }

private:
    bool send(const char* state);

    uint64_t watchdogUs = 0;
    uint64_t lastFeedUs = 0;
    bool fedOnce = false;
};
