// Per-source packet statistics of the receiving side.
//
// Records are handed out as shared pointers: a handler keeps the record it
// was given alive while it counts, even when a reset empties the table on an
// HTTP thread at the same moment.  Counters are atomics, so the HTTP threads
// may list them while the main loop counts.
//
// Threading: LockstepStatsTable takes its own recursive mutex in every call.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class LockstepStats {
public:
    LockstepStats(const std::string& sourceAddress, const std::string& hostName);

    Json::Value toJSON() const;

    const std::string sourceIP;
    const std::string hostname;
    std::atomic<uint32_t> lastReceiveTime{0};

    std::atomic<uint32_t> pktCommand{0};
    std::atomic<uint32_t> pktSyncSeqOpen{0};
    std::atomic<uint32_t> pktSyncSeqStart{0};
    std::atomic<uint32_t> pktSyncSeqStop{0};
    std::atomic<uint32_t> pktSyncSeqSync{0};
    std::atomic<uint32_t> pktSyncMedOpen{0};
    std::atomic<uint32_t> pktSyncMedStart{0};
    std::atomic<uint32_t> pktSyncMedStop{0};
    std::atomic<uint32_t> pktSyncMedSync{0};
    std::atomic<uint32_t> pktBlank{0};
    std::atomic<uint32_t> pktPing{0};
    std::atomic<uint32_t> pktPlugin{0};
    std::atomic<uint32_t> pktLyrCommand{0};
    std::atomic<uint32_t> pktError{0};
};

// Local time "YYYY-MM-DD HH:MM:SS" of seconds since the epoch.
std::string LockstepTimeString(uint32_t seconds);

class LockstepStatsTable {
public:
    // The record of `address`, made with the name `hostNameOf` gives when
    // there is none yet; its receive time becomes `now`.
    std::shared_ptr<LockstepStats> Touch(const std::string& address,
                                         const std::function<std::string()>& hostNameOf, uint32_t now);
    // Records in address order, as a JSON array.
    Json::Value ToJSON();
    void Reset();
    size_t size();

private:
    std::recursive_mutex lock;
    std::map<std::string, std::shared_ptr<LockstepStats>> records;
};
