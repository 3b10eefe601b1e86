#include "mediaoutput/MediaOutput.h"

#include <algorithm>

static MediaOutputStatus statusStore;
MediaOutputStatus* mediaOutputStatus = &statusStore;
MediaOutputBase* mediaOutput = nullptr;
std::recursive_mutex mediaOutputLock;
static int volume = 70;

void InitMediaOutput() {}
void CleanupMediaOutput() {}
int setVolume(int v) {
    volume = std::max(0, std::min(100, v));
    return volume;
}
int getVolume() { return volume; }
MediaOutputBase* CreateMediaOutput(const std::string& mediaFilename, const std::string& videoOut) { return nullptr; }
bool IsExtensionAudio(const std::string& ext) { return false; }
bool IsExtensionVideo(const std::string& ext) { return false; }
std::string ResolveVideoOutput(const std::string& videoOut) { return "--Disabled--"; }
bool OpenMediaOutput(const std::string& filename) { return false; }
bool StartMediaOutput(const std::string& filename) { return false; }
bool StartMediaOutputAt(const std::string& filename, int msTime) { return false; }
void CloseMediaOutput() {}
bool MatchesRunningMediaFilename(const std::string& filename) { return false; }
void UpdateMasterMediaPosition(const std::string& filename, float seconds) {}
void ResetMediaOutputForTesting() {}
