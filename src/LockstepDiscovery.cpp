// Discovery: local records, pings, the system table, HTTP probing, and the
// JSON the HTTP API shows.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <string.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>

#include "Lockstep.h"
#include "common.h"
#include "platform/Logging.h"
#include "platform/Version.h"
#include "settings.h"

// Transfers in flight at once during HTTP discovery: a /16 must not open
// tens of thousands of sockets and handles together.
static constexpr size_t MAX_HTTP_TRANSFERS = 128;

static void versionNumbers(unsigned int& major, unsigned int& minor) {
    std::vector<std::string> parts = split(getLyrVersionTriplet(), '.');
    major = parts.size() > 0 ? static_cast<unsigned>(strtoul(parts[0].c_str(), nullptr, 10)) : 0;
    minor = parts.size() > 1 ? static_cast<unsigned>(strtoul(parts[1].c_str(), nullptr, 10)) : 0;
}

static std::vector<std::string> interfaceAddresses() {
    std::vector<std::string> out;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (struct ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name) continue;
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, buf, sizeof(buf));
        if (strncmp(i->ifa_name, "usb", 3) == 0 || !isSupportedForLockstep(buf, i->ifa_name)) continue;
        out.push_back(buf);
    }
    freeifaddrs(list);
    return out;
}

static std::vector<std::string> localAddressList() {
    std::vector<std::string> addresses;
    if (FileExists("/.dockerenv")) {
        const char* docker = getenv("LYR_DOCKER_IP");
        if (docker && *docker) addresses.push_back(docker);
        std::string external = getSetting("LockstepExternalIPAddress");
        if (!external.empty() && (addresses.empty() || addresses[0] != external))
            addresses.insert(addresses.begin(), external);
    }
    if (!addresses.empty()) return addresses;
    std::string ifname = getSetting("LockstepInterface");
    if (!ifname.empty()) {
        char addr[INET_ADDRSTRLEN + 1] = {0};
        GetInterfaceAddress(ifname.c_str(), addr, nullptr, nullptr);
        if (addr[0]) addresses.push_back(addr);
        return addresses;
    }
    return interfaceAddresses();
}

bool Lockstep::FillLocalSystemInfo() {
    std::string model = GetHardwareModel();
    LockstepSystem templ;
    templ.lastSeen = Now();
    templ.lastSeenStr = LockstepTimeString(templ.lastSeen);
    templ.type = ModelStringToType(model);
    versionNumbers(templ.majorVersion, templ.minorVersion);
    templ.lyrMode = getLyrmode();
    templ.lockstep = sendingSync;
    if (localHostName.empty()) localHostName = getSetting("HostName");
    if (localHostName.empty()) localHostName = "LYR";
    templ.hostname = localHostName;
    templ.version = getLyrVersion();
    templ.model = model;
    templ.uuid = getSetting("SystemUUID");
    LogDebug(VB_SYNC, "Host name: %s\n", templ.hostname.c_str());
    LogDebug(VB_SYNC, "Version: %s\n", templ.version.c_str());
    LogDebug(VB_SYNC, "Model: %s\n", templ.model.c_str());
    bool added = false;
    for (const auto& a : localAddressList()) added |= systems.AddLocal(templ, a);
    return added;
}

std::string Lockstep::currentLocalRanges(int maxLength) { return createRanges(target().OutputRanges(), maxLength); }

void Lockstep::Ping(int discover, bool broadcastIt) {
    LogDebug(VB_SYNC, "Lockstep::Ping(%d, %d)\n", discover, broadcastIt ? 1 : 0);
    lastPingTime = Now();
    if (broadcastSock < 0) {
        LogErr(VB_SYNC, "ERROR: Tried to send ping packet but control socket is not open.\n");
        return;
    }
    systems.SetLocalRanges(currentLocalRanges(120));
    for (auto& sys : systems.LocalSystems()) {
        char buf[LOCKSTEP_PING_BUFFER_BROADCAST] = {0};
        int len = CreatePingPacket(sys, buf, discover);
        if (broadcastIt) {
            SendBroadcastPacket(buf, len);
        } else {
            SendMulticastPacket(buf, len);
        }
    }
    if (discover) {
        for (auto item : split(getSetting("LockstepExtraRemotes"), ',')) {
            TrimWhiteSpace(item);
            if (!item.empty()) PingSingleRemote(item.c_str(), 1);
        }
    }
}

