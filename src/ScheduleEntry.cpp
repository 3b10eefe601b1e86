#include "ScheduleEntry.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "SunTimes.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

const char* kDayTexts[] = {"Sunday",    "Monday",   "Tuesday",  "Wednesday", "Thursday",    "Friday",
                           "Saturday",  "Everyday", "Weekdays", "Weekends",  "Mon/Wed/Fri", "Tues-Thurs",
                           "Sun-Thurs", "Fri/Sat",  "Odd Days", "Even Days"};
const char* kStopTexts[] = {"Graceful", "Hard", "Graceful Loop"};

struct SunName {
    const char* name;
    ScheduleTimeKind kind;
};
const SunName kSunNames[] = {{"SunRise", ScheduleTimeKind::SunRise},
                             {"SunSet", ScheduleTimeKind::SunSet},
                             {"Dawn", ScheduleTimeKind::Dawn},
                             {"Dusk", ScheduleTimeKind::Dusk}};

// Collects the reason an element is rejected, so the one error line names
// the element and the key.
class EntryReader {
public:
    EntryReader(const Json::Value& v, int index) : v(v), index(index) {}

    bool Fail(const char* key, const char* what) {
        if (index >= 0)
            LogErr(VB_SCHEDULE, "Schedule entry %d: \"%s\" %s\n", index, key, what);
        else
            LogErr(VB_SCHEDULE, "Schedule entry: \"%s\" %s\n", key, what);
        return false;
    }

    bool Bool(const char* key, bool& out) {
        const Json::Value& x = v[key];
        if (x.isNull()) return true;
        if (x.isBool()) {
            out = x.asBool();
            return true;
        }
        if (x.isInt64() && (x.asLargestInt() == 0 || x.asLargestInt() == 1)) {
            out = x.asLargestInt() == 1;
            return true;
        }
        return Fail(key, "must be true or false");
    }

    bool String(const char* key, std::string& out) {
        const Json::Value& x = v[key];
        if (x.isNull()) return true;
        if (!x.isString()) return Fail(key, "must be a string");
        out = x.asString();
        return true;
    }

    bool Int(const char* key, int lo, int hi, int& out) {
        const Json::Value& x = v[key];
        if (x.isNull()) return true;
        if (!x.isInt64() || x.asLargestInt() < lo || x.asLargestInt() > hi) {
            char what[96];
            snprintf(what, sizeof(what), "must be a whole number from %d to %d", lo, hi);
            return Fail(key, what);
        }
        out = static_cast<int>(x.asLargestInt());
        return true;
    }

    const Json::Value& v;
    int index;
};

bool AllDigits(const std::string& s, size_t from, size_t count) {
    for (size_t i = from; i < from + count; i++)
        if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2) {
        // A year-less date allows the 29th: it applies in leap years.
        bool leap = year == 0 || (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0));
        return leap ? 29 : 28;
    }
    return days[month - 1];
}

std::string FormatClock(int secondOfDay) {
    char buf[16];
    snprintf(buf, sizeof(buf), "%02d:%02d:%02d", secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60);
    return buf;
}

std::string FormatDate(int date) {
    char buf[16];
    snprintf(buf, sizeof(buf), "%04d-%02d-%02d", date / 10000, date / 100 % 100, date % 100);
    return buf;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back; pure
// arithmetic, so date steps never depend on the time zone.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

long UtcOffset(time_t t) {
    struct tm lt;
    localtime_r(&t, &lt);
    return lt.tm_gmtoff;
}

// Normalised local calendar date `days` after (year, month, day).
void AddDays(int& year, int& month, int& day, int days) {
    CivilFromDays(DaysFromCivil(year, month, day) + days, year, month, day);
}

}  // namespace

time_t LocalWallClockToEpoch(int year, int month, int day, int secondOfDay) {
    // The wall-clock time read as if it were UTC; the real instant is that
    // minus the zone's offset, which lies within 14 hours either way.  At
    // most one offset change falls in that span, so the offsets 14 hours
    // before and after give every candidate.
    const time_t wall = static_cast<time_t>(DaysFromCivil(year, month, day) * 86400 + secondOfDay);
    const long before = UtcOffset(wall - 50400), after = UtcOffset(wall + 50400);
    const time_t early = wall - std::max(before, after), late = wall - std::min(before, after);
    // Fall-back nights hold the time twice: take the first.
    if (UtcOffset(early) == wall - early) return early;
    if (UtcOffset(late) == wall - late) return late;
    // Skipped by a spring-forward change: the moment the clocks jump.
    time_t lo = early, hi = late;
    long afterJump = UtcOffset(hi);
    while (hi - lo > 1) {
        time_t mid = lo + (hi - lo) / 2;
        if (UtcOffset(mid) == afterJump)
            hi = mid;
        else
            lo = mid;
    }
    return hi;
}

