// Placeholder bodies while the schedule entry is being built.
#include "ScheduleEntry.h"

ScheduleContext ScheduleContext::FromSettings(time_t now) {
    ScheduleContext c;
    c.now = now;
    return c;
}
bool ScheduleEntry::LoadFromJson(Json::Value& v) { return LoadFromJson(v, -1); }
bool ScheduleEntry::LoadFromJson(Json::Value&, int) { return false; }
Json::Value ScheduleEntry::GetJson() { return m_source; }
void ScheduleEntry::pushStartEndTimes(int dayOffset, int& timeDelta, int timeDeltaThreshold) {
    pushStartEndTimes(ScheduleContext::FromSettings(time(nullptr)), dayOffset, timeDelta, timeDeltaThreshold);
}
void ScheduleEntry::pushStartEndTimes(const ScheduleContext&, int, int&, int) {}
bool ScheduleEntry::ParseTime(const std::string&, int, ScheduleTime&) { return false; }
bool ScheduleEntry::ParseDate(const std::string&, int&) { return false; }
bool ScheduleEntry::ValidDayIndex(int) { return false; }
bool ScheduleEntry::ResolveTime(const ScheduleContext&, const ScheduleTime&, int, int, int, time_t&) {
    return false;
}
time_t LocalWallClockToEpoch(int, int, int, int) { return 0; }
