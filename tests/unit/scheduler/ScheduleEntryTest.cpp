#include <gtest/gtest.h>

#include "SchedulerFixture.h"
#include "SunTimes.h"

namespace {

using EntryTest = SchedulerTest;

Json::Value Parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string err;
    r->parse(text.data(), text.data() + text.size(), &v, &err);
    return v;
}

TEST_F(EntryTest, LoadedEntryRoundTripsThroughItsJson) {
    Json::Value v =
        Parse(R"({"playlist": "Show", "day": "Weekdays", "startTime": "sunset", "startTimeOffset": -15,
        "endTime": "9:30", "startDate": "0000-12-01", "endDate": "0000-01-06", "repeat": 1,
        "stopType": "Graceful Loop", "editorColour": "red"})");
    ScheduleEntry e;
    ASSERT_TRUE(e.LoadFromJson(v, 0));
    EXPECT_EQ(8, e.dayIndex);
    EXPECT_EQ("SunSet", e.startTimeStr);
    EXPECT_EQ("09:30:00", e.endTimeStr);
    EXPECT_EQ(1201, e.startDate);
    EXPECT_EQ(106, e.endDate);
    EXPECT_TRUE(e.repeat && e.enabled);
    EXPECT_EQ(2, e.stopType);
    Json::Value out = e.GetJson();
    EXPECT_EQ("red", out["editorColour"].asString());
    ScheduleEntry again;
    ASSERT_TRUE(again.LoadFromJson(out, 0));
    EXPECT_EQ(out, again.GetJson());
    EXPECT_EQ(-15, again.startTime.offsetMinutes);
}

TEST_F(EntryTest, MalformedEntriesAreRejectedNamingIndexAndKey) {
    const std::pair<const char*, const char*> bad[] = {
        {R"([1])", "is not a JSON object"},
        {R"({"playlist": "x", "enabled": "yes"})", "\"enabled\""},
        {R"({"playlist": 5})", "\"playlist\""},
        {R"({"command": "Volume Set", "args": "70"})", "\"args\""},
        {R"({"startTime": "10:00:00"})", "\"playlist\""},
        {R"({"playlist": "x", "day": -1})", "\"day\""},
        {R"({"playlist": "x", "day": 16})", "\"day\""},
        {R"({"playlist": "x", "day": "Caturday"})", "\"day\""},
        {R"({"playlist": "x", "startTime": "25:00"})", "\"startTime\""},
        {R"({"playlist": "x", "endTime": "12:60:00"})", "\"endTime\""},
        {R"({"playlist": "x", "startTime": "7pm"})", "\"startTime\""},
        {R"({"playlist": "x", "startDate": "2024-02-30"})", "\"startDate\""},
        {R"({"playlist": "x", "endDate": "2024-13-01"})", "\"endDate\""},
        {R"({"playlist": "x", "endDate": "2024-2-3"})", "\"endDate\""},
        {R"({"playlist": "x", "stopType": 3})", "\"stopType\""},
        {R"({"playlist": "x", "stopType": 18446744073709551615})", "\"stopType\""},
        {R"({"playlist": "x", "repeat": 1.5})", "\"repeat\""},
        {R"({"playlist": "x", "startTimeOffset": 2000})", "\"startTimeOffset\""},
    };
    for (const auto& b : bad) {
        log.clear();
        Json::Value v = Parse(b.first);
        if (v.isArray()) v = v[0];
        ScheduleEntry e;
        EXPECT_FALSE(e.LoadFromJson(v, 4)) << b.first;
        ASSERT_EQ(1u, log.size()) << b.first;
        EXPECT_NE(std::string::npos, log[0].find("entry 4")) << log[0];
        EXPECT_NE(std::string::npos, log[0].find(b.second)) << log[0];
    }
    ScheduleEntry ok;
    for (const char* good : {R"({"playlist": "x", "startDate": "2024-02-29", "endTime": "24:00:00"})",
                             R"({"playlist": "x", "startDate": "0000-00-15", "day": 65792})"}) {
        Json::Value v = Parse(good);
        EXPECT_TRUE(ok.LoadFromJson(v, 0)) << good;
    }
}

