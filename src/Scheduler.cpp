#include "Scheduler.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

#include "common.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"
#include "platform/Warnings.h"
#include "settings.h"

Scheduler* scheduler = nullptr;

namespace {

const char* kStartPlaylist = "Start Playlist";
// A player that never reports idle must not hang the main loop.
const int kMaxStopAttempts = 50;

const char* StopTypeText(int stopType) {
    switch (stopType) {
        case 0:
            return "Graceful";
        case 1:
            return "Hard";
        case 2:
            return "Graceful Loop";
        default:
            return "";
    }
}

char StopTypeLetter(int stopType) {
    switch (stopType) {
        case 0:
            return 'G';
        case 1:
            return 'H';
        case 2:
            return 'L';
        default:
            return ' ';
    }
}

std::string ArgText(const Json::Value& a) {
    return a.isString() ? a.asString() : a.toStyledString();
}

// Same occurrence: command, times and first argument (the playlist name).
bool SameOccurrence(const ScheduledItem* a, const ScheduledItem* b) {
    if (a->command != b->command || a->startTime != b->startTime || a->endTime != b->endTime) return false;
    Json::ArrayIndex na = a->args.isArray() ? a->args.size() : 0;
    Json::ArrayIndex nb = b->args.isArray() ? b->args.size() : 0;
    if (na != nb) return false;
    return na == 0 || ArgText(a->args[0]) == ArgText(b->args[0]);
}

void FreeItems(ScheduledItemMap& items) {
    for (auto& kv : items)
        for (ScheduledItem* item : kv.second) delete item;
    items.clear();
}

bool IsActiveStatus(int status) {
    return status == 1 || status == 2 || status == 3;
}

}  // namespace

ScheduledItem::ScheduledItem(ScheduledItem* item)
    : priority(item->priority),
      entry(nullptr),
      entryIndex(item->entryIndex),
      ran(item->ran),
      startTime(item->startTime),
      endTime(item->endTime),
      command(item->command),
      args(item->args) {}

Scheduler::Scheduler() : Scheduler(SystemScheduleClock::Get(), PlayerFrontSchedulePlayer::Get()) {}

Scheduler::Scheduler(ScheduleClock& clock, SchedulePlayer& player) : m_clock(clock), m_player(player) {
    m_forcedNextPlaylist = -1;
    RegisterCommands();
    m_schedulerDisabled = getSettingInt("DisableScheduler", 0) == 1;
    if (m_schedulerDisabled && getLyrmode() == PLAYER_MODE) {
        WarningHolder::AddWarning("Lyr Scheduler is disabled");
        LogWarn(VB_SCHEDULE, "Scheduler is disabled!\n");
    }
    m_lastProcTime = static_cast<int>(m_clock.Now());
    LoadScheduleFromFile();
}

Scheduler::~Scheduler() {
    UnregisterCommands();
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    ClearScheduledItems();
    FreeItems(m_ranItems);
    m_schedule.clear();
}

void Scheduler::RegisterCommands() {
    CommandManager::INSTANCE.addCommand(new StartNextItemCommand(this));
    CommandManager::INSTANCE.addCommand(new ExtendScheduleCommand(this, m_player));
}

// The registry owns the commands, but they point at this scheduler: take them
// out, unless a newer scheduler has already replaced them with its own.
void Scheduler::UnregisterCommands() {
    for (const char* name : {"Start Next Scheduled Item", "Extend Schedule"}) {
        auto* cmd = dynamic_cast<ScheduleCommand*>(CommandManager::INSTANCE.getCommand(name));
        if (cmd && cmd->GetScheduler() == this) CommandManager::INSTANCE.removeCommand(name);
    }
}

std::string Scheduler::ScheduleFilePath() {
    return getLyrMediaDir("/config") + "/schedule.json";
}

