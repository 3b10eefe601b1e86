#include "platform/Effects.h"

#include "platform/Logging.h"

void InitEffects() {}
void CloseEffects() {}

int StartEffect(const std::string& name, int startChannel, int loop, bool background) {
    LogWarn(VB_EFFECT, "Unable to start effect '%s': effect playback is not available\n", name.c_str());
    return -1;
}

bool StopEffect(const std::string& name) { return false; }
bool StopEffect(int id) { return false; }
void StopAllEffects() {}
std::string GetRunningEffects() { return ""; }
