// Stand-in overlay manager.
#pragma once

#include <cstdint>

class GlazeManager {
public:
    static GlazeManager INSTANCE;
    void Initialize() {}
    bool hasActiveOverlays() { return false; }
    // Called by the channel-output thread once per frame.
    void doOverlays(uint8_t* channels) {}
};