TEST_F(EntryTest, OccurrencesKeepWallClockTimeAcrossMidnightNewYearAndDaylightSaving) {
    struct Case {
        const char* tz;
        time_t now;
        int offset;  // days from this week's Sunday
        const char *start, *end;
        time_t wantStart, wantEnd;
    };
    SetTZ("America/New_York");
    const time_t nyNewYear = Local(2024, 12, 30, 12);  // Monday; the week began 29 Dec
    const time_t nySpring = Local(2024, 3, 6, 12);     // clocks go forward 10 Mar 02:00
    const time_t nyFall = Local(2024, 10, 30, 12);     // clocks go back 3 Nov 02:00
    const Case cases[] = {
        {"America/New_York", nyNewYear, 2, "17:00:00", "01:00:00", Local(2024, 12, 31, 17),
         Local(2025, 1, 1, 1)},
        {"America/New_York", nySpring, 6, "22:00:00", "04:00:00", Local(2024, 3, 9, 22),
         Local(2024, 3, 10, 4)},
        {"America/New_York", nySpring, 7, "19:00:00", "23:00:00", Local(2024, 3, 10, 19),
         Local(2024, 3, 10, 23)},
        {"America/New_York", nyFall, 6, "22:00:00", "04:00:00", Local(2024, 11, 2, 22),
         Local(2024, 11, 3, 4)},
        // 02:30 does not exist on the spring-forward night: the jump itself (07:00 UTC).
        {"America/New_York", nySpring, 7, "02:30:00", "05:00:00", 1710054000, Local(2024, 3, 10, 5)},
        // 01:30 happens twice on the fall-back night: the first (EDT, 05:30 UTC).
        {"America/New_York", nyFall, 7, "01:30:00", "03:00:00", 1730611800, Local(2024, 11, 3, 3)},
        {"America/New_York", nySpring, 3, "18:00:00", "18:00:00", Local(2024, 3, 6, 18),
         Local(2024, 3, 7, 18)},
    };
    for (const auto& c : cases) {
        ScheduleEntry e;
        Json::Value v = Parse(std::string(R"({"playlist": "x", "startTime": ")") + c.start +
                              R"(", "endTime": ")" + c.end + "\"}");
        ASSERT_TRUE(e.LoadFromJson(v, 0));
        ScheduleContext ctx;
        ctx.now = c.now;
        int delta = 0;
        e.pushStartEndTimes(ctx, c.offset, delta, 0);
        ASSERT_EQ(1u, e.startEndTimes.size()) << c.start;
        EXPECT_EQ(c.wantStart, e.startEndTimes[0].first) << c.start << " day " << c.offset;
        EXPECT_EQ(c.wantEnd, e.startEndTimes[0].second) << c.end << " day " << c.offset;
    }
    // Berlin's spring-forward night lasts an hour less: 22:00-04:00 is five real hours.
    SetTZ("Europe/Berlin");
    ScheduleEntry e;
    Json::Value v = Parse(R"({"playlist": "x", "startTime": "22:00:00", "endTime": "04:00:00"})");
    ASSERT_TRUE(e.LoadFromJson(v, 0));
    ScheduleContext ctx;
    ctx.now = Local(2024, 3, 27, 12);
    int delta = 0;
    e.pushStartEndTimes(ctx, 6, delta, 0);
    ASSERT_EQ(1u, e.startEndTimes.size());
    EXPECT_EQ(5 * 3600, e.startEndTimes[0].second - e.startEndTimes[0].first);
}

TEST_F(EntryTest, ExtensionShiftsOnlyOccurrencesInsideItsWindow) {
    Json::Value v = Parse(R"({"playlist": "x", "startTime": "19:00:00", "endTime": "21:00:00"})");
    ScheduleEntry e;
    ASSERT_TRUE(e.LoadFromJson(v, 0));
    ScheduleContext ctx;
    const time_t wed = Local(2024, 7, 17, 18, 30);
    ctx.now = wed;
    int delta = 600;
    e.pushStartEndTimes(ctx, 3, delta, static_cast<int>(wed + 3600));  // starts in 30 min: moves
    e.pushStartEndTimes(ctx, 4, delta, static_cast<int>(wed + 3600));  // tomorrow: stays
    ctx.now = Local(2024, 7, 17, 20);
    e.pushStartEndTimes(ctx, 3, delta, static_cast<int>(ctx.now + 60));  // under way: unchanged
    ASSERT_EQ(3u, e.startEndTimes.size());
    EXPECT_EQ(Local(2024, 7, 17, 19, 10), e.startEndTimes[0].first);
    EXPECT_EQ(Local(2024, 7, 17, 21, 10), e.startEndTimes[0].second);
    EXPECT_EQ(Local(2024, 7, 18, 19), e.startEndTimes[1].first);
    EXPECT_EQ(Local(2024, 7, 17, 19), e.startEndTimes[2].first);
    EXPECT_EQ(Local(2024, 7, 17, 21), e.startEndTimes[2].second);
    e.pushStartEndTimes(ctx, 3, delta, static_cast<int>(ctx.now - 1));  // window closed
    EXPECT_EQ(0, delta);
    EXPECT_EQ(Local(2024, 7, 17, 21), e.startEndTimes[3].second);
}

