// Crash reports and usage statistics.
#pragma once

#include <string>

void handleCrash(int sig);
void PublishStatsBackground(std::string reason);
void PublishStatsForce(std::string reason);
