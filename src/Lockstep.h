// Stand-in sync subsystem: replaced by the lockstep implementation.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

class Lockstep {
public:
    bool Init() { return true; }
    void ShutdownSync() {}
    Json::Value GetSystems(bool localOnly, bool timestamps);
    void ProcessControlPacket(bool pingOnly) {}
    void PeriodicPing() {}
    void Discover() {}
    int GetReceiveSocket() const { return -1; }

    // Master-side reports from the sequence player and media outputs.
    void SendSeqOpenPacket(const std::string& filename) {}
    void SendSeqSyncStartPacket(const std::string& filename) {}
    void SendSeqSyncStopPacket(const std::string& filename) {}
    void SendSeqSyncPacket(const std::string& filename, int frames, float seconds) {}
    void SendMediaOpenPacket(const std::string& filename) {}
    void SendMediaSyncStartPacket(const std::string& filename) {}
    void SendMediaSyncStopPacket(const std::string& filename) {}
    void SendMediaSyncPacket(const std::string& filename, float seconds) {}
    void SendBlankingDataPacket() {}
    void SendPluginData(const std::string& name, const uint8_t* data, int len) {}
    void SendLyrCommandPacket(const std::string& host, const std::string& command,
                              const std::vector<std::string>& args) {}
};

extern Lockstep* lockstep;
