// Crash reports and usage statistics.
//
// handleCrash is the handler for SIGFPE, SIGILL, SIGBUS, SIGSEGV, SIGQUIT and
// SIGUSR1 (installed by setupExceptionHandlers in lyrd.cpp).  It writes stack
// traces to "/tmp/lyrd_crash.log", packs an archive into the media
// directory's "crashes" folder by the "ShareCrashData" level, and uploads it
// only when the "CrashReportServer" setting names a server.  The fatal
// signals end the process; SIGQUIT and SIGUSR1 end the main loop in order.
//
// PublishStatsBackground is called from the main loop only; it publishes at
// most once per 10 days, on a detached thread, when "statsPublish" is
// "Enabled".
#pragma once

#include <string>

void handleCrash(int sig);
void PublishStatsBackground(std::string reason);
void PublishStatsForce(std::string reason);

// Pieces of the crash report, exposed for tests.
namespace crash {
// Deletes archives in name order while more than `keep` remain.
void RotateArchives(const std::string& dir, size_t keep);
// The zip command line for a ShareCrashData level (1, 2, 3 or more).
std::string ZipCommand(const std::string& archive, int level);
// Reset the 10-day limit (tests only).
void ResetStatsClockForTesting();
}  // namespace crash
