// The table of known systems: this system's own addresses (local records)
// and every other system seen by ping or found by HTTP probing (remote
// records), plus the pure helpers of discovery: channel-range text, address
// range expansion and host matching.
//
// Threading: LockstepSystemTable guards both lists with one recursive mutex
// (UpdateSystem may run inside code that already holds it); lock() exposes it
// for callers that walk records and call back in.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "LockstepModel.h"

class LockstepSystem {
public:
    uint32_t lastSeen = 0;
    std::string lastSeenStr;
    bool lockstepCapable = false;
    LockstepSystemType type = kSysTypeUnknown;
    unsigned int majorVersion = 0;
    unsigned int minorVersion = 0;
    int lyrMode = 0;
    bool lockstep = false;
    std::string address;
    std::string hostname;
    std::string version;
    std::string model;
    std::string channelRanges;
    std::string uuid;
    uint8_t octets[4] = {0, 0, 0, 0};

    // "HostDescription" is added for local records only.
    Json::Value toJSON(bool local, bool timestamps) const;

    // Refreshes the record from a ping (capable) or an HTTP probe (not
    // capable); a probe never overwrites what a ping said, except the uuid.
    void update(LockstepSystemType type, unsigned int majorVersion, unsigned int minorVersion, int lyrMode,
                const std::string& address, const std::string& hostname, const std::string& version,
                const std::string& model, const std::string& ranges, const std::string& uuid, bool capable,
                bool lockstep);

    // Fills octets from address; a name is resolved and replaces address.
    void setOctets();
};

// What UpdateSystem is given.
struct LockstepSystemInfo {
    LockstepSystemType type = kSysTypeUnknown;
    unsigned int majorVersion = 0;
    unsigned int minorVersion = 0;
    int lyrMode = 0;
    std::string address;
    std::string hostname;
    std::string version;
    std::string model;
    std::string ranges;
    std::string uuid;
    bool capable = false;
    bool lockstep = false;
};

class LockstepSystemTable {
public:
    // Remote records kept at most.  Every ping with a new address or host
    // name makes a record that lives two hours, so without a bound one host
    // sending made-up pings would grow the table (and the scan each ping
    // does) without end; no show network comes near this many systems.
    static constexpr size_t MAX_REMOTE_SYSTEMS = 4096;

    std::recursive_mutex& lock() { return mutex; }

    // Creates or refreshes records; `resolved` is the address looked up
    // (equal to info.address when it was already dotted).
    void UpdateSystem(const LockstepSystemInfo& info, const std::string& resolved, uint32_t now);

    // Appends a local record for `address` unless one holds it; true when added.
    bool AddLocal(const LockstepSystem& templ, const std::string& address);
    bool IsLocalAddress(const std::string& address);
    bool IsLocalHostOrAddress(const std::string& item);
    // Host name of the remote record with `address`, "" when none.
    std::string RemoteHostName(const std::string& address);

    // Outcome of one expiry walk.
    struct ExpiryResult {
        std::vector<LockstepSystem> toPing;  // quiet for 80 minutes: ping (capable) or probe
        std::vector<std::string> removed;    // quiet for two hours: dropped
        bool rediscover = false;             // a dropped one was quiet for ten hours
    };
    ExpiryResult Expire(uint32_t now);
    void TouchLocal(uint32_t now);
    void SetLocalRanges(const std::string& ranges);

    std::vector<LockstepSystem> LocalSystems();
    std::vector<LockstepSystem> RemoteSystems();
    // {"systems": [...]}: locals first, with `localRanges` as their ranges.
    Json::Value ToJSON(bool localOnly, bool timestamps, const std::string& localRanges);
    void ClearRemotes();

private:
    std::recursive_mutex mutex;
    std::vector<LockstepSystem> localSystems;
    std::vector<LockstepSystem> remoteSystems;
    uint32_t lastFullWarning = 0;
};

// (start channel, channel count) pairs as "a-b,c-d", merging the closest
// neighbours while the text is longer than maxLength.
std::string createRanges(std::vector<std::pair<int, int>> ranges, int maxLength);
// Parses "1-512,513-1024" style text (the channel-output layer's form) into pairs.
std::vector<std::pair<int, int>> ParseOutputRanges(const std::string& text);

// Any list item equals the local host name or a local record's address or name.
bool MyHostMatches(const std::string& hostList, const std::string& localHostName,
                   const std::vector<LockstepSystem>& localSystems);

// Largest number of addresses one "a.b.c.d/n" item may expand to.
constexpr uint32_t LOCKSTEP_MAX_SUBNET_HOSTS = 65534;

// Expands a "LockstepHTTPSubnets" style list: "p.[1-3,7]s" lists, "a.b.c.d/n"
// ranges and plain names.  `resolve` turns a name into a dotted address (""
// when it fails).  Items that would expand too far or do not parse are
// skipped with a warning.  Names end up in `named`.
std::set<std::string> ExpandHTTPSubnets(const std::string& spec, std::set<std::string>& named,
                                        const std::function<std::string(const std::string&)>& resolve);

// Dotted IPv4 of a host name or address, "" when the lookup fails.
std::string ResolveHostToIPv4(const std::string& host);