ScheduleContext ScheduleContext::FromSettings(time_t now) {
    ScheduleContext c;
    c.now = now;
    std::string lat = getSetting("Latitude");
    std::string lon = getSetting("Longitude");
    if (lat.empty() || lon.empty()) return c;
    char* latEnd = nullptr;
    char* lonEnd = nullptr;
    double la = strtod(lat.c_str(), &latEnd);
    double lo = strtod(lon.c_str(), &lonEnd);
    if (*latEnd != '\0' || *lonEnd != '\0' || la < -90.0 || la > 90.0 || lo < -180.0 || lo > 180.0) {
        LogErr(VB_SCHEDULE, "Latitude '%s' / Longitude '%s' are not valid coordinates\n", lat.c_str(),
               lon.c_str());
        return c;
    }
    c.haveLocation = true;
    c.latitude = la;
    c.longitude = lo;
    return c;
}

bool ScheduleEntry::ParseTime(const std::string& text, int offsetMinutes, ScheduleTime& out) {
    for (const SunName& s : kSunNames) {
        if (strcasecmp(text.c_str(), s.name) == 0) {
            out.kind = s.kind;
            out.secondOfDay = 0;
            out.offsetMinutes = offsetMinutes;
            return true;
        }
    }
    // H:MM, HH:MM, H:MM:SS or HH:MM:SS
    size_t colon = text.find(':');
    if (colon != 1 && colon != 2) return false;
    if (!AllDigits(text, 0, colon)) return false;
    size_t rest = text.size() - colon - 1;
    if (rest != 2 && rest != 5) return false;
    if (!AllDigits(text, colon + 1, 2)) return false;
    int h = atoi(text.substr(0, colon).c_str());
    int m = atoi(text.substr(colon + 1, 2).c_str());
    int s = 0;
    if (rest == 5) {
        if (text[colon + 3] != ':' || !AllDigits(text, colon + 4, 2)) return false;
        s = atoi(text.substr(colon + 4, 2).c_str());
    }
    bool endOfDay = (h == 24 && m == 0 && s == 0);
    if (!endOfDay && (h > 23 || m > 59 || s > 59)) return false;
    out.kind = ScheduleTimeKind::Clock;
    out.secondOfDay = h * 3600 + m * 60 + s;
    out.offsetMinutes = offsetMinutes;
    return true;
}

bool ScheduleEntry::ParseDate(const std::string& text, int& out) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    if (!AllDigits(text, 0, 4) || !AllDigits(text, 5, 2) || !AllDigits(text, 8, 2)) return false;
    int y = atoi(text.substr(0, 4).c_str());
    int m = atoi(text.substr(5, 2).c_str());
    int d = atoi(text.substr(8, 2).c_str());
    if (m > 12 || d < 1) return false;
    if (m == 0) {
        // "0000-00-DD": that day of every month.
        if (y != 0 || d > 31) return false;
    } else if (d > DaysInMonth(y, m)) {
        return false;
    }
    out = y * 10000 + m * 100 + d;
    return true;
}

bool ScheduleEntry::ValidDayIndex(int dayIndex) {
    if (dayIndex >= 0 && dayIndex <= 15) return true;
    // A mask: the flag, at least one day, nothing else.
    if ((dayIndex & DAY_MASK_FLAG) == 0) return false;
    int days = dayIndex & ~DAY_MASK_FLAG;
    return days != 0 && (days & ~0x7F00) == 0;
}

int ScheduleEntry::DayMask(int dayIndex) {
    static const int fixed[] = {0x4000, 0x2000, 0x1000, 0x800,  0x400,  0x200, 0x100, 0x7F00,
                                0x3E00, 0x4100, 0x2A00, 0x1400, 0x7C00, 0x300, 0,     0};
    if (static_cast<unsigned>(dayIndex) > 15) return dayIndex;
    return fixed[dayIndex];
}

int ScheduleEntry::DaysSinceOddEvenReference(int year, int month, int day) {
    // Calendar days, so daylight-saving hours never shift the count.
    return static_cast<int>(DaysFromCivil(year, month, day) - DaysFromCivil(2013, 7, 15));
}

bool ScheduleEntry::RunsOnDate(int year, int month, int day) const {
    if (dayIndex == 14 || dayIndex == 15) {
        bool odd = DaysSinceOddEvenReference(year, month, day) % 2 != 0;
        return odd == (dayIndex == 14);
    }
    // 1 January 1970 was a Thursday.
    int64_t days = DaysFromCivil(year, month, day);
    int wday = static_cast<int>(((days % 7) + 11) % 7);
    return (DayMask(dayIndex) & (0x4000 >> wday)) != 0;
}

