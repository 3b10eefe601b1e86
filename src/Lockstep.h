// Stand-in sync subsystem: replaced by the lockstep implementation.
#pragma once

#include <json/json.h>

class Lockstep {
public:
    bool Init() { return true; }
    void ShutdownSync() {}
    Json::Value GetSystems(bool localOnly, bool timestamps);
    void ProcessControlPacket(bool pingOnly) {}
    void PeriodicPing() {}
    void Discover() {}
    int GetReceiveSocket() const { return -1; }
};

extern Lockstep* lockstep;
