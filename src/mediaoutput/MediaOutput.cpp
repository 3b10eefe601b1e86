#include "mediaoutput/MediaOutput.h"

#include <algorithm>

static MediaOutputStatus statusStore;
MediaOutputStatus* mediaOutputStatus = &statusStore;
static int volume = 70;

void InitMediaOutput() {}
void CleanupMediaOutput() {}
int setVolume(int v) {
    volume = std::max(0, std::min(100, v));
    return volume;
}
int getVolume() { return volume; }