bool ScheduleEntry::LoadFromJson(Json::Value& v) {
    return LoadFromJson(v, -1);
}

bool ScheduleEntry::LoadFromJson(Json::Value& v, int index) {
    if (!v.isObject()) {
        if (index >= 0)
            LogErr(VB_SCHEDULE, "Schedule entry %d is not a JSON object\n", index);
        else
            LogErr(VB_SCHEDULE, "Schedule entry is not a JSON object\n");
        return false;
    }
    EntryReader r(v, index);
    ScheduleEntry e;  // filled completely before anything is stored in *this

    if (!r.Bool("enabled", e.enabled) || !r.String("playlist", e.playlist) ||
        !r.Bool("sequence", e.sequence) || !r.String("command", e.command) ||
        !r.Bool("lockstepCommand", e.lockstepCommand) || !r.String("lockstepHosts", e.lockstepHosts) ||
        !r.Bool("repeat", e.repeat))
        return false;
    if (e.playlist.empty() && e.command.empty())
        return r.Fail("playlist", "or \"command\" must name what to run");

    const Json::Value& args = v["args"];
    if (!args.isNull()) {
        if (!args.isArray()) return r.Fail("args", "must be an array");
        for (const Json::Value& a : args) {
            if (a.isString())
                e.args.append(a.asString());
            else if (a.isBool() || a.isNumeric())
                e.args.append(a.asString());
            else
                return r.Fail("args", "must hold only strings, numbers or booleans");
        }
    }

    const Json::Value& day = v["day"];
    if (day.isString()) {
        e.dayIndex = -1;
        for (int i = 0; i < 16; i++)
            if (strcasecmp(day.asCString(), kDayTexts[i]) == 0) e.dayIndex = i;
        if (e.dayIndex < 0) return r.Fail("day", "is not a known day name");
    } else if (!day.isNull()) {
        if (!day.isInt64() || day.asLargestInt() < INT32_MIN || day.asLargestInt() > INT32_MAX ||
            !ValidDayIndex(static_cast<int>(day.asLargestInt())))
            return r.Fail("day", "must be a day code 0-15 or a weekday mask");
        e.dayIndex = static_cast<int>(day.asLargestInt());
    }

    const Json::Value& stop = v["stopType"];
    if (stop.isString()) {
        e.stopType = -1;
        for (int i = 0; i < 3; i++)
            if (strcasecmp(stop.asCString(), kStopTexts[i]) == 0) e.stopType = i;
        if (e.stopType < 0)
            return r.Fail("stopType", "must be 0, 1, 2, \"Graceful\", \"Hard\" or \"Graceful Loop\"");
    } else if (!r.Int("stopType", 0, 2, e.stopType)) {
        return false;
    }

    int startOffset = 0, endOffset = 0;
    if (!r.Int("startTimeOffset", -1440, 1440, startOffset) ||
        !r.Int("endTimeOffset", -1440, 1440, endOffset))
        return false;
    std::string startText = "00:00:00", endText = "24:00:00";
    if (!r.String("startTime", startText) || !r.String("endTime", endText)) return false;
    if (!ParseTime(startText, startOffset, e.startTime))
        return r.Fail("startTime", "must be HH:MM:SS (00:00:00 to 24:00:00), SunRise, SunSet, Dawn or Dusk");
    if (!ParseTime(endText, endOffset, e.endTime))
        return r.Fail("endTime", "must be HH:MM:SS (00:00:00 to 24:00:00), SunRise, SunSet, Dawn or Dusk");

    std::string startDateText, endDateText;
    if (!r.String("startDate", startDateText) || !r.String("endDate", endDateText)) return false;
    bool haveStart = !startDateText.empty(), haveEnd = !endDateText.empty();
    if (haveStart && !ParseDate(startDateText, e.startDate))
        return r.Fail("startDate",
                      "must be a real date YYYY-MM-DD (0000-MM-DD every year, 0000-00-DD every month)");
    if (haveEnd && !ParseDate(endDateText, e.endDate))
        return r.Fail("endDate",
                      "must be a real date YYYY-MM-DD (0000-MM-DD every year, 0000-00-DD every month)");
    // One open end: the range reaches as far as its own form allows.
    if (haveStart && !haveEnd) e.endDate = e.startDate < 100 ? 31 : e.startDate < 10000 ? 1231 : 99991231;
    if (haveEnd && !haveStart) e.startDate = e.endDate < 100 ? 1 : e.endDate < 10000 ? 101 : 10000101;

    e.startTimeStr =
        e.startTime.kind == ScheduleTimeKind::Clock ? FormatClock(e.startTime.secondOfDay) : startText;
    e.endTimeStr = e.endTime.kind == ScheduleTimeKind::Clock ? FormatClock(e.endTime.secondOfDay) : endText;
    for (const SunName& s : kSunNames) {
        if (e.startTime.kind == s.kind) e.startTimeStr = s.name;
        if (e.endTime.kind == s.kind) e.endTimeStr = s.name;
    }
    e.m_source = v;
    *this = e;
    return true;
}

