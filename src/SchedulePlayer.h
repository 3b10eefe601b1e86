// What the scheduler asks of, and tells, the player front.  The daemon binds
// it to Player::INSTANCE; tests supply a scripted player instead.
//
// Times are whole seconds since the epoch.  "Scheduled" start/stop are the
// values the scheduler passed when it started the playlist; the current stop
// time is the scheduled one as later moved by AdjustPlaylistStopTime.
//
// Threading: called by the scheduler with its schedule lock held, from the
// main loop and from HTTP / command-socket threads.
#pragma once

#include <ctime>
#include <string>

class SchedulePlayer {
public:
    virtual ~SchedulePlayer() {}

    // 0 idle, 1 playing, 2 stopping gracefully, 3 stopping after loop,
    // 4 stopping now, 5 paused.
    virtual int GetStatus() = 0;
    virtual std::string GetPlaylistName() = 0;
    virtual bool WasScheduled() = 0;
    virtual int GetRepeat() = 0;
    virtual int GetStopMethod() = 0;
    virtual int GetScheduleEntry() = 0;
    virtual int GetPriority() = 0;
    virtual time_t GetScheduledStartTime() = 0;
    virtual time_t GetScheduledStopTime() = 0;
    virtual time_t GetActualStartTime() = 0;
    virtual time_t GetCurrentStopTime() = 0;
    // The last stop was requested (forced) and which playlist it stopped.
    virtual bool WasForceStopped() = 0;
    virtual std::string GetForceStoppedPlaylist() = 0;

    virtual int StartScheduledPlaylist(const std::string& name, int startPosition, int repeat,
                                       int scheduleEntry, int priority, long startTime, long stopTime,
                                       int stopMethod) = 0;
    virtual void StopNow(int forced) = 0;
    virtual void StopGracefully(int forced, int afterCurrentLoop) = 0;
    virtual bool AdjustPlaylistStopTime(int seconds) = 0;
};

// The binding to Player::INSTANCE.
class PlayerFrontSchedulePlayer : public SchedulePlayer {
public:
    static PlayerFrontSchedulePlayer& Get();

    int GetStatus() override;
    std::string GetPlaylistName() override;
    bool WasScheduled() override;
    int GetRepeat() override;
    int GetStopMethod() override;
    int GetScheduleEntry() override;
    int GetPriority() override;
    time_t GetScheduledStartTime() override;
    time_t GetScheduledStopTime() override;
    time_t GetActualStartTime() override;
    time_t GetCurrentStopTime() override;
    bool WasForceStopped() override;
    std::string GetForceStoppedPlaylist() override;
    int StartScheduledPlaylist(const std::string& name, int startPosition, int repeat, int scheduleEntry,
                               int priority, long startTime, long stopTime, int stopMethod) override;
    void StopNow(int forced) override;
    void StopGracefully(int forced, int afterCurrentLoop) override;
    bool AdjustPlaylistStopTime(int seconds) override;
};
