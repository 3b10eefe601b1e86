#include "LockstepSystems.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "LockstepStats.h"
#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

// ---- LockstepSystem ----

Json::Value LockstepSystem::toJSON(bool local, bool timestamps) const {
    Json::Value v;
    v["type"] = GetTypeString(type, local);
    v["typeId"] = static_cast<int>(type);
    if (timestamps) {
        v["lastSeen"] = static_cast<Json::UInt64>(lastSeen);
        v["lastSeenStr"] = lastSeenStr;
    }
    v["majorVersion"] = majorVersion;
    v["minorVersion"] = minorVersion;
    v["uuid"] = uuid;
    v["lyrMode"] = lyrMode;
    v["lockstep"] = lockstep;
    char* modeText = modeToString(lyrMode);
    v["lyrModeString"] = modeText ? modeText : "unknown";
    free(modeText);
    v["address"] = address;
    v["hostname"] = hostname;
    v["version"] = version;
    v["model"] = model;
    v["channelRanges"] = channelRanges;
    v["local"] = local ? 1 : 0;
    v["lockstepCapable"] = lockstepCapable ? 1 : 0;
    if (local) v["HostDescription"] = getSetting("HostDescription");
    return v;
}

void LockstepSystem::update(LockstepSystemType t, unsigned int major, unsigned int minor, int mode,
                            const std::string& addr, const std::string& host, const std::string& ver,
                            const std::string& mdl, const std::string& ranges, const std::string& id,
                            bool capable, bool sendsSync) {
    if (!id.empty() && id != "Unknown") uuid = id;
    if (capable || !lockstepCapable) {
        type = t;
        majorVersion = major;
        minorVersion = minor;
        lyrMode = mode;
        lockstep = sendsSync;
        if (mode == MASTER_MODE) {
            lyrMode = PLAYER_MODE;
            lockstep = true;
        }
        address = addr;
        hostname = host;
        version = ver;
        model = mdl;
        channelRanges = ranges;
        if (capable) lockstepCapable = true;
    }
    setOctets();
}

static bool parseOctets(const std::string& address, uint8_t out[4]) {
    std::vector<std::string> parts = split(address, '.');
    if (parts.size() != 4) return false;
    for (int i = 0; i < 4; i++) {
        const std::string& p = parts[i];
        if (p.empty() || p.size() > 3 || p.find_first_not_of("0123456789") != std::string::npos) return false;
        int n = atoi(p.c_str());
        if (n > 255) return false;
        out[i] = static_cast<uint8_t>(n);
    }
    return true;
}

void LockstepSystem::setOctets() {
    if (parseOctets(address, octets)) return;
    std::string resolved = ResolveHostToIPv4(address);
    if (!resolved.empty() && parseOctets(resolved, octets)) {
        address = resolved;
        return;
    }
    LogWarn(VB_SYNC, "Error looking up hostname: %s\n", address.c_str());
    memset(octets, 0, sizeof(octets));
}

// ---- LockstepSystemTable ----

static bool recordMatches(const LockstepSystem& r, const LockstepSystemInfo& info, const std::string& resolved) {
    bool addressMatches = info.address == r.address || resolved == r.address;
    bool nameMatches = info.hostname == r.hostname || info.address == r.hostname || info.hostname == r.address;
    return addressMatches && nameMatches;
}

static void applyInfo(LockstepSystem& r, const LockstepSystemInfo& info, const std::string& when, uint32_t now) {
    r.update(info.type, info.majorVersion, info.minorVersion, info.lyrMode, info.address, info.hostname,
             info.version, info.model, info.ranges, info.uuid, info.capable, info.lockstep);
    r.lastSeenStr = when;
    r.lastSeen = now;
}

