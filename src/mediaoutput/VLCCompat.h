// The few libVLC calls whose form differs between version 3 (what Debian
// ships) and version 4: media from a path, player from media, asynchronous
// stop, precise seek, and a play clock of millisecond resolution.
//
// Version 3 reports the play time only when its input thread refreshes it
// (every 250-300 ms, in 50 ms steps, exact at the moment it changes);
// PlayClock extrapolates between refreshes at the current rate so that sync
// works on a resolution of a few milliseconds, as version 4's own timer does.
// A refresh is dated by the player's time-changed event when it has one: a
// caller that polls every 50 ms would otherwise see it up to 50 ms late and
// run that much behind until the next refresh.
#pragma once

#include <vlc/libvlc_version.h>
#include <vlc/vlc.h>

#include <chrono>
#include <cstdint>
#include <mutex>

#if LIBVLC_VERSION_MAJOR >= 4
#define LYRD_VLC4 1
#endif

inline libvlc_media_t* vlcMediaFromPath(libvlc_instance_t* instance, const char* path) {
#ifdef LYRD_VLC4
    (void)instance;
    return libvlc_media_new_path(path);
#else
    return libvlc_media_new_path(instance, path);
#endif
}

inline libvlc_media_player_t* vlcPlayerFromMedia(libvlc_instance_t* instance, libvlc_media_t* media) {
#ifdef LYRD_VLC4
    return libvlc_media_player_new_from_media(instance, media);
#else
    (void)instance;
    return libvlc_media_player_new_from_media(media);
#endif
}

// Version 3 has only the blocking stop; it returns once the input has ended.
inline void vlcStopAsync(libvlc_media_player_t* player) {
#ifdef LYRD_VLC4
    libvlc_media_player_stop_async(player);
#else
    libvlc_media_player_stop(player);
#endif
}

// Precise (not fast) seek; version 3 seeks precisely unless told otherwise.
inline void vlcSeekMS(libvlc_media_player_t* player, int64_t ms) {
#ifdef LYRD_VLC4
    libvlc_media_player_set_time(player, ms, false);
#else
    libvlc_media_player_set_time(player, ms);
#endif
}

// Starts parsing local metadata (never the network); false when it cannot.
inline bool vlcParseLocal(libvlc_instance_t* instance, libvlc_media_t* media, int timeoutMS) {
#ifdef LYRD_VLC4
    return libvlc_media_parse_request(instance, media, libvlc_media_parse_local, timeoutMS) == 0;
#else
    (void)instance;
    return libvlc_media_parse_with_options(media, libvlc_media_parse_local, timeoutMS) == 0;
#endif
}

class PlayClock {
public:
    // Longest stretch extrapolated past the last refresh; beyond it the
    // player is taken to be stalled (buffering, paused) and the time holds.
    static constexpr int64_t MAX_EXTRAPOLATION_MS = 400;

    // The play time in ms, or the player's own value (0 or -1) when it has
    // no position yet.
    int64_t Now(libvlc_media_player_t* player) {
        int64_t reported = libvlc_media_player_get_time(player);
#ifdef LYRD_VLC4
        return reported;
#else
        return Extrapolate(reported, libvlc_media_player_get_rate(player), SteadyMS(),
                           libvlc_media_player_is_playing(player) != 0, RefreshedAt(reported));
#endif
    }

    // From the player's time-changed event (any thread): the new time and
    // the steady clock when it was set.
    void Refreshed(int64_t timeMS, int64_t atMS) {
        std::lock_guard<std::mutex> l(eventLock);
        eventTime = timeMS;
        eventAtMS = atMS;
    }

    // When the event dated the refresh to `reported`, else -1.
    int64_t RefreshedAt(int64_t reported) {
        std::lock_guard<std::mutex> l(eventLock);
        return eventTime == reported ? eventAtMS : -1;
    }

    // Separated from Now() for tests: reported time, rate, a steady clock in
    // ms, whether the player is playing, and when the report was made (-1:
    // not known, taken as now).
    int64_t Extrapolate(int64_t reported, float rate, int64_t nowMS, bool playing, int64_t reportedAt = -1) {
        if (reported <= 0 || !playing) {
            lastReported = reported;
            return reported;
        }
        if (reported != lastReported) {
            lastReported = reported;
            bool dated = reportedAt >= 0 && reportedAt <= nowMS && nowMS - reportedAt <= MAX_EXTRAPOLATION_MS;
            reportedAtMS = dated ? reportedAt : nowMS;
        }
        int64_t since = nowMS - reportedAtMS;
        if (since > MAX_EXTRAPOLATION_MS) since = MAX_EXTRAPOLATION_MS;
        if (since < 0) since = 0;
        return reported + static_cast<int64_t>(since * rate);
    }

    // Forget the last refresh (after a seek or restart).
    void Reset() {
        lastReported = -2;
    }

    static int64_t SteadyMS() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

private:
    int64_t lastReported = -2;
    int64_t reportedAtMS = 0;
    std::mutex eventLock;  // the event's pair is written on libVLC's thread
    int64_t eventTime = -1;
    int64_t eventAtMS = -1;
};
