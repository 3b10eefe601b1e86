#include <gtest/gtest.h>

#include <cstdlib>

#include "SunTimes.h"

namespace {

time_t Utc(int y, int mo, int d, int h, int mi) {
    struct tm t = {};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi;
    return timegm(&t);
}

struct Published {
    const char* place;
    double lat, lon;
    int y, mo, d;
    int riseH, riseM, setH, setM;  // UTC, from the almanac's local times
};

// Times as printed in published rise/set tables (local times in the names), in UTC.
TEST(SunTimes, MatchesPublishedTablesWithinAMinute) {
    const Published rows[] = {
        {"New York, 20 Jun 2024 (05:25 / 20:31 EDT)", 40.7128, -74.0060, 2024, 6, 20, 9, 25, 0, 31},
        {"New York, 21 Dec 2024 (07:17 / 16:32 EST)", 40.7128, -74.0060, 2024, 12, 21, 12, 17, 21, 32},
        {"London, 20 Jun 2024 (04:43 / 21:21 BST)", 51.5074, -0.1278, 2024, 6, 20, 3, 43, 20, 21},
        {"Berlin, 21 Jun 2024 (04:43 / 21:33 CEST)", 52.52, 13.405, 2024, 6, 21, 2, 43, 19, 33},
        {"Sydney, 21 Dec 2024 (05:41 / 20:05 AEDT)", -33.8688, 151.2093, 2024, 12, 21, 18, 41, 9, 5},
    };
    for (const auto& r : rows) {
        SunTime rise = ComputeSunTime(SunEvent::SunRise, r.y, r.mo, r.d, r.lat, r.lon);
        SunTime set = ComputeSunTime(SunEvent::SunSet, r.y, r.mo, r.d, r.lat, r.lon);
        // Sydney's sunrise falls on the previous UTC date; New York's sunset on the next.
        time_t wantRise = Utc(r.y, r.mo, r.d, r.riseH, r.riseM) - (r.lon > 100 ? 86400 : 0);
        time_t wantSet = Utc(r.y, r.mo, r.d, r.setH, r.setM) + (r.setH < 6 && r.lon < -50 ? 86400 : 0);
        EXPECT_LE(std::labs(rise.when - wantRise), 60) << r.place;
        EXPECT_LE(std::labs(set.when - wantSet), 60) << r.place;
        EXPECT_TRUE(rise.crossed && set.crossed) << r.place;
        // Civil twilight brackets the day by roughly half an hour at these latitudes.
        time_t dawn = ComputeSunTime(SunEvent::Dawn, r.y, r.mo, r.d, r.lat, r.lon).when;
        time_t dusk = ComputeSunTime(SunEvent::Dusk, r.y, r.mo, r.d, r.lat, r.lon).when;
        EXPECT_GT(rise.when - dawn, 25 * 60) << r.place;
        EXPECT_LT(rise.when - dawn, 55 * 60) << r.place;
        EXPECT_GT(dusk - set.when, 25 * 60) << r.place;
        EXPECT_LT(dusk - set.when, 55 * 60) << r.place;
    }
}

// Tromsø: midnight sun in June, polar night in December.
TEST(SunTimes, PolarDatesFallBackToTheSunsClosestApproach) {
    const double lat = 69.6496, lon = 18.956;
    time_t noon = ComputeSolarNoon(2024, 6, 21, lon);
    SunTime set = ComputeSunTime(SunEvent::SunSet, 2024, 6, 21, lat, lon);
    SunTime rise = ComputeSunTime(SunEvent::SunRise, 2024, 6, 21, lat, lon);
    EXPECT_FALSE(set.crossed);
    EXPECT_NEAR(static_cast<double>(set.when - noon), 12 * 3600, 60);
    EXPECT_NEAR(static_cast<double>(noon - rise.when), 12 * 3600, 60);
    EXPECT_FALSE(ComputeSunTime(SunEvent::Dusk, 2024, 6, 21, lat, lon).crossed);

    time_t winterNoon = ComputeSolarNoon(2024, 12, 21, lon);
    SunTime winterRise = ComputeSunTime(SunEvent::SunRise, 2024, 12, 21, lat, lon);
    EXPECT_FALSE(winterRise.crossed);
    EXPECT_NEAR(static_cast<double>(winterRise.when), static_cast<double>(winterNoon), 60);
    // Civil twilight still comes in the polar night at this latitude.
    SunTime dawn = ComputeSunTime(SunEvent::Dawn, 2024, 12, 21, lat, lon);
    EXPECT_TRUE(dawn.crossed);
    EXPECT_LT(dawn.when, winterNoon);
    // Solar noon in Tromsø is close to 10:45 UTC.
    EXPECT_NEAR(static_cast<double>(winterNoon), static_cast<double>(Utc(2024, 12, 21, 10, 42)), 180);
}

}  // namespace
