// Sunrise, sunset and civil twilight for a place and a calendar date, from
// the NOAA solar-position equations (after Meeus).  Accurate to well within a
// minute at latitudes below the polar circles for years 1900-2100.
//
// Which day: the event belongs to the solar day whose noon falls on the given
// calendar date at the given longitude (for a place whose time zone roughly
// matches its longitude that is the local date).
//
// Polar days: when the sun does not cross the event's altitude on that date,
// the event is placed at the moment the sun comes closest to it - solar
// midnight when the sun stays above it (midnight sun: sunset and dusk at the
// solar midnight after noon, sunrise and dawn at the one before) and solar noon
// when it stays below (polar night: all four at noon).  `crossed` is false
// then.
//
// Threading: pure functions.
#pragma once

#include <ctime>

enum class SunEvent { SunRise, SunSet, Dawn, Dusk };

struct SunTime {
    time_t when = 0;      // seconds since the epoch
    bool crossed = true;  // false: polar fallback, see above
};

// latitude north positive, longitude east positive, in degrees.
SunTime ComputeSunTime(SunEvent event, int year, int month, int day, double latitude, double longitude);

// Solar noon (the sun's transit) as seconds since the epoch.
time_t ComputeSolarNoon(int year, int month, int day, double longitude);
