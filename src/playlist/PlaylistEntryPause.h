// Playlist entry "pause": waits "duration" seconds (fractions allowed) and
// ends.  It can be paused itself: the remaining time is kept until Resume.
// GetConfig carries "duration" and "remaining" (seconds).
//
// Threading: playlist thread; status readers see atomics only.
#pragma once

#include <atomic>
#include <cstdint>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryPause : public PlaylistEntryBase {
public:
    PlaylistEntryPause(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryPause();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual int Process() override;
    virtual int Stop() override;
    virtual void Pause() override;
    virtual bool IsPaused() override;
    virtual void Resume() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;
    virtual Json::Value GetMqttStatus() override;
    virtual uint64_t GetLengthInMS() override;
    virtual uint64_t GetElapsedMS() override;

    double duration = 0;  // seconds

    // Test seam: the millisecond clock (GetTimeMS when null).
    static int64_t (*clockMS)();

private:
    int64_t NowMS();

    std::atomic<int64_t> startMS{0};     // when it (re)started, shifted back by time already spent
    std::atomic<int64_t> pausedAtMS{-1};  // elapsed ms while paused; -1 when not
    std::atomic<uint64_t> finishedElapsedMS{0};
};
