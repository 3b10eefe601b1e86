// Schedule files ("<media>/config/schedule.json") through the scheduler's
// load: every entry's parsing, the expansion into dated items for the week
// (sun times included, in a zone with daylight saving), and the status
// queries the HTTP API and the command socket make.
//
// Neutralised: a fixed clock and a player that only records; the per-second
// run is not driven, so no scheduled command runs on its detached thread.
#include <cstdlib>
#include <ctime>
#include <memory>

#include "FuzzSupport.h"
#include "Scheduler.h"
#include "platform/Warnings.h"
#include "settings.h"

namespace {

class FixedClock : public ScheduleClock {
public:
    time_t Now() const override { return now; }
    time_t now = 1710054000;  // a Sunday in March, the night the clocks go forward in New York
};

class QuietPlayer : public SchedulePlayer {
public:
    int GetStatus() override { return status; }
    std::string GetPlaylistName() override { return name; }
    bool WasScheduled() override { return entry != -1; }
    int GetRepeat() override { return 0; }
    int GetStopMethod() override { return 0; }
    int GetScheduleEntry() override { return entry; }
    int GetPriority() override { return 0; }
    time_t GetScheduledStartTime() override { return 0; }
    time_t GetScheduledStopTime() override { return stop; }
    time_t GetActualStartTime() override { return 0; }
    time_t GetCurrentStopTime() override { return stop; }
    bool WasForceStopped() override { return false; }
    std::string GetForceStoppedPlaylist() override { return ""; }
    int StartScheduledPlaylist(const std::string& n, int, int, int e, int, long, long s, int) override {
        name = n, entry = e, stop = s, status = 1;
        return 1;
    }
    void StopNow(int) override { status = 0; }
    void StopGracefully(int, int) override { status = 0; }
    bool AdjustPlaylistStopTime(int) override { return false; }

    int status = 0, entry = -1;
    std::string name;
    time_t stop = 0;
};

void setUp() {
    fuzz::MediaDir();
    setenv("TZ", "America/New_York", 1);
    tzset();
    SetSetting("Latitude", "40.7");
    SetSetting("Longitude", "-74.0");
    for (const char* name : {"show", "Good", "Here", "Show"})
        fuzz::WriteFile(fuzz::MediaPath(std::string("/playlists/") + name + ".json"),
                        R"({"mainPlaylist": [{"type": "pause", "duration": 5}]})");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (setUp(), true);
    (void)ready;
    fuzz::WriteFile(Scheduler::ScheduleFilePath(), data, size);
    FixedClock clock;
    QuietPlayer player;
    {
        auto sched = std::make_unique<Scheduler>(clock, player);
        (void)sched->GetSchedule();
        (void)sched->GetInfo();
        (void)sched->GetNextPlaylistName();
        (void)sched->GetNextPlaylistStartStr();
        int repeat = 0;
        (void)sched->GetPlaylistThatShouldBePlaying(repeat);
        sched->CheckIfShouldBePlayingNow(1, -1);
        (void)sched->GetInfo();
    }
    WarningHolder::ClearWarnings();
    fuzz::ResetLogLevels();
    return 0;
}
