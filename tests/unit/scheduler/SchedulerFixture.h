// A scheduler under a settable clock and a scripted player, over a private
// media directory, with the schedule log captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Scheduler.h"
#include "foundation/TestUtil.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"
#include "platform/Warnings.h"
#include "settings.h"

class FakeClock : public ScheduleClock {
public:
    time_t Now() const override { return now; }
    time_t now = 0;
};

// Behaves like the player front as far as the scheduler can tell.
class FakePlayer : public SchedulePlayer {
public:
    int GetStatus() override { return status; }
    std::string GetPlaylistName() override { return name; }
    bool WasScheduled() override { return entry != -1; }
    int GetRepeat() override { return repeat; }
    int GetStopMethod() override { return stopMethod; }
    int GetScheduleEntry() override { return entry; }
    int GetPriority() override { return priority; }
    time_t GetScheduledStartTime() override { return schedStart; }
    time_t GetScheduledStopTime() override { return schedStop; }
    time_t GetActualStartTime() override { return actualStart; }
    time_t GetCurrentStopTime() override { return stopTime; }
    bool WasForceStopped() override { return forced; }
    std::string GetForceStoppedPlaylist() override { return forcedName; }
    int StartScheduledPlaylist(const std::string& n, int pos, int rep, int ent, int prio, long start,
                               long stop, int method) override {
        starts.push_back(n + "@" + std::to_string(start) + "-" + std::to_string(stop));
        name = n, position = pos, repeat = rep, entry = ent, priority = prio;
        schedStart = start, schedStop = stopTime = stop, stopMethod = method, status = 1;
        actualStart = clock ? clock->now : 0;
        forced = false, forcedName = "";
        return 1;
    }
    void StopNow(int f) override { Stop("now", f, 0); }
    void StopGracefully(int f, int afterLoop) override {
        Stop(afterLoop ? "loop" : "graceful", f, afterLoop ? 3 : 2);
    }
    bool AdjustPlaylistStopTime(int seconds) override {
        if (status < 1 || status > 3 || entry == -1 || seconds < -10800 || seconds > 43200) return false;
        stopTime += seconds;
        return true;
    }
    void Stop(const std::string& how, int f, int newStatus) {
        stops.push_back(how + (f ? "!" : ""));
        status = newStatus;
        forced = f != 0;
        forcedName = f ? name : "";
    }
    void StartManual(const std::string& n) {
        name = n, status = 1, entry = -1, priority = 0, schedStart = schedStop = stopTime = 0;
    }

    FakeClock* clock = nullptr;
    int status = 0, repeat = 0, stopMethod = 0, entry = -1, priority = 0, position = 0;
    std::string name, forcedName;
    time_t schedStart = 0, schedStop = 0, actualStart = 0, stopTime = 0;
    bool forced = false;
    std::vector<std::string> starts, stops;
};

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetTZ("America/New_York");
        testutil::makeDir(dir.sub("bin"));
        for (const char* d : {"media", "media/config", "media/playlists", "media/sequences"})
            testutil::makeDir(dir.sub(d));
        ResetLyrDirsForTesting(dir.sub("bin"), dir.sub("media"));
        player.clock = &clock;
        savedLevel = VB_SCHEDULE.level.load();
        VB_SCHEDULE.level = LOG_DEBUG;
        SetLogFile("/dev/null", false);  // the sink below still sees every line
        SetLogSink([this](int, const std::string& facility, const std::string& msg) {
            std::lock_guard<std::mutex> l(logLock);
            if (facility == "Schedule") log.push_back(msg);
        });
    }
    void TearDown() override {
        sched.reset();
        SetLogSink(nullptr);
        SetLogFile("", true);
        VB_SCHEDULE.level = savedLevel;
        for (const char* k : {"ScheduleDistance", "DisableScheduler", "Latitude", "Longitude", "DateFormat",
                              "TimeFormat", "resumePlaylist", "restarted"})
            SetSetting(k, "");
        WarningHolder::ClearWarnings();
        SetTZ("UTC");
    }
    static void SetTZ(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    static time_t Local(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
        struct tm t = {};
        t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
        t.tm_isdst = -1;
        return mktime(&t);
    }
    void Playlist(const std::string& n) {
        testutil::writeFile(dir.sub("media/playlists/" + n + ".json"), "{}");
    }
    void Schedule(const std::string& json) {
        testutil::writeFile(dir.sub("media/config/schedule.json"), json);
    }
    Scheduler& Make() {
        sched.reset();
        sched = std::make_unique<Scheduler>(clock, player);
        return *sched;
    }
    // Advances the clock second by second, one pass each.
    void RunUntil(time_t t) {
        while (clock.now < t) {
            clock.now++;
            sched->ScheduleProc();
        }
    }
    // "start-end:ran" of every item in order, times as offsets from base.
    std::vector<std::string> Items(time_t base) {
        std::vector<std::string> out;
        std::lock_guard<std::recursive_mutex> l(sched->GetLock());
        for (auto& kv : sched->GetScheduledItems())
            for (ScheduledItem* i : kv.second)
                out.push_back(std::to_string(i->entryIndex) + ":" +
                              std::to_string((i->startTime - base) / 3600) + "h" + (i->ran ? "*" : ""));
        return out;
    }
    int LogCount(const std::string& part) {
        std::lock_guard<std::mutex> l(logLock);
        int n = 0;
        for (auto& m : log) n += m.find(part) != std::string::npos;
        return n;
    }
    static bool HasWarning(const std::string& w) {
        for (auto& x : WarningHolder::GetWarnings())
            if (x == w) return true;
        return false;
    }

    testutil::TempDir dir;
    FakeClock clock;
    FakePlayer player;
    std::unique_ptr<Scheduler> sched;
    std::mutex logLock;
    std::vector<std::string> log;
    int savedLevel = LOG_INFO;
};