void LockstepSystemTable::UpdateSystem(const LockstepSystemInfo& info, const std::string& resolved,
                                       uint32_t now) {
    std::string when = LockstepTimeString(now);
    std::lock_guard<std::recursive_mutex> l(mutex);
    bool found = false;
    for (auto& r : remoteSystems) {
        if (recordMatches(r, info, resolved)) {
            applyInfo(r, info, when, now);
            found = true;
        }
    }
    for (auto& r : localSystems) {
        if (info.address == r.address && info.hostname == r.hostname) {
            applyInfo(r, info, when, now);
            found = true;
        }
    }
    if (!found && remoteSystems.size() >= MAX_REMOTE_SYSTEMS) {
        if (lastFullWarning == 0 || now - lastFullWarning >= 60) {
            lastFullWarning = now;
            LogWarn(VB_SYNC, "System table full (%d remote systems); not adding %s (%s)\n",
                    static_cast<int>(remoteSystems.size()), info.address.c_str(), info.hostname.c_str());
        }
        return;
    }
    if (!found) {
        LockstepSystem r;
        applyInfo(r, info, when, now);
        remoteSystems.push_back(r);
    }
}

bool LockstepSystemTable::AddLocal(const LockstepSystem& templ, const std::string& address) {
    std::lock_guard<std::recursive_mutex> l(mutex);
    for (const auto& r : localSystems) {
        if (r.address == address) return false;
    }
    LogDebug(VB_SYNC, "Adding Local System Address: %s\n", address.c_str());
    LockstepSystem r = templ;
    r.address = address;
    if (!parseOctets(address, r.octets)) memset(r.octets, 0, sizeof(r.octets));
    localSystems.push_back(r);
    return true;
}

bool LockstepSystemTable::IsLocalAddress(const std::string& address) {
    std::lock_guard<std::recursive_mutex> l(mutex);
    for (const auto& r : localSystems) {
        if (r.address == address) return true;
    }
    return false;
}

bool LockstepSystemTable::IsLocalHostOrAddress(const std::string& item) {
    std::lock_guard<std::recursive_mutex> l(mutex);
    for (const auto& r : localSystems) {
        if (r.address == item || r.hostname == item) return true;
    }
    return false;
}

std::string LockstepSystemTable::RemoteHostName(const std::string& address) {
    std::lock_guard<std::recursive_mutex> l(mutex);
    for (const auto& r : remoteSystems) {
        if (r.address == address) return r.hostname;
    }
    return "";
}

LockstepSystemTable::ExpiryResult LockstepSystemTable::Expire(uint32_t now) {
    ExpiryResult result;
    std::lock_guard<std::recursive_mutex> l(mutex);
    for (auto it = remoteSystems.begin(); it != remoteSystems.end();) {
        if (it->lastSeen < now - 7200) {
            LogInfo(VB_SYNC, "Have not seen %s in over 2 hours, removing\n", it->address.c_str());
            if (it->lastSeen < now - 36000) result.rediscover = true;
            result.removed.push_back(it->address);
            it = remoteSystems.erase(it);
            continue;
        }
        if (it->lastSeen < now - 4800) result.toPing.push_back(*it);
        ++it;
    }
    return result;
}

void LockstepSystemTable::TouchLocal(uint32_t now) {
    std::lock_guard<std::recursive_mutex> l(mutex);
    for (auto& r : localSystems) r.lastSeen = now;
}

void LockstepSystemTable::SetLocalRanges(const std::string& ranges) {
    std::lock_guard<std::recursive_mutex> l(mutex);
    for (auto& r : localSystems) r.channelRanges = ranges;
}

std::vector<LockstepSystem> LockstepSystemTable::LocalSystems() {
    std::lock_guard<std::recursive_mutex> l(mutex);
    return localSystems;
}

std::vector<LockstepSystem> LockstepSystemTable::RemoteSystems() {
    std::lock_guard<std::recursive_mutex> l(mutex);
    return remoteSystems;
}