void Lockstep::PingSingleRemote(const char* address, int discover) {
    std::vector<LockstepSystem> locals = systems.LocalSystems();
    if (locals.empty()) return;
    char buf[LOCKSTEP_PING_BUFFER_UNICAST] = {0};
    int len = CreatePingPacket(locals[0], buf, discover);
    SendUnicastPacket(address, buf, len);
}

void Lockstep::PingSingleRemote(LockstepSystem& system, int discover) {
    PingSingleRemote(system.address.c_str(), discover);
}

void Lockstep::PingSingleRemoteViaHTTP(const std::string& address) {
    std::string body;
    if (!urlHelper("GET", "http://" + address, "", body, 1) || body.empty()) return;
    LockstepSystemInfo info;
    if (target().DetectControllerViaHTML(address, body, info)) {
        UpdateSystem(info.type, info.majorVersion, info.minorVersion, info.lyrMode, info.address, info.hostname,
                     info.version, info.model, info.ranges, info.uuid, false, info.lockstep);
    } else {
        UpdateSystem(kSysTypeUnknown, 0, 0, 0, address, address, "Unknown", "Unknown", "0-0", "Unknown", false,
                     false);
    }
}

void Lockstep::PeriodicPing() {
    uint32_t now = Now();
    if (lastCheckTime == 0) lastCheckTime = now;
    if (now > lastPingTime + 3600) {
        systems.TouchLocal(now);
        Ping(0, true);
    }
    if (now <= lastCheckTime + 60) return;
    lastCheckTime = now;
    LockstepSystemTable::ExpiryResult r = systems.Expire(now);
    for (auto& sys : r.toPing) {
        if (sys.lockstepCapable) {
            PingSingleRemote(sys, 1);
        } else {
            PingSingleRemoteViaHTTP(sys.address);
        }
    }
    if (r.rediscover) Ping(1, true);
}

void Lockstep::Discover() {
    Ping(1, true);
    PerformHTTPDiscovery();
}

// Every system answers a discover ping, so when a whole show powers up at
// once each of N systems would broadcast N answers that all N receive.  The
// one that asked gets its answer by unicast every time; the broadcast, which
// only refreshes what the others already know, goes at most once per
// interval.  The answers are not delayed either: the main loop that handles
// the ping also paces the show.
static constexpr uint32_t DISCOVER_BROADCAST_INTERVAL_S = 2;

void Lockstep::answerDiscover(const std::string& announced, const std::string& source) {
    uint32_t now = Now();
    if (lastDiscoverBroadcast == 0 || now - lastDiscoverBroadcast >= DISCOVER_BROADCAST_INTERVAL_S) {
        lastDiscoverBroadcast = now;
        Ping(0, true);
    }
    PingSingleRemote(announced.c_str(), 0);
    if (source != announced) PingSingleRemote(source.c_str(), 0);
}

void Lockstep::ProcessPingPacket(ControlPkt* pkt, int len, const std::string& sourceAddress, LockstepStats* record) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(pkt);
    PingPacketInfo ping;
    std::string error = ParsePingPacket(data, len, ping);
    if (!error.empty()) {
        rejectPacket(error.c_str(), data, len, record);
        return;
    }
    bool valid = ping.octets[0] || ping.octets[1] || ping.octets[2] || ping.octets[3] || ping.subtype == 0;
    bool own = false;
    {
        std::lock_guard<std::mutex> l(socketLock);
        for (const auto& it : interfaces) own |= it.second->address == ping.address;
    }
    if (valid) {
        UpdateSystem(static_cast<LockstepSystemType>(ping.type), ping.majorVersion, ping.minorVersion, ping.mode,
                     ping.address, ping.hostname, ping.versionText, ping.model, ping.ranges,
                     own ? getSetting("SystemUUID") : "Unknown", true, (ping.mode & PING_MODE_SENDS_SYNC) != 0);
    }
    if (ping.subtype == 1 && ping.hostname != localHostName && !own) answerDiscover(ping.address, sourceAddress);
    if (record) record->pktPing++;
}

