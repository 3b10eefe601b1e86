// Placeholder bodies while the scheduler is being built.
#include "Scheduler.h"

Scheduler* scheduler = nullptr;

ScheduledItem::ScheduledItem(ScheduledItem* item)
    : priority(item->priority),
      entryIndex(item->entryIndex),
      ran(item->ran),
      startTime(item->startTime),
      endTime(item->endTime),
      command(item->command),
      args(item->args) {}

Scheduler::Scheduler() : Scheduler(SystemScheduleClock::Get(), PlayerFrontSchedulePlayer::Get()) {}
Scheduler::Scheduler(ScheduleClock& clock, SchedulePlayer& player) : m_clock(clock), m_player(player) {}
Scheduler::~Scheduler() {}
void Scheduler::ScheduleProc() {}
void Scheduler::CheckIfShouldBePlayingNow(int, int) {}
void Scheduler::ReloadScheduleFile() { m_loadSchedule = true; }
void Scheduler::LoadScheduleFromFile() {}
void Scheduler::SetItemRan(ScheduledItem* item, bool ran) { item->ran = ran; }
void Scheduler::SetTimeDelta(int, int) {}
bool Scheduler::StartNextScheduledItemNow() { return false; }
std::string Scheduler::GetDayTextFromDayIndex(int) { return "Error"; }
void Scheduler::SchedulePrint() {}
void Scheduler::DumpScheduledItem(int, ScheduledItem*) {}
void Scheduler::DumpScheduledItems() {}
ScheduledItem* Scheduler::GetNextScheduledPlaylist() { return nullptr; }
std::string Scheduler::GetNextPlaylistName() { return "No playlist scheduled."; }
std::string Scheduler::GetNextPlaylistStartStr() { return ""; }
std::string Scheduler::GetPlaylistThatShouldBePlaying(int& repeat) {
    repeat = 0;
    return "";
}
Json::Value Scheduler::GetInfo() { return Json::Value(Json::objectValue); }
Json::Value Scheduler::GetSchedule() { return Json::Value(Json::objectValue); }
std::string Scheduler::ScheduleFilePath() { return ""; }