Json::Value LockstepSystemTable::ToJSON(bool localOnly, bool timestamps, const std::string& localRanges) {
    Json::Value result;
    Json::Value list(Json::arrayValue);
    std::lock_guard<std::recursive_mutex> l(mutex);
    for (auto& r : localSystems) {
        r.channelRanges = localRanges;
        list.append(r.toJSON(true, timestamps));
    }
    if (!localOnly) {
        for (const auto& r : remoteSystems) list.append(r.toJSON(false, timestamps));
    }
    result["systems"] = list;
    return result;
}

void LockstepSystemTable::ClearRemotes() {
    std::lock_guard<std::recursive_mutex> l(mutex);
    remoteSystems.clear();
}

// ---- channel ranges ----

static std::string rangesText(const std::vector<std::pair<int, int>>& r) {
    std::string text;
    for (const auto& p : r) {
        if (!text.empty()) text += ",";
        text += std::to_string(p.first) + "-" + std::to_string(p.first + p.second - 1);
    }
    return text;
}

std::string createRanges(std::vector<std::pair<int, int>> ranges, int maxLength) {
    std::string text = rangesText(ranges);
    while (static_cast<int>(text.size()) > maxLength && ranges.size() > 1) {
        long best = 9999999;
        size_t at = 0;
        for (size_t i = 0; i + 1 < ranges.size(); i++) {
            long end = static_cast<long>(ranges[i].first) + ranges[i].second - 1;
            long gap = ranges[i + 1].first - end;
            if (gap < best) {
                best = gap;
                at = i + 1;
            }
        }
        if (at == 0) break;
        int start = ranges[at - 1].first;
        long end = std::max(static_cast<long>(ranges[at - 1].first) + ranges[at - 1].second,
                            static_cast<long>(ranges[at].first) + ranges[at].second);
        ranges[at - 1].second = static_cast<int>(end - start);
        ranges.erase(ranges.begin() + at);
        text = rangesText(ranges);
    }
    return text;
}

std::vector<std::pair<int, int>> ParseOutputRanges(const std::string& text) {
    std::vector<std::pair<int, int>> out;
    for (auto item : split(text, ',')) {
        TrimWhiteSpace(item);
        size_t dash = item.find('-');
        if (item.empty() || dash == std::string::npos) continue;
        long a = strtol(item.substr(0, dash).c_str(), nullptr, 10);
        long b = strtol(item.substr(dash + 1).c_str(), nullptr, 10);
        if (a <= 0 || b < a || b > INT_MAX) continue;
        out.emplace_back(static_cast<int>(a), static_cast<int>(b - a + 1));
    }
    return out;
}

// ---- host matching ----

bool MyHostMatches(const std::string& hostList, const std::string& localHostName,
                   const std::vector<LockstepSystem>& localSystems) {
    for (const auto& item : split(hostList, ',')) {
        if (item == localHostName) return true;
        for (const auto& r : localSystems) {
            if (item == r.address || item == r.hostname) return true;
        }
    }
    return false;
}

// ---- address ranges ----

std::string ResolveHostToIPv4(const std::string& host) {
    if (host.empty()) return "";
    struct in_addr a;
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) return host;
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    struct addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return "";
    char buf[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(res->ai_addr)->sin_addr, buf, sizeof(buf));
    freeaddrinfo(res);
    return buf;
}

static bool parseDecimal(const std::string& s, long& out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = strtol(s.c_str(), nullptr, 10);
    return true;
}

