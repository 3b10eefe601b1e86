// One entry of the schedule file: what to run (a playlist, a sequence, or a
// command with arguments), on which days, between which dates, from when to
// when, and how a playlist is stopped at its end.  The JSON format is in
// docs/schedule.md.
//
// Times of day are "HH:MM:SS" (or "HH:MM") local wall-clock times, or one of
// "SunRise", "SunSet", "Dawn", "Dusk" (civil twilight) shifted by the entry's
// offset in minutes.  An occurrence stays at the same wall-clock time across
// daylight-saving changes; an end at or before the start ends on the next
// day.
//
// Threading: none of its own; the scheduler guards its copies.
#pragma once

#include <json/json.h>

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#define DAY_MASK_FLAG 0x10000

enum class ScheduleTimeKind { Clock, SunRise, SunSet, Dawn, Dusk };

struct ScheduleTime {
    ScheduleTimeKind kind = ScheduleTimeKind::Clock;
    int secondOfDay = 0;    // Clock: 0 .. 86400 ("24:00:00" is the end of the day)
    int offsetMinutes = 0;  // sun kinds: shift of the computed time
};

// What occurrences are computed against: the current time and the place
// (for sun times).  haveLocation false: sun-timed occurrences are left out.
struct ScheduleContext {
    time_t now = 0;
    bool haveLocation = false;
    double latitude = 0.0;
    double longitude = 0.0;

    // now plus the "Latitude" / "Longitude" settings.
    static ScheduleContext FromSettings(time_t now);
};

class ScheduleEntry {
public:
    ScheduleEntry() = default;

    // Fills the entry from one schedule-file element.  A malformed element
    // gives false and an error line naming the element (index, when >= 0) and
    // the offending key; the entry is then not to be used.
    bool LoadFromJson(Json::Value& v);
    bool LoadFromJson(Json::Value& v, int index);
    // What was loaded, normalised (every key present); keys this format does
    // not know are kept so front-end extras survive a round trip.
    Json::Value GetJson();

    // Appends the (start, end) epoch times of the occurrence on the day
    // `dayOffset` days after the Sunday that begins the current week (may be
    // negative).  An "Extend Schedule" shift applies while its window is
    // open: occurrences starting from now up to `timeDeltaThreshold` move by
    // `timeDelta`; once the window has closed `timeDelta` is reset to 0.  This overload uses the
    // system clock and the location settings.
    void pushStartEndTimes(int dayOffset, int& timeDelta, int timeDeltaThreshold);
    void pushStartEndTimes(const ScheduleContext& ctx, int dayOffset, int& timeDelta, int timeDeltaThreshold);

    bool enabled = true;
    std::string playlist;
    bool sequence = false;
    std::string command;
    Json::Value args = Json::Value(Json::arrayValue);
    bool lockstepCommand = false;
    std::string lockstepHosts;
    int dayIndex = 7;
    bool repeat = false;
    int startDate = 0;  // YYYYMMDD; year 0 = every year, month 0 = every month
    int endDate = 0;
    int stopType = 0;  // 0 graceful, 1 hard, 2 graceful after loop
    std::string startTimeStr = "00:00:00";
    std::string endTimeStr = "24:00:00";
    ScheduleTime startTime;
    ScheduleTime endTime;
    std::vector<std::pair<int, int>> startEndTimes;

    // Parsers shared with tests and tools; false on anything malformed.
    static bool ParseTime(const std::string& text, int offsetMinutes, ScheduleTime& out);
    static bool ParseDate(const std::string& text, int& out);
    static bool ValidDayIndex(int dayIndex);
    // Weekday bits of a day code (Sunday 0x4000 ... Saturday 0x100); 0 for
    // the odd/even codes 14 and 15.
    static int DayMask(int dayIndex);
    // Days from 15 July 2013 (the odd/even reference) to a local calendar
    // date; negative before it.
    static int DaysSinceOddEvenReference(int year, int month, int day);
    // The entry's day code admits this local calendar date.
    bool RunsOnDate(int year, int month, int day) const;

private:
    // Epoch time of `t` on the given local calendar date; false when it
    // cannot be computed (a sun time without a location).
    // polar (optional): set when a sun time fell back because the sun
    // does not reach its altitude that day (see SunTimes.h).
    bool ResolveTime(const ScheduleContext& ctx, const ScheduleTime& t, int year, int month, int day,
                     time_t& out, bool* polar);

    Json::Value m_source = Json::Value(Json::objectValue);
    bool m_locationErrorLogged = false;
};

// Local wall-clock time (year, month 1-12, day, second of day; day and second
// may lie outside their ranges and are normalised) to epoch seconds.  A time
// skipped by a spring-forward change maps to the moment of the change; a time
// that occurs twice at fall-back maps to its first occurrence.
time_t LocalWallClockToEpoch(int year, int month, int day, int secondOfDay);
