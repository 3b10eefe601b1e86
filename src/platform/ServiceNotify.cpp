#include "platform/ServiceNotify.h"

#include <time.h>

#include <cstdio>

#ifdef LYRD_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "platform/Logging.h"

namespace {

uint64_t monotonicUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000ULL;
}

}  // namespace

ServiceNotify::ServiceNotify() {
#ifdef LYRD_HAVE_SYSTEMD
    uint64_t usec = 0;
    // Keep the environment: a restart re-executes the daemon in place and the
    // new image must still find the socket and the watchdog interval.
    if (sd_watchdog_enabled(0, &usec) > 0) watchdogUs = usec;
#endif
}

bool ServiceNotify::Supported() {
#ifdef LYRD_HAVE_SYSTEMD
    return true;
#else
    return false;
#endif
}

bool ServiceNotify::send(const char* state) {
#ifdef LYRD_HAVE_SYSTEMD
    int rc = sd_notify(0, state);
    if (rc < 0) LogWarn(VB_GENERAL, "Service manager notification '%s' failed: %d\n", state, rc);
    return rc > 0;
#else
    (void)state;
    return false;
#endif
}

bool ServiceNotify::Ready() {
    bool sent = send("READY=1");
    if (sent)
        LogInfo(VB_GENERAL, "Told the service manager we are ready (watchdog %llu ms)\n",
                static_cast<unsigned long long>(watchdogUs / 1000));
    return sent;
}

bool ServiceNotify::Feed(uint64_t nowUs) {
    if (watchdogUs == 0) return false;
    if (fedOnce && nowUs - lastFeedUs < FeedIntervalUs()) return false;
    fedOnce = true;
    lastFeedUs = nowUs;
    return send("WATCHDOG=1");
}

bool ServiceNotify::Feed() {
    if (watchdogUs == 0) return false;
    return Feed(monotonicUs());
}

bool ServiceNotify::Stopping() {
    return send("STOPPING=1");
}

bool ServiceNotify::Reloading() {
    char state[64];
    snprintf(state, sizeof(state), "RELOADING=1\nMONOTONIC_USEC=%llu",
             static_cast<unsigned long long>(monotonicUs()));
    return send(state);
}