// "prefix[1-3,7]suffix"; false when the item is not of that form or a part
// does not parse.
static bool expandBracketList(const std::string& item, std::set<std::string>& out) {
    size_t open = item.find('[');
    size_t close = item.find(']', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) return false;
    std::string prefix = item.substr(0, open);
    std::string suffix = item.substr(close + 1);
    std::vector<std::string> generated;
    for (auto part : split(item.substr(open + 1, close - open - 1), ',')) {
        TrimWhiteSpace(part);
        size_t dash = part.find('-');
        long lo, hi;
        if (dash == std::string::npos) {
            if (!parseDecimal(part, lo)) return false;
            hi = lo;
        } else if (!parseDecimal(part.substr(0, dash), lo) || !parseDecimal(part.substr(dash + 1), hi)) {
            return false;
        }
        if (hi < lo || hi - lo >= static_cast<long>(LOCKSTEP_MAX_SUBNET_HOSTS)) return false;
        for (long n = lo; n <= hi; n++) {
            std::string address = prefix + std::to_string(n) + suffix;
            // A numeric result must be a full dotted quad: "10.[300]" would
            // otherwise reach the resolver as some unrelated address.
            uint8_t octets[4];
            if (address.find_first_not_of("0123456789.") == std::string::npos && !parseOctets(address, octets))
                return false;
            generated.push_back(address);
        }
        if (generated.size() > LOCKSTEP_MAX_SUBNET_HOSTS) return false;
    }
    out.insert(generated.begin(), generated.end());
    return true;
}

static std::string dotted(uint32_t hostOrder) {
    struct in_addr a;
    a.s_addr = htonl(hostOrder);
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof(buf));
    return buf;
}

// "a.b.c.d/n"; false when it cannot be expanded (warned).
static bool expandSubnet(const std::string& item, std::set<std::string>& out) {
    std::vector<std::string> parts = split(item, '/');
    long bits;
    struct in_addr base;
    if (parts.size() != 2 || inet_pton(AF_INET, parts[0].c_str(), &base) != 1 || !parseDecimal(parts[1], bits) ||
        bits > 32) {
        return false;
    }
    uint64_t size = 1ULL << (32 - bits);
    uint64_t count = bits < 31 ? size - 2 : size;
    if (count > LOCKSTEP_MAX_SUBNET_HOSTS) {
        LogWarn(VB_SYNC, "Not probing %s: it spans %llu addresses, more than %u\n", item.c_str(),
                static_cast<unsigned long long>(count), LOCKSTEP_MAX_SUBNET_HOSTS);
        return true;
    }
    uint32_t start = ntohl(base.s_addr) + (bits < 31 ? 1 : 0);
    for (uint64_t i = 0; i < count; i++) {
        uint64_t a = static_cast<uint64_t>(start) + i;
        if (a > 0xFFFFFFFFULL) break;  // never wrap past 255.255.255.255
        out.insert(dotted(static_cast<uint32_t>(a)));
    }
    return true;
}

// Splits on "," except inside "[...]", where the commas belong to a list.
static std::vector<std::string> splitOutsideBrackets(const std::string& spec) {
    std::vector<std::string> items(1);
    int depth = 0;
    for (char c : spec) {
        if (c == '[') depth++;
        if (c == ']' && depth > 0) depth--;
        if (c == ',' && depth == 0) {
            items.emplace_back();
        } else {
            items.back() += c;
        }
    }
    return items;
}

std::set<std::string> ExpandHTTPSubnets(const std::string& spec, std::set<std::string>& named,
                                        const std::function<std::string(const std::string&)>& resolve) {
    std::set<std::string> out;
    for (auto item : splitOutsideBrackets(spec)) {
        TrimWhiteSpace(item);
        if (item.empty()) continue;
        if (item.find('[') != std::string::npos) {
            if (!expandBracketList(item, out)) LogWarn(VB_SYNC, "Could not expand address list %s\n", item.c_str());
            continue;
        }
        if (item.find('/') != std::string::npos) {
            if (expandSubnet(item, out)) continue;
            std::vector<std::string> parts = split(item, '/');
            if (parts.size() != 2) {
                if (!parts.empty() && !parts[0].empty()) out.insert(parts[0]);
                continue;
            }
            LogWarn(VB_SYNC, "Could not expand address range %s\n", item.c_str());
            continue;
        }
        std::string resolved = resolve ? resolve(item) : item;
        if (resolved.empty()) {
            LogWarn(VB_SYNC, "Could not resolve %s for discovery\n", item.c_str());
            continue;
        }
        if (startsWith(resolved, "127") && resolved.size() > 3) continue;
        out.insert(resolved);
        named.insert(resolved);
    }
    return out;
}