void Lockstep::UpdateSystem(LockstepSystemType type, unsigned int majorVersion, unsigned int minorVersion,
                            int lyrMode, const std::string& address, const std::string& hostname,
                            const std::string& version, const std::string& model, const std::string& ranges,
                            const std::string& uuid, bool capable, bool sendsSync) {
    LogDebug(VB_SYNC, "UpdateSystem(%d, %u, %u, %d, '%s', '%s', '%s', '%s', '%s', '%s', %s)\n", type, majorVersion,
             minorVersion, lyrMode, address.c_str(), hostname.c_str(), version.c_str(), model.c_str(),
             ranges.c_str(), uuid.c_str(), capable ? "true" : "false");
    LockstepSystemInfo info;
    info.type = type;
    info.majorVersion = majorVersion;
    info.minorVersion = minorVersion;
    info.lyrMode = lyrMode;
    info.address = address;
    info.hostname = hostname;
    info.version = version;
    info.model = model;
    info.ranges = ranges;
    info.uuid = uuid;
    info.capable = capable;
    info.lockstep = sendsSync;
    std::string resolved = ResolveHostToIPv4(address);
    if (resolved.empty()) resolved = address;
    systems.UpdateSystem(info, resolved, Now());
}

Json::Value Lockstep::GetSystems(bool localOnly, bool timestamps) {
    return systems.ToJSON(localOnly, timestamps, currentLocalRanges(999999));
}

Json::Value Lockstep::GetSyncStats() {
    Json::Value result;
    result["systems"] = stats.ToJSON();
    std::string master = GetMasterAddress();
    result["masterIP"] = master;
    result["masterHostname"] = systems.RemoteHostName(master);
    return result;
}

void Lockstep::ResetSyncStats() { stats.Reset(); }

// ---- HTTP discovery ----

void Lockstep::PerformHTTPDiscovery() {
    std::string spec = getSetting("LockstepHTTPSubnets");
    Json::Value outputs;
    if (LoadJsonFromFile(getLyrMediaDir("/config/co-universes.json"), outputs) && outputs.isObject()) {
        for (const auto& out : outputs["channelOutputs"]) {
            if (!out.isObject() || !out["universes"].isArray()) continue;
            for (const auto& u : out["universes"]) {
                if (!u.isObject() || !u.isMember("address") || !u["address"].isString()) continue;
                std::string a = u["address"].asString();
                spec = spec.empty() ? a : spec + "," + a;
            }
        }
    }
    std::set<std::string> named;
    std::set<std::string> addresses = ExpandHTTPSubnets(spec, named, ResolveHostToIPv4);
    if (!addresses.empty()) DiscoverViaHTTP(addresses, named);
}

namespace {
struct Transfer {
    Lockstep* owner;
    std::string address;
    std::mutex* lock;
    std::map<std::string, std::string>* responses;
};

size_t writeData(void* buffer, size_t size, size_t nmemb, void* userp) {
    Transfer* t = static_cast<Transfer*>(userp);
    LogExcess(VB_SYNC, "write_data(%p, %d, %d, %p)\n", buffer, static_cast<int>(size), static_cast<int>(nmemb),
              userp);
    std::lock_guard<std::mutex> l(*t->lock);
    (*t->responses)[t->address].append(static_cast<const char*>(buffer), size * nmemb);
    return size * nmemb;
}
}  // namespace

