// Stand-in overlay manager.
#pragma once

class GlazeManager {
public:
    static GlazeManager INSTANCE;
    void Initialize() {}
    bool hasActiveOverlays() { return false; }
};