Json::Value ScheduleEntry::GetJson() {
    Json::Value j = m_source.isObject() ? m_source : Json::Value(Json::objectValue);
    j["enabled"] = enabled;
    j["playlist"] = playlist;
    j["sequence"] = sequence;
    j["command"] = command;
    j["args"] = args;
    j["lockstepCommand"] = lockstepCommand;
    j["lockstepHosts"] = lockstepHosts;
    j["day"] = dayIndex;
    j["startTime"] = startTimeStr;
    j["startTimeOffset"] = startTime.offsetMinutes;
    j["endTime"] = endTimeStr;
    j["endTimeOffset"] = endTime.offsetMinutes;
    bool open = startDate == 0 && endDate == 0;
    j["startDate"] = open ? "" : FormatDate(startDate);
    j["endDate"] = open ? "" : FormatDate(endDate);
    j["repeat"] = repeat;
    j["stopType"] = stopType;
    return j;
}

bool ScheduleEntry::ResolveTime(const ScheduleContext& ctx, const ScheduleTime& t, int year, int month,
                                int day, time_t& out, bool* polar) {
    if (polar) *polar = false;
    if (t.kind == ScheduleTimeKind::Clock) {
        out = LocalWallClockToEpoch(year, month, day, t.secondOfDay + t.offsetMinutes * 60);
        return true;
    }
    if (!ctx.haveLocation) {
        if (!m_locationErrorLogged) {
            LogErr(VB_SCHEDULE,
                   "Schedule entry '%s' uses sun times but the Latitude and Longitude settings are not set\n",
                   playlist.empty() ? command.c_str() : playlist.c_str());
            m_locationErrorLogged = true;
        }
        return false;
    }
    SunEvent ev = t.kind == ScheduleTimeKind::SunRise  ? SunEvent::SunRise
                  : t.kind == ScheduleTimeKind::SunSet ? SunEvent::SunSet
                  : t.kind == ScheduleTimeKind::Dawn   ? SunEvent::Dawn
                                                       : SunEvent::Dusk;
    SunTime sun = ComputeSunTime(ev, year, month, day, ctx.latitude, ctx.longitude);
    if (polar) *polar = !sun.crossed;
    out = sun.when + t.offsetMinutes * 60;
    return true;
}

void ScheduleEntry::pushStartEndTimes(int dayOffset, int& timeDelta, int timeDeltaThreshold) {
    pushStartEndTimes(ScheduleContext::FromSettings(time(nullptr)), dayOffset, timeDelta, timeDeltaThreshold);
}

void ScheduleEntry::pushStartEndTimes(const ScheduleContext& ctx, int dayOffset, int& timeDelta,
                                      int timeDeltaThreshold) {
    struct tm now;
    localtime_r(&ctx.now, &now);
    int year = now.tm_year + 1900, month = now.tm_mon + 1, day = now.tm_mday;
    AddDays(year, month, day, dayOffset - now.tm_wday);
    if (!RunsOnDate(year, month, day)) return;

    time_t start, end;
    bool polarStart = false;
    if (!ResolveTime(ctx, startTime, year, month, day, start, &polarStart)) return;
    if (!ResolveTime(ctx, endTime, year, month, day, end, nullptr)) return;
    if (end <= start) {
        // A sun-timed start that the sun never reaches that day (SunSet under
        // the midnight sun) falls late; carrying the end into the next day
        // would make a day-long show, so there is none that day.
        if (polarStart) return;
        AddDays(year, month, day, 1);
        if (!ResolveTime(ctx, endTime, year, month, day, end, nullptr)) return;
    }

    if (timeDelta != 0) {
        if (ctx.now >= timeDeltaThreshold) {
            timeDelta = 0;  // the window of the last extension has closed
        } else if (start >= ctx.now && start < timeDeltaThreshold) {
            // One already under way keeps its times: the player holds its
            // extended end, and the unchanged times still match the record
            // of it having started.
            start += timeDelta;
            end += timeDelta;
        }
    }
    startEndTimes.emplace_back(static_cast<int>(start), static_cast<int>(end));
}