TEST_F(EntryTest, SunTimesNeedALocationAndFollowTheSun) {
    Json::Value v = Parse(R"({"playlist": "x", "startTime": "SunSet", "startTimeOffset": 30,
        "endTime": "SunRise"})");
    ScheduleEntry e;
    ASSERT_TRUE(e.LoadFromJson(v, 0));
    ScheduleContext ctx;
    ctx.now = Local(2024, 6, 19, 12);  // Wednesday
    int delta = 0;
    e.pushStartEndTimes(ctx, 4, delta, 0);
    e.pushStartEndTimes(ctx, 5, delta, 0);
    EXPECT_TRUE(e.startEndTimes.empty());
    EXPECT_EQ(1, LogCount("Latitude and Longitude"));

    SetSetting("Latitude", "40.7128");
    SetSetting("Longitude", "-74.0060");
    ctx = ScheduleContext::FromSettings(ctx.now);
    e.pushStartEndTimes(ctx, 4, delta, 0);
    ASSERT_EQ(1u, e.startEndTimes.size());
    EXPECT_EQ(ComputeSunTime(SunEvent::SunSet, 2024, 6, 20, 40.7128, -74.006).when + 1800,
              e.startEndTimes[0].first);
    // An overnight show: sunset to the next morning's sunrise.
    EXPECT_EQ(ComputeSunTime(SunEvent::SunRise, 2024, 6, 21, 40.7128, -74.006).when,
              e.startEndTimes[0].second);
}

// Tromsø: no sunset in June, no sunrise in December.
TEST_F(EntryTest, PolarDaysUseTheSunsClosestApproach) {
    SetTZ("Europe/Oslo");
    ScheduleContext ctx;
    ctx.haveLocation = true, ctx.latitude = 69.6496, ctx.longitude = 18.956;
    auto occurrences = [&](const char* start, const char* end, time_t now) {
        Json::Value v = Parse(std::string(R"({"playlist": "x", "startTime": ")") + start +
                              R"(", "endTime": ")" + end + "\"}");
        ScheduleEntry e;
        EXPECT_TRUE(e.LoadFromJson(v, 0));
        ctx.now = now;
        int delta = 0;
        e.pushStartEndTimes(ctx, 5, delta, 0);  // Friday
        return e.startEndTimes;
    };
    const time_t june = Local(2024, 6, 19, 12), december = Local(2024, 12, 18, 12);
    // Sunset would be at solar midnight, after the 23:00 end: no show rather than a day-long one.
    EXPECT_TRUE(occurrences("SunSet", "23:00:00", june).empty());
    // A morning end under the midnight sun ends at solar midnight.
    auto evening = occurrences("18:00:00", "SunRise", june);
    ASSERT_EQ(1u, evening.size());
    EXPECT_NEAR(static_cast<double>(evening[0].second),
                static_cast<double>(ComputeSolarNoon(2024, 6, 22, 18.956) - 12 * 3600), 60);
    // In the polar night "sunset" is solar noon: the show runs through the dark afternoon.
    auto winter = occurrences("SunSet", "23:00:00", december);
    ASSERT_EQ(1u, winter.size());
    EXPECT_NEAR(static_cast<double>(winter[0].first),
                static_cast<double>(ComputeSolarNoon(2024, 12, 20, 18.956)), 60);
    EXPECT_EQ(Local(2024, 12, 20, 23), winter[0].second);
}

}  // namespace
