// Placeholder bodies while the solar calculator is being built.
#include "SunTimes.h"

SunTime ComputeSunTime(SunEvent, int, int, int, double, double) { return SunTime(); }
time_t ComputeSolarNoon(int, int, int, double) { return 0; }