void Lockstep::DiscoverViaHTTP(const std::set<std::string>& addresses, const std::set<std::string>& named) {
    CURLM* multi = curl_multi_init();
    if (!multi) return;
    std::string agent = "LYR/" + getLyrVersionTriplet();
    std::deque<std::string> pending(addresses.begin(), addresses.end());
    std::map<CURL*, std::unique_ptr<Transfer>> running;
    std::set<std::string> dropped;
    int added = 0;
    int index = 0;

    auto addOne = [&]() {
        std::string address = pending.front();
        pending.pop_front();
        CURL* easy = curl_easy_init();
        if (!easy) {
            dropped.insert(address);
            return;
        }
        {
            std::lock_guard<std::mutex> l(responseLock);
            httpResponses[address].clear();
        }
        auto t = std::make_unique<Transfer>(Transfer{this, address, &responseLock, &httpResponses});
        std::string url = "http://" + address + "/";
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 1000L);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 5000L);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str());
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(easy, CURLOPT_TCP_FASTOPEN, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTP09_ALLOWED, 1L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeData);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, t.get());
        curl_multi_add_handle(multi, easy);
        running[easy] = std::move(t);
        if (added++ % 10 == 0) {
            int still = 0;
            curl_multi_perform(multi, &still);
        }
    };

    while (!pending.empty() || !running.empty()) {
        while (!pending.empty() && running.size() < MAX_HTTP_TRANSFERS) addOne();
        int still = 0;
        curl_multi_perform(multi, &still);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            CURL* easy = msg->easy_handle;
            std::string address = running[easy]->address;
            long code = 0;
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
            if (msg->data.result != CURLE_OK) {
                LogDebug(VB_SYNC, "No/Error response from %s.  Response code: %d\n", address.c_str(),
                         static_cast<int>(code));
                dropped.insert(address);
            } else if (code != 200) {
                LogDebug(VB_SYNC, "Error response from %s.  ResponseCode: %d\n", address.c_str(),
                         static_cast<int>(code));
                dropped.insert(address);
            } else {
                LogDebug(VB_SYNC, "IP index %d (%s) completed with %d status, code: %d\n", index, address.c_str(),
                         static_cast<int>(msg->data.result), static_cast<int>(code));
            }
            index++;
            curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
            running.erase(easy);
        }
        if (pending.empty() && running.empty()) break;
        ProcessControlPacket(true);
        int numfds = 0;
        CURLMcode rc = curl_multi_wait(multi, nullptr, 0, 100, &numfds);
        if (rc != CURLM_OK) {
            LogErr(VB_SYNC, "error: curl_multi_wait() returned %d\n", static_cast<int>(rc));
            for (auto& r : running) {
                dropped.insert(r.second->address);
                curl_multi_remove_handle(multi, r.first);
                curl_easy_cleanup(r.first);
            }
            running.clear();
            pending.clear();
            break;
        }
    }
    curl_multi_cleanup(multi);
    for (const auto& address : addresses) {
        if (!dropped.count(address)) DiscoverIPViaHTTP(address, named.count(address) > 0);
    }
    std::lock_guard<std::mutex> l(responseLock);
    httpResponses.clear();
}

void Lockstep::DiscoverIPViaHTTP(const std::string& address, bool named) {
    LogDebug(VB_SYNC, "Checking HTTP response from %s\n", address.c_str());
    std::string body;
    {
        std::lock_guard<std::mutex> l(responseLock);
        auto it = httpResponses.find(address);
        if (it == httpResponses.end()) {
            LogErr(VB_SYNC, "Error, no value in m_httpResponses for %s IP\n", address.c_str());
            return;
        }
        body = it->second;
    }
    LogExcess(VB_SYNC, "IP: %s    Resp: %s\n", address.c_str(), body.substr(0, 500).c_str());
    std::string resolved = ResolveHostToIPv4(address);
    LockstepSystemInfo info;
    if (isSupportedForLockstep(address.c_str(), "") && isSupportedForLockstep(resolved.c_str(), "") &&
        target().DetectControllerViaHTML(address, body, info)) {
        UpdateSystem(info.type, info.majorVersion, info.minorVersion, info.lyrMode, info.address, info.hostname,
                     info.version, info.model, info.ranges, info.uuid, false, info.lockstep);
    } else if (named) {
        UpdateSystem(kSysTypeUnknown, 0, 0, 0, address, address, "Unknown", "Unknown", "0-0", "Unknown", false,
                     false);
    }
}