int Scheduler::DateIntFor(time_t when) {
    struct tm t;
    localtime_r(&when, &t);
    return (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
}

std::string Scheduler::FormatTime(time_t when) {
    std::string format = getSetting("DateFormat") + " @ " + getSetting("TimeFormat");
    struct tm t;
    localtime_r(&when, &t);
    // Long enough for spelled-out dates; strftime leaves an undefined buffer
    // when the text does not fit, so that case gives "".
    char buf[128];
    size_t n = strftime(buf, sizeof(buf), format.c_str(), &t);
    return std::string(buf, n);
}

void Scheduler::ReloadScheduleFile() {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    m_loadSchedule = true;
}

void Scheduler::SetDisabled(bool disabled) {
    if (m_schedulerDisabled.exchange(disabled) == disabled) return;
    LogInfo(VB_SCHEDULE, "Scheduler %s\n", disabled ? "disabled" : "enabled");
    // Items that came due while it was off are judged again from the file.
    if (!disabled) ReloadScheduleFile();
}

void Scheduler::ClearScheduledItems() {
    FreeItems(m_scheduledItems);
}

bool Scheduler::PlaylistFileCheck(ScheduleEntry& entry, std::string& warning) {
    warning = std::string("Scheduled ") + (entry.sequence ? "Sequence" : "Playlist") + " '" + entry.playlist +
              "' does not exist";
    std::string path = entry.sequence ? getLyrMediaDir("/sequences") + "/" + entry.playlist
                                      : getLyrMediaDir("/playlists") + "/" + entry.playlist + ".json";
    return FileExists(path);
}

void Scheduler::LoadScheduleFromFile() {
    std::string path = ScheduleFilePath();
    LogDebug(VB_SCHEDULE, "Loading Schedule from %s\n", path.c_str());

    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    time_t now = m_clock.Now();
    m_loadSchedule = false;
    m_lastLoadDate = DateIntFor(now);
    m_schedule.clear();
    ClearScheduledItems();

    Json::Value root;
    LoadJsonFromFile(path, root);
    if (!root.isNull() && !root.isArray()) {
        LogErr(VB_SCHEDULE, "Schedule file %s must hold a JSON array of entries; no entries loaded\n",
               path.c_str());
        root = Json::Value(Json::arrayValue);
    }
    // A warning raised by one entry is not cleared by a later disabled entry
    // naming the same missing file.
    std::vector<std::string> raised, cleared;
    for (Json::ArrayIndex i = 0; i < root.size(); i++) {
        ScheduleEntry entry;
        if (!entry.LoadFromJson(root[i], static_cast<int>(i))) continue;
        if (entry.playlist.empty()) {
            m_schedule.push_back(entry);
            continue;
        }
        std::string warning;
        bool exists = PlaylistFileCheck(entry, warning);
        if (entry.enabled && !exists) {
            LogErr(VB_SCHEDULE, "ERROR: Scheduled %s '%s' does not exist\n",
                   entry.sequence ? "Sequence" : "Playlist", entry.playlist.c_str());
            WarningHolder::AddWarning(warning);
            raised.push_back(warning);
            continue;
        }
        cleared.push_back(warning);
        m_schedule.push_back(entry);
    }
    for (const std::string& w : cleared)
        if (std::find(raised.begin(), raised.end(), w) == raised.end()) WarningHolder::RemoveWarning(w);

    // Items point into m_schedule: it is complete before the first is made.
    m_loadContext = ScheduleContext::FromSettings(now);
    for (size_t j = 0; j < m_schedule.size(); j++) AddScheduledItems(&m_schedule[j], static_cast<int>(j));

    SchedulePrint();
    if (WillLog(LOG_EXCESS, VB_SCHEDULE)) DumpScheduledItems();
}

void Scheduler::AddScheduledItems(ScheduleEntry* entry, int index) {
    if (!entry->enabled) return;
    if (!entry->playlist.empty()) {
        std::string warning;
        if (!PlaylistFileCheck(*entry, warning)) {
            WarningHolder::AddWarning(warning);
            entry->enabled = false;
            return;
        }
        WarningHolder::RemoveWarning(warning);
    }

    ScheduleContext ctx = m_loadContext;
    ctx.now = m_clock.Now();
    struct tm lt;
    localtime_r(&ctx.now, &lt);
    int w = lt.tm_wday;
    auto push = [&](int offset) { entry->pushStartEndTimes(ctx, offset, m_timeDelta, m_timeDeltaThreshold); };

    if (entry->dayIndex == 14 || entry->dayIndex == 15) {
        // Calendar days, not elapsed seconds: a count taken in the first
        // hour of a summer day would otherwise be one short.
        int n = ScheduleEntry::DaysSinceOddEvenReference(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
        bool todayOdd = n % 2 != 0;
        int first = w;
        if (todayOdd != (entry->dayIndex == 14)) {
            push(w - 1);
            first = w + 1;
        }
        for (int offset = first; offset <= 35; offset += 2) push(offset);
    }
    if (w == 0) push(-1);
    if (entry->dayIndex != 14 && entry->dayIndex != 15) {
        int distance = getSettingInt("ScheduleDistance", 0);
        int mask = ScheduleEntry::DayMask(entry->dayIndex);
        for (int base = 0; distance >= 0 && base <= distance; base += 7)
            for (int k = 0; k < 7; k++)
                if (mask & (0x4000 >> k)) push(base + k);
    }

    for (const auto& se : entry->startEndTimes) {
        if (!DateInRange(DateIntFor(se.first), entry->startDate, entry->endDate)) continue;
        ScheduledItem* item = new ScheduledItem();
        item->priority = index;
        item->entryIndex = index;
        item->entry = entry;
        item->startTime = se.first;
        item->endTime = se.first;
        if (entry->playlist.empty()) {
            item->command = entry->command;
            item->args = entry->args;
        } else {
            item->command = kStartPlaylist;
            item->args = Json::Value(Json::arrayValue);
            item->args.append(entry->playlist);
            item->args.append(entry->repeat ? "true" : "false");
            item->args.append("false");
            item->endTime = se.second;
            auto hist = m_ranItems.find(item->startTime);
            if (hist != m_ranItems.end()) {
                for (ScheduledItem* rec : hist->second) {
                    if (!SameOccurrence(rec, item)) continue;
                    LogDebug(VB_SCHEDULE, "Marking playlist item as already ran:\n");
                    DumpScheduledItem(item->startTime, item);
                    item->ran = true;
                }
            }
        }
        m_scheduledItems[item->startTime].push_back(item);
    }
}

void Scheduler::ScheduleProc() {
    int now = static_cast<int>(m_clock.Now());
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    if (now == m_lastProcTime) return;
    int previous = m_lastProcTime;
    m_lastProcTime = now;
    if (DateIntFor(now) != m_lastLoadDate || now - previous > 5 || previous - now > 5) {
        m_loadSchedule = true;
        PruneRanItems(now);
    }
    if (m_loadSchedule) LoadScheduleFromFile();
    CheckScheduledItems(false);
}

void Scheduler::PruneRanItems(time_t now) {
    auto end = m_ranItems.lower_bound(static_cast<int>(now - 172800));
    for (auto it = m_ranItems.begin(); it != end; ++it)
        for (ScheduledItem* item : it->second) delete item;
    m_ranItems.erase(m_ranItems.begin(), end);
}

void Scheduler::SetItemRan(ScheduledItem* item, bool ran) {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    item->ran = ran;
    std::vector<ScheduledItem*>& records = m_ranItems[item->startTime];
    bool matched = false;
    for (ScheduledItem* rec : records) {
        if (SameOccurrence(rec, item)) {
            rec->ran = ran;
            matched = true;
        }
    }
    if (!matched) records.push_back(new ScheduledItem(item));
}

void Scheduler::CheckScheduledItems(bool restarted) {
    if (m_schedulerDisabled) return;
    time_t now = m_clock.Now();
    for (auto& kv : m_scheduledItems) {
        if (kv.first > now) {
            Announce(kv.first, kv.second, now);
            return;
        }
        for (ScheduledItem* item : kv.second) {
            if (item->ran) continue;
            if (item->command == kStartPlaylist) {
                CheckPlaylistItem(item, now, restarted);
            } else if (item->startTime == now) {
                RunCommandItem(item);
            } else {
                SetItemRan(item, true);  // a command runs only in its own second
            }
        }
    }
}

// Returns true when the item was started.
bool Scheduler::CheckPlaylistItem(ScheduledItem* item, time_t now, bool restarted) {
    ScheduleEntry& entry = *item->entry;
    LogDebug(VB_SCHEDULE, "Checking scheduled 'Start Playlist'\n");
    DumpScheduledItem(item->startTime, item);

    if (item->endTime <= now) {
        SetItemRan(item, true);
        return false;
    }
    if (m_player.WasForceStopped() && m_player.GetScheduledStartTime() == item->startTime &&
        m_player.GetForceStoppedPlaylist() == entry.playlist) {
        SetItemRan(item, true);  // stopped on request: not restarted
        return false;
    }

    int status = m_player.GetStatus();
    if (status == 1) {
        bool scheduled = m_player.WasScheduled();
        if (m_player.GetPlaylistName() == entry.playlist && scheduled &&
            (m_player.GetRepeat() != 0) == entry.repeat &&
            (item->endTime == m_player.GetScheduledStopTime() ||
             item->endTime == m_player.GetCurrentStopTime()) &&
            m_player.GetStopMethod() == entry.stopType) {
            SetItemRan(item, true);  // this very occurrence is already playing
            return false;
        }
        if (!scheduled) {
            for (int i = 0; i < kMaxStopAttempts && m_player.GetStatus() != 0; i++) m_player.StopNow(1);
            if (m_player.GetStatus() != 0) {
                LogErr(VB_SCHEDULE, "Manually started playlist '%s' did not stop; '%s' waits\n",
                       m_player.GetPlaylistName().c_str(), entry.playlist.c_str());
                return false;
            }
        } else if (m_player.GetPriority() <= item->priority) {
            return false;  // waits for the running one to end
        } else {
            Preempt();
        }
    } else if (status != 0) {
        return false;
    }

    LogDebug(VB_SCHEDULE, "Starting Scheduled Playlist:\n");
    DumpScheduledItem(item->startTime, item);
    int position = 0;
    if (restarted && getSetting("resumePlaylist") == entry.playlist) {
        position = getSettingInt("resumePosition", 0);
        SetSetting("resumePlaylist", "");
        SetSetting("resumePosition", 0);
    }
    m_player.StartScheduledPlaylist(entry.playlist, position, entry.repeat ? 1 : 0, item->entryIndex,
                                    item->entryIndex, item->startTime, item->endTime, entry.stopType);
    SetItemRan(item, true);
    return true;
}

// A higher-priority item is due while a scheduled playlist plays: mark the
// running occurrence for a restart once the higher one is over, then stop it.
void Scheduler::Preempt() {
    std::string running = m_player.GetPlaylistName();
    auto it = m_scheduledItems.find(static_cast<int>(m_player.GetScheduledStartTime()));
    if (it != m_scheduledItems.end()) {
        for (ScheduledItem* other : it->second) {
            if (other->command == kStartPlaylist && other->entry && other->entry->playlist == running) {
                other->ran = false;
                m_forcedNextPlaylist = other->entryIndex;
            }
        }
    }
    int forced = m_player.GetScheduledStopTime() > m_player.GetCurrentStopTime() ? 1 : 0;
    switch (m_player.GetStopMethod()) {
        case 0:
            m_player.StopGracefully(forced, 0);
            break;
        case 2:
            m_player.StopGracefully(forced, 1);
            break;
        default:
            m_player.StopNow(forced);
            break;
    }
}

void Scheduler::RunCommandItem(ScheduledItem* item) {
    LogDebug(VB_SCHEDULE, "Running scheduled item:\n");
    DumpScheduledItem(item->startTime, item);
    Json::Value cmd(Json::objectValue);
    cmd["command"] = item->command;
    cmd["args"] = item->args.isArray() ? item->args : Json::Value(Json::arrayValue);
    cmd["lockstepCommand"] = item->entry ? item->entry->lockstepCommand : false;
    cmd["lockstepHosts"] = item->entry ? item->entry->lockstepHosts : "";
    try {
        std::thread([cmd]() { CommandManager::INSTANCE.run(cmd); }).detach();
    } catch (const std::system_error& e) {
        LogErr(VB_SCHEDULE, "Unable to start a thread for scheduled command '%s': %s\n",
               item->command.c_str(), e.what());
    }
    SetItemRan(item, true);
}

void Scheduler::Announce(int startTime, std::vector<ScheduledItem*>& items, time_t now) {
    int d = static_cast<int>(startTime - now);
    bool announce = (d > 300 && d % 300 == 0) || (d >= 61 && d <= 300 && d % 60 == 0) ||
                    (d >= 11 && d <= 60 && d % 10 == 0) || d <= 10;
    if (!announce) return;
    LogDebug(VB_SCHEDULE, "Scheduled Item%s running in %d second%s:\n", items.size() == 1 ? "" : "s", d,
             d == 1 ? "" : "s");
    for (ScheduledItem* item : items) {
        if (item->command == kStartPlaylist && d <= 999 && item->entry) {
            char name[26];
            snprintf(name, sizeof(name), "PLAYLIST_START_TMINUS_%03d", d);
            std::map<std::string, std::string> keywords;
            keywords["PLAYLIST_NAME"] = item->entry->playlist;
            CommandManager::INSTANCE.TriggerPreset(name, keywords);
        }
        DumpScheduledItem(startTime, item);
    }
}

void Scheduler::CheckIfShouldBePlayingNow(int force, int skipEntryIndex) {
    if (m_schedulerDisabled) return;
    LogDebug(VB_SCHEDULE, "CheckIfShouldBePlayingNow(%d, %d)\n", force, skipEntryIndex);
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    time_t now = m_clock.Now();
    for (auto& kv : m_scheduledItems) {
        if (kv.first > now) break;
        LogExcess(VB_SCHEDULE, "Checking scheduled items:\n");
        for (ScheduledItem* item : kv.second) {
            if (WillLog(LOG_EXCESS, VB_SCHEDULE)) DumpScheduledItem(kv.first, item);
            if (item->command != kStartPlaylist) continue;
            if (item->endTime <= now) {
                LogExcess(VB_SCHEDULE, "End time is in the past, skipping item\n");
                continue;
            }
            bool f = force != 0;
            if (m_forcedNextPlaylist == item->entryIndex) {
                LogExcess(VB_SCHEDULE, "This item entry index == m_forcedNextPlaylist\n");
                f = true;
            }
            bool eligible = item->entryIndex != skipEntryIndex && (f || item->entry->repeat);
            if (m_player.GetStatus() != 0 && m_player.GetPlaylistName() == item->entry->playlist)
                eligible = false;
            if (eligible) {
                LogExcess(VB_SCHEDULE, "Item run status reset\n");
                item->ran = false;
            }
        }
    }
    LogExcess(VB_SCHEDULE, "Done checking list, proceeding to call CheckScheduledItems()\n");
    CheckScheduledItems(getSettingInt("restarted", 0) == 1);
}

void Scheduler::SetTimeDelta(int delta, int window) {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    time_t now = m_clock.Now();
    // Shifts accumulate only while the previous window is still open.
    if (now >= m_timeDeltaThreshold) m_timeDelta = 0;
    m_timeDelta += delta;
    m_loadSchedule = true;
    m_timeDeltaThreshold = static_cast<int>(now + window);
}

bool Scheduler::StartNextScheduledItemNow() {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    // An occurrence that is already over (not yet swept by a pass, as just
    // after a load) would stop again at once: take the next live one.
    time_t now = m_clock.Now();
    ScheduledItem* item = nullptr;
    for (auto it = m_scheduledItems.begin(); it != m_scheduledItems.end() && !item; ++it)
        for (ScheduledItem* i : it->second)
            if (!i->ran && i->command == kStartPlaylist && i->endTime > now) {
                item = i;
                break;
            }
    if (!item) return false;
    if (m_player.GetStatus() != 0) {
        LogDebug(VB_SCHEDULE, "Force-Stopping running playlist\n");
        m_player.StopNow(1);
    }
    LogDebug(VB_SCHEDULE, "Force-Starting next scheduled playlist now:\n");
    DumpScheduledItem(item->startTime, item);
    ScheduleEntry& entry = *item->entry;
    m_player.StartScheduledPlaylist(entry.playlist, 0, entry.repeat ? 1 : 0, item->entryIndex,
                                    item->entryIndex, now, item->endTime, entry.stopType);
    return true;
}

std::string Scheduler::GetDayTextFromDayIndex(int dayIndex) {
    static const char* texts[] = {
        "Sunday",   "Monday",   "Tuesday",     "Wednesday",  "Thursday",  "Friday",  "Saturday", "Everyday",
        "Weekdays", "Weekends", "Mon/Wed/Fri", "Tues-Thurs", "Sun-Thurs", "Fri/Sat", "Odd Days", "Even Days"};
    if (dayIndex >= 0 && dayIndex <= 15) return texts[dayIndex];
    if (!(dayIndex & DAY_MASK_FLAG)) return "Error";
    static const char letters[] = "SMTWTFS";
    std::string text = "Mask: ";
    for (int k = 0; k < 7; k++) text += (dayIndex & (0x4000 >> k)) ? letters[k] : '-';
    return text;
}

void Scheduler::SchedulePrint() {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    if (m_schedulerDisabled) LogInfo(VB_SCHEDULE, "WARNING: Scheduler is currently disabled\n");
    LogInfo(
        VB_SCHEDULE,
        "Current Schedule: (Status: '+' = Enabled, '-' = Disabled, '!' = Outside Date Range, '*' = Repeat, "
        "Stop (G)raceful/(L)oop/(H)ard\n");
    LogInfo(VB_SCHEDULE, "Stat Start & End Dates       Days          Start & End Times   Playlist/Command\n");
    LogInfo(VB_SCHEDULE,
            "---- ----------------------- ------------- ------------------- "
            "---------------------------------------------\n");
    int today = DateIntFor(m_clock.Now());
    for (ScheduleEntry& e : m_schedule) {
        bool isPlaylist = !e.playlist.empty();
        std::string days = GetDayTextFromDayIndex(e.dayIndex);
        LogInfo(VB_SCHEDULE, "%c%c%c%c %04d-%02d-%02d - %04d-%02d-%02d %-13.13s %-8.8s %c %-8.8s %s\n",
                e.enabled ? '+' : '-', DateInRange(today, e.startDate, e.endDate) ? ' ' : '!',
                e.repeat ? '*' : ' ', StopTypeLetter(e.stopType), e.startDate / 10000,
                e.startDate / 100 % 100, e.startDate % 100, e.endDate / 10000, e.endDate / 100 % 100,
                e.endDate % 100, days.c_str(), e.startTimeStr.c_str(), isPlaylist ? '-' : ' ',
                isPlaylist ? e.endTimeStr.c_str() : "", isPlaylist ? e.playlist.c_str() : e.command.c_str());
    }
    LogDebug(VB_SCHEDULE, "//////////////////////////////////////////////////\n");
}

void Scheduler::DumpScheduledItem(int startTime, ScheduledItem* item) {
    if (!WillLog(LOG_DEBUG, VB_SCHEDULE)) return;
    time_t t = startTime;
    char when[64];
    ctime_r(&t, when);
    when[strcspn(when, "\n")] = '\0';
    std::string args;
    if (item->args.isArray())
        for (const Json::Value& a : item->args) args += "\"" + ArgText(a) + "\" ";
    LogDebug(VB_SCHEDULE, "%s: %2d '%s' - '%s'\n", when, item->priority, item->command.c_str(), args.c_str());
}

void Scheduler::DumpScheduledItems() {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    LogDebug(VB_SCHEDULE, "DumpScheduledItems()\n");
    for (auto& kv : m_scheduledItems)
        for (ScheduledItem* item : kv.second) DumpScheduledItem(kv.first, item);
}

ScheduledItem* Scheduler::GetNextScheduledPlaylist() {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    for (auto& kv : m_scheduledItems)
        for (ScheduledItem* item : kv.second)
            if (!item->ran && item->command == kStartPlaylist) return item;
    return nullptr;
}

std::string Scheduler::GetNextPlaylistName() {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    if (m_schedulerDisabled) return "Scheduler is disabled.";
    ScheduledItem* item = GetNextScheduledPlaylist();
    return item ? item->entry->playlist : "No playlist scheduled.";
}

std::string Scheduler::GetNextPlaylistStartStr() {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    if (m_schedulerDisabled) return "";
    ScheduledItem* item = GetNextScheduledPlaylist();
    if (!item) return "";
    return FormatTime(item->startTime) + " - (" + GetDayTextFromDayIndex(item->entry->dayIndex) + ")";
}

std::string Scheduler::GetPlaylistThatShouldBePlaying(int& repeat) {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    if (m_schedulerDisabled) return "";
    time_t now = m_clock.Now();
    for (auto& kv : m_scheduledItems) {
        if (kv.first > now) break;
        for (ScheduledItem* item : kv.second) {
            if (item->command == kStartPlaylist && now < item->endTime) {
                repeat = item->entry->repeat ? 1 : 0;
                return item->entry->playlist;
            }
        }
    }
    repeat = 0;
    return "";
}

Json::Value Scheduler::GetInfo() {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    Json::Value info(Json::objectValue);
    Json::Value next(Json::objectValue);
    next["playlistName"] = GetNextPlaylistName();
    next["scheduledStartTime"] = 0;
    next["scheduledStartTimeStr"] = GetNextPlaylistStartStr();
    info["nextPlaylist"] = next;
    info["enabled"] = m_schedulerDisabled ? 0 : 1;

    if (!IsActiveStatus(m_player.GetStatus())) {
        info["status"] = "idle";
        return info;
    }
    Json::Value cur(Json::objectValue);
    if (m_player.WasScheduled()) {
        time_t now = m_clock.Now();
        auto put = [&](const char* key, time_t when) {
            cur[key] = static_cast<Json::UInt64>(when);
            cur[std::string(key) + "Str"] = FormatTime(when);
        };
        put("currentTime", now);
        put("scheduledStartTime", m_player.GetScheduledStartTime());
        put("actualStartTime", m_player.GetActualStartTime());
        put("scheduledEndTime", m_player.GetScheduledStopTime());
        put("actualEndTime", m_player.GetCurrentStopTime());
        cur["secondsRemaining"] = static_cast<Json::Int64>(m_player.GetCurrentStopTime() - now);
        cur["stopType"] = m_player.GetStopMethod();
        cur["stopTypeStr"] = StopTypeText(m_player.GetStopMethod());
        info["status"] = "playing";
    } else {
        info["status"] = "manual";
    }
    cur["playlistName"] = m_player.GetPlaylistName();
    info["currentPlaylist"] = cur;
    return info;
}

Json::Value Scheduler::GetSchedule() {
    std::lock_guard<std::recursive_mutex> l(m_scheduleLock);
    Json::Value result(Json::objectValue);
    result["enabled"] = m_schedulerDisabled ? 0 : 1;

    Json::Value entries(Json::arrayValue);
    for (size_t i = 0; i < m_schedule.size(); i++) {
        ScheduleEntry& e = m_schedule[i];
        Json::Value j = e.GetJson();
        j["id"] = static_cast<int>(i);
        j["type"] = e.playlist.empty() ? "command" : "playlist";
        j["dayStr"] = GetDayTextFromDayIndex(e.dayIndex);
        entries.append(j);
    }
    result["entries"] = entries;

    Json::Value items(Json::arrayValue);
    if (m_player.GetStatus() != 0 && m_player.WasScheduled()) {
        Json::Value it(Json::objectValue);
        it["priority"] = m_player.GetPriority();
        it["id"] = m_player.GetScheduleEntry();
        it["startTimeStr"] = FormatTime(m_player.GetScheduledStartTime());
        it["startTime"] = static_cast<Json::UInt64>(m_player.GetScheduledStartTime());
        it["endTimeStr"] = FormatTime(m_player.GetCurrentStopTime());
        it["endTime"] = static_cast<Json::UInt64>(m_player.GetCurrentStopTime());
        it["command"] = kStartPlaylist;
        Json::Value args(Json::arrayValue);
        args.append(m_player.GetPlaylistName());
        it["args"] = args;
        items.append(it);
    }
    for (auto& kv : m_scheduledItems) {
        for (ScheduledItem* item : kv.second) {
            if (item->ran) continue;
            Json::Value it(Json::objectValue);
            it["priority"] = item->priority;
            it["id"] = item->entryIndex;
            it["startTimeStr"] = FormatTime(item->startTime);
            it["startTime"] = static_cast<Json::UInt64>(item->startTime);
            it["endTimeStr"] = FormatTime(item->endTime);
            it["endTime"] = static_cast<Json::UInt64>(item->endTime);
            it["command"] = item->command;
            it["args"] = item->args;
            it["lockstepCommand"] = item->entry ? item->entry->lockstepCommand : false;
            it["lockstepHosts"] = item->entry ? item->entry->lockstepHosts : "";
            items.append(it);
        }
    }
    result["items"] = items;
    return result;
}

StartNextItemCommand::StartNextItemCommand(Scheduler* s) : ScheduleCommand("Start Next Scheduled Item", s) {
    description = "Starts the next scheduled playlist now";
}

std::unique_ptr<Command::Result> StartNextItemCommand::run(const std::vector<std::string>& args) {
    if (m_scheduler->StartNextScheduledItemNow())
        return std::make_unique<Command::Result>("Next scheduled item started");
    return std::make_unique<Command::Result>("Unable to start next scheduled item");
}

ExtendScheduleCommand::ExtendScheduleCommand(Scheduler* s, SchedulePlayer& player)
    : ScheduleCommand("Extend Schedule", s), m_player(player) {
    description = "Extends or shortens the running scheduled playlist";
    CommandArg seconds("Seconds", "int", "Extend for Seconds");
    seconds.defaultValue = "300";
    seconds.min = -43200;
    seconds.max = 43200;
    CommandArg limit("Limit", "int", "For schedule events occurring in the next x Seconds");
    limit.defaultValue = "0";
    limit.min = -43200;
    limit.max = 43200;
    this->args.push_back(seconds);
    this->args.push_back(limit);
}

std::unique_ptr<Command::Result> ExtendScheduleCommand::run(const std::vector<std::string>& args) {
    if (args.empty())
        return std::make_unique<Command::ErrorResult>("Command needs at least 1 argument, found " +
                                                      std::to_string(args.size()));
    // Both arguments are read before anything changes, so a bad limit
    // cannot leave the playlist extended but the schedule unshifted.
    int seconds = std::stoi(args[0]);
    int limit = args.size() > 1 ? std::stoi(args[1]) : 0;
    if (!m_player.AdjustPlaylistStopTime(seconds))
        return std::make_unique<Command::Result>("Error extending Schedule");
    if (limit != 0) m_scheduler->SetTimeDelta(seconds, limit);
    return std::make_unique<Command::Result>("Schedule Updated");
}
