// The calendar scheduler: loads the schedule file, expands its entries into
// dated items for the current week (or "ScheduleDistance" days), and once per
// wall-clock second starts due playlists through the player front, preempts
// lower-priority ones (a lower entry index wins), runs due commands on
// detached threads, announces upcoming playlists with countdown presets and
// remembers handled items across reloads.
//
// One instance, the global `scheduler`, created and deleted by main.
//
// Threading: the recursive m_scheduleLock guards the schedule and the item
// maps.  ScheduleProc and CheckIfShouldBePlayingNow run on the main loop;
// the status queries, ReloadScheduleFile, SetTimeDelta and the two commands
// may be called from HTTP and command-socket threads.  Scheduled commands run
// on their own detached threads and touch no scheduler state.
#pragma once

#include <json/json.h>

#include <atomic>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ScheduleClock.h"
#include "ScheduleEntry.h"
#include "SchedulePlayer.h"
#include "platform/Command.h"

class ScheduledItem {
public:
    ScheduledItem() = default;
    // Copies everything except the entry pointer (history records outlive
    // the entries they came from).
    explicit ScheduledItem(ScheduledItem* item);

    int priority = 1;
    ScheduleEntry* entry = nullptr;
    int entryIndex = 0;
    bool ran = false;
    int startTime = 0;
    int endTime = 0;
    std::string command;
    Json::Value args;
};

using ScheduledItemMap = std::map<int, std::vector<ScheduledItem*>>;

class Scheduler {
public:
    // The system clock and Player::INSTANCE.
    Scheduler();
    // Seams for tests; both must outlive the scheduler.
    Scheduler(ScheduleClock& clock, SchedulePlayer& player);
    ~Scheduler();

    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Main loop, every pass; acts at most once per wall-clock second.
    void ScheduleProc();
    // Restarts what should be playing now.  force != 0 restarts non-repeating
    // occurrences too; skipEntryIndex names an entry not to restart (the one
    // whose playlist was just stopped on request).
    void CheckIfShouldBePlayingNow(int force = 0, int skipEntryIndex = -1);
    // The file changed: reload on the next pass.
    void ReloadScheduleFile();
    void LoadScheduleFromFile();

    void SetItemRan(ScheduledItem* item, bool ran);
    // "Extend Schedule" with a limit: shift occurrences in the next `window`
    // seconds by `delta` at the next reload (asked for here).
    void SetTimeDelta(int delta, int window);
    bool StartNextScheduledItemNow();

    std::string GetDayTextFromDayIndex(int dayIndex);
    void SchedulePrint();
    void DumpScheduledItem(int startTime, ScheduledItem* item);
    void DumpScheduledItems();

    // Status queries (read-only, take the lock).
    ScheduledItem* GetNextScheduledPlaylist();
    std::string GetNextPlaylistName();
    std::string GetNextPlaylistStartStr();
    std::string GetPlaylistThatShouldBePlaying(int& repeat);
    Json::Value GetInfo();
    Json::Value GetSchedule();

    bool IsDisabled() const { return m_schedulerDisabled; }
    // Turns the scheduler off or on until the next start (the
    // "DisableScheduler" setting decides at start).  Off starts nothing new
    // and leaves what plays alone; on again starts what should be playing
    // by then on the next pass.  Any thread.
    void SetDisabled(bool disabled);

    // Test and benchmark access: pending and handled items, the entries.
    // The caller holds no reference beyond the lock it takes itself.
    std::recursive_mutex& GetLock() { return m_scheduleLock; }
    const ScheduledItemMap& GetScheduledItems() const { return m_scheduledItems; }
    const ScheduledItemMap& GetRanItems() const { return m_ranItems; }
    const std::vector<ScheduleEntry>& GetEntries() const { return m_schedule; }
    // The schedule file's path.
    static std::string ScheduleFilePath();

private:
    void Init();
    void RegisterCommands();
    void UnregisterCommands();
    void ClearScheduledItems();
    void AddScheduledItems(ScheduleEntry* entry, int index);
    void CheckScheduledItems(bool restarted);
    bool CheckPlaylistItem(ScheduledItem* item, time_t now, bool restarted);
    void Preempt();
    void RunCommandItem(ScheduledItem* item);
    void Announce(int startTime, std::vector<ScheduledItem*>& items, time_t now);
    void PruneRanItems(time_t now);
    bool PlaylistFileCheck(ScheduleEntry& entry, std::string& warning);
    std::string FormatTime(time_t when);
    int DateIntFor(time_t when);

    ScheduleClock& m_clock;
    SchedulePlayer& m_player;

    std::atomic<bool> m_schedulerDisabled{false};
    bool m_loadSchedule = true;
    int m_lastLoadDate = 0;
    int m_timeDelta = 0;
    int m_timeDeltaThreshold = 0;
    int m_lastProcTime = 0;
    std::recursive_mutex m_scheduleLock;
    std::vector<ScheduleEntry> m_schedule;
    ScheduledItemMap m_scheduledItems;
    ScheduledItemMap m_ranItems;
    int m_forcedNextPlaylist = -1;
    ScheduleContext m_loadContext;  // location for sun times, read at each load
};

class ScheduleCommand : public Command {
public:
    ScheduleCommand(const std::string& name, Scheduler* s) : Command(name), m_scheduler(s) {}
    Scheduler* GetScheduler() const { return m_scheduler; }

protected:
    Scheduler* m_scheduler;
};

class StartNextItemCommand : public ScheduleCommand {
public:
    explicit StartNextItemCommand(Scheduler* s);
    std::unique_ptr<Command::Result> run(const std::vector<std::string>& args) override;
};

class ExtendScheduleCommand : public ScheduleCommand {
public:
    ExtendScheduleCommand(Scheduler* s, SchedulePlayer& player);
    std::unique_ptr<Command::Result> run(const std::vector<std::string>& args) override;

private:
    SchedulePlayer& m_player;
};

extern Scheduler* scheduler;
