#include "playlist/PlaylistEntryPause.h"

#include <cmath>

#include "common.h"
#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"

int64_t (*PlaylistEntryPause::clockMS)() = nullptr;

// Longest pause accepted: a week; larger values are almost surely a typo in
// the unit and would otherwise hold the playlist practically forever.
static const double MAX_PAUSE_SECONDS = 7 * 24 * 3600.0;

PlaylistEntryPause::PlaylistEntryPause(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    type = "pause";
}

PlaylistEntryPause::~PlaylistEntryPause() {}

int64_t PlaylistEntryPause::NowMS() { return clockMS ? clockMS() : GetTimeMS(); }

bool PlaylistEntryPause::Init(Json::Value& config) {
    duration = PlaylistValues::Double(config, "duration", 0, "pause entry");
    if (!std::isfinite(duration) || duration < 0) {
        LogErr(VB_PLAYLIST, "Pause entry with a negative duration (%f); using 0\n", duration);
        duration = 0;
    }
    if (duration > MAX_PAUSE_SECONDS) {
        LogErr(VB_PLAYLIST, "Pause entry of %.0f seconds is longer than a week; using a week\n", duration);
        duration = MAX_PAUSE_SECONDS;
    }
    return PlaylistEntryBase::Init(config);
}

int PlaylistEntryPause::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    LogDebug(VB_PLAYLIST, "Pausing for %.3f seconds\n", duration);
    startMS = NowMS();
    pausedAtMS = -1;
    finishedElapsedMS = 0;
    return PlaylistEntryBase::StartPlaying();
}

uint64_t PlaylistEntryPause::GetLengthInMS() { return (uint64_t)llround(duration * 1000.0); }

uint64_t PlaylistEntryPause::GetElapsedMS() {
    if (isFinished) return finishedElapsedMS;
    if (!isPlaying) return 0;
    int64_t paused = pausedAtMS;
    int64_t elapsed = paused >= 0 ? paused : NowMS() - startMS;
    if (elapsed < 0) elapsed = 0;
    uint64_t len = GetLengthInMS();
    return (uint64_t)elapsed > len ? len : (uint64_t)elapsed;
}

int PlaylistEntryPause::Process() {
    if (isPlaying && pausedAtMS < 0 && GetElapsedMS() >= GetLengthInMS()) {
        finishedElapsedMS = GetLengthInMS();
        FinishPlay();
    }
    return PlaylistEntryBase::Process();
}

int PlaylistEntryPause::Stop() {
    finishedElapsedMS = GetElapsedMS();
    pausedAtMS = -1;
    return PlaylistEntryBase::Stop();
}

void PlaylistEntryPause::Pause() {
    if (!isPlaying || pausedAtMS >= 0) return;
    pausedAtMS = (int64_t)GetElapsedMS();
}

bool PlaylistEntryPause::IsPaused() { return pausedAtMS >= 0; }

void PlaylistEntryPause::Resume() {
    int64_t paused = pausedAtMS;
    if (paused < 0) return;
    startMS = NowMS() - paused;
    pausedAtMS = -1;
}

void PlaylistEntryPause::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Duration       : %.3f\n", duration);
}

Json::Value PlaylistEntryPause::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    uint64_t len = GetLengthInMS();
    uint64_t elapsed = GetElapsedMS();
    result["duration"] = duration;
    result["remaining"] = (Json::UInt64)((len - elapsed) / 1000);
    return result;
}

Json::Value PlaylistEntryPause::GetMqttStatus() {
    Json::Value result = PlaylistEntryBase::GetMqttStatus();
    uint64_t len = GetLengthInMS();
    uint64_t elapsed = GetElapsedMS();
    result["duration"] = duration;
    result["secondsElapsed"] = (Json::UInt64)(elapsed / 1000);
    result["secondsRemaining"] = (Json::UInt64)((len - elapsed) / 1000);
    result["secondsTotal"] = (Json::UInt64)(len / 1000);
    return result;
}
