#include "SunTimes.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kUnixEpochJD = 2440587.5;

double Rad(double deg) {
    return deg * kPi / 180.0;
}
double Deg(double rad) {
    return rad * 180.0 / kPi;
}

// Julian day at 0h UTC of a Gregorian calendar date.
double JulianDay(int year, int month, int day) {
    if (month <= 2) {
        year -= 1;
        month += 12;
    }
    int a = year / 100;
    int b = 2 - a + a / 4;
    return std::floor(365.25 * (year + 4716)) + std::floor(30.6001 * (month + 1)) + day + b - 1524.5;
}

struct SolarPosition {
    double declination;     // radians
    double equationOfTime;  // minutes
};

SolarPosition PositionAt(double jd) {
    double t = (jd - 2451545.0) / 36525.0;
    double l0 = std::fmod(280.46646 + t * (36000.76983 + t * 0.0003032), 360.0);
    double m = 357.52911 + t * (35999.05029 - 0.0001537 * t);
    double e = 0.016708634 - t * (0.000042037 + 0.0000001267 * t);
    double mr = Rad(m);
    double c = std::sin(mr) * (1.914602 - t * (0.004817 + 0.000014 * t)) +
               std::sin(2 * mr) * (0.019993 - 0.000101 * t) + std::sin(3 * mr) * 0.000289;
    double omega = Rad(125.04 - 1934.136 * t);
    double apparentLong = Rad(l0 + c - 0.00569 - 0.00478 * std::sin(omega));
    double meanObliquity =
        23.0 + (26.0 + (21.448 - t * (46.815 + t * (0.00059 - t * 0.001813))) / 60.0) / 60.0;
    double obliquity = Rad(meanObliquity + 0.00256 * std::cos(omega));

    SolarPosition p;
    p.declination = std::asin(std::sin(obliquity) * std::sin(apparentLong));
    double y = std::tan(obliquity / 2) * std::tan(obliquity / 2);
    double l0r = Rad(l0);
    p.equationOfTime = 4.0 * Deg(y * std::sin(2 * l0r) - 2 * e * std::sin(mr) +
                                 4 * e * y * std::sin(mr) * std::cos(2 * l0r) -
                                 0.5 * y * y * std::sin(4 * l0r) - 1.25 * e * e * std::sin(2 * mr));
    return p;
}

// Minutes after 0h UTC of the sun's transit, with the position evaluated at
// `minutes` after 0h UTC.
double NoonMinutes(double jd0, double longitude, double minutes) {
    return 720.0 - 4.0 * longitude - PositionAt(jd0 + minutes / 1440.0).equationOfTime;
}

time_t ToEpoch(double jd0, double minutes) {
    return static_cast<time_t>(std::llround((jd0 - kUnixEpochJD) * 86400.0 + minutes * 60.0));
}

}  // namespace

time_t ComputeSolarNoon(int year, int month, int day, double longitude) {
    double jd0 = JulianDay(year, month, day);
    double noon = 720.0 - 4.0 * longitude;
    for (int i = 0; i < 3; i++) noon = NoonMinutes(jd0, longitude, noon);
    return ToEpoch(jd0, noon);
}

SunTime ComputeSunTime(SunEvent event, int year, int month, int day, double latitude, double longitude) {
    bool morning = (event == SunEvent::SunRise || event == SunEvent::Dawn);
    double zenith = Rad((event == SunEvent::SunRise || event == SunEvent::SunSet) ? 90.833 : 96.0);
    double jd0 = JulianDay(year, month, day);
    double lat = Rad(latitude);

    double noon = 720.0 - 4.0 * longitude;
    for (int i = 0; i < 3; i++) noon = NoonMinutes(jd0, longitude, noon);

    // Refine: the sun's declination and the equation of time are taken at
    // the event itself rather than at noon.
    SunTime result;
    double minutes = noon;
    for (int i = 0; i < 4; i++) {
        SolarPosition p = PositionAt(jd0 + minutes / 1440.0);
        double cosHA = std::cos(zenith) / (std::cos(lat) * std::cos(p.declination)) -
                       std::tan(lat) * std::tan(p.declination);
        double eventNoon = 720.0 - 4.0 * longitude - p.equationOfTime;
        if (cosHA > 1.0) {  // sun below the event altitude all day
            result.crossed = false;
            minutes = noon;
            break;
        }
        if (cosHA < -1.0) {  // sun above it all day
            result.crossed = false;
            minutes = morning ? noon - 720.0 : noon + 720.0;
            break;
        }
        double ha = 4.0 * Deg(std::acos(cosHA));
        minutes = morning ? eventNoon - ha : eventNoon + ha;
    }
    result.when = ToEpoch(jd0, minutes);
    return result;
}
