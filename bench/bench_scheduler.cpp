// Scheduler costs: loading and expanding a 500-entry schedule file, and one
// per-second ScheduleProc pass over about 5,000 items - once with them all
// still ahead (start of the week) and once with the pass walking all of them
// (end of the first week, its items already handled).  The schedule log
// table goes to /dev/null, as it would go to a log file.
// Targets: load under 50 ms; a pass under 100 us.
//
//   bench_scheduler [repetitions, default 20]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "Scheduler.h"
#include "bench_result.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

class BenchClock : public ScheduleClock {
public:
    time_t Now() const override { return now; }
    time_t now = 0;
};

// An idle player that accepts what it is told.
class IdlePlayer : public SchedulePlayer {
public:
    int GetStatus() override { return 0; }
    std::string GetPlaylistName() override { return ""; }
    bool WasScheduled() override { return false; }
    int GetRepeat() override { return 0; }
    int GetStopMethod() override { return 0; }
    int GetScheduleEntry() override { return -1; }
    int GetPriority() override { return 0; }
    time_t GetScheduledStartTime() override { return 0; }
    time_t GetScheduledStopTime() override { return 0; }
    time_t GetActualStartTime() override { return 0; }
    time_t GetCurrentStopTime() override { return 0; }
    bool WasForceStopped() override { return false; }
    std::string GetForceStoppedPlaylist() override { return ""; }
    int StartScheduledPlaylist(const std::string&, int, int, int, int, long, long, int) override { return 1; }
    void StopNow(int) override {}
    void StopGracefully(int, int) override {}
    bool AdjustPlaylistStopTime(int) override { return false; }
};

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void WriteSchedule(const std::string& media, int entries) {
    std::ofstream out(media + "/config/schedule.json");
    out << "[\n";
    for (int i = 0; i < entries; i++) {
        char line[256];
        // Minutes apart, so the items spread over the day.
        int minute = (i * 7) % 1380;
        snprintf(line, sizeof(line),
                 "{\"playlist\": \"Show %d\", \"day\": 7, \"startTime\": \"%02d:%02d:00\", \"endTime\": "
                 "\"%02d:%02d:30\", \"repeat\": %s}%s\n",
                 i % 50, minute / 60, minute % 60, minute / 60 + 1, minute % 60, i % 2 ? "true" : "false",
                 i + 1 < entries ? "," : "");
        out << line;
    }
    out << "]\n";
}

time_t LocalTime(int y, int mo, int d, int h, int mi, int s) {
    struct tm t = {};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
    t.tm_isdst = -1;
    return mktime(&t);
}

size_t Pending(Scheduler& s) {
    size_t n = 0;
    for (auto& kv : s.GetScheduledItems())
        for (ScheduledItem* i : kv.second) n += !i->ran;
    return n;
}

void PassBench(const char* label, Scheduler& s, BenchClock& clock, int passes) {
    std::vector<double> us;
    for (int i = 0; i < passes; i++) {
        clock.now++;
        auto t0 = std::chrono::steady_clock::now();
        s.ScheduleProc();
        us.push_back(Ms(std::chrono::steady_clock::now() - t0) * 1000.0);
    }
    std::sort(us.begin(), us.end());
    printf(
        "%-44s median %8.2f us  p99 %8.2f us  max %8.2f us  (%zu items, %zu pending)\n", label,
        us[us.size() / 2], us[us.size() * 99 / 100], us.back(),
        [&] {
            size_t n = 0;
            for (auto& kv : s.GetScheduledItems()) n += kv.second.size();
            return n;
        }(),
        Pending(s));
    benchres::result(label, "< 100 us", "-", "%.2f us median (p99 %.2f)", us[us.size() / 2],
                     us[us.size() * 99 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
    int reps = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    setenv("TZ", "America/New_York", 1);
    tzset();
    char tmpl[] = "/tmp/lyrd-bench-sched-XXXXXX";
    std::string root = mkdtemp(tmpl);
    std::string media = root + "/media";
    for (std::string d : {root + "/bin", media, media + "/config", media + "/playlists"})
        mkdir(d.c_str(), 0775);
    for (int i = 0; i < 50; i++)
        std::ofstream(media + "/playlists/Show " + std::to_string(i) + ".json") << "{}";
    ResetLyrDirsForTesting(root + "/bin", media);
    SetLogFile("/dev/null", false);

    BenchClock clock;
    IdlePlayer player;
    clock.now = LocalTime(2024, 7, 17, 12, 0, 0);

    WriteSchedule(media, 500);
    std::vector<double> loads;
    Scheduler s(clock, player);
    for (int i = 0; i < reps; i++) {
        auto t0 = std::chrono::steady_clock::now();
        s.LoadScheduleFromFile();
        loads.push_back(Ms(std::chrono::steady_clock::now() - t0));
    }
    std::sort(loads.begin(), loads.end());
    size_t items = 0;
    for (auto& kv : s.GetScheduledItems()) items += kv.second.size();
    printf("load + expand, 500 entries (%zu items)       median %8.2f ms  max %8.2f ms  (target < 50 ms)\n",
           items, loads[loads.size() / 2], loads.back());
    benchres::result("schedule load + expand, 500 entries", "< 50 ms", "-", "%.2f ms median (max %.2f)",
                     loads[loads.size() / 2], loads.back());

    // About 5,000 items: 358 everyday entries over two weeks.
    WriteSchedule(media, 358);
    SetSetting("ScheduleDistance", 7);
    clock.now = LocalTime(2024, 7, 14, 0, 0, 1);  // Sunday: everything still ahead
    Scheduler early(clock, player);
    PassBench("ScheduleProc pass, all items ahead", early, clock, 2000 * reps);
    clock.now = LocalTime(2024, 7, 20, 23, 0, 0);  // Saturday night: the pass walks the week's items
    Scheduler late(clock, player);
    clock.now++;
    late.ScheduleProc();  // first pass marks the past items handled
    PassBench("ScheduleProc pass, walking the past week", late, clock, std::min(3000, 200 * reps));
    printf("(target: a pass under 100 us)\n");

    std::string cmd = "rm -rf '" + root + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
