#include "channelinput/ChannelInputs.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "channelinput/ArtNetPacket.h"
#include "channelinput/E131Packet.h"
#include "platform/Logging.h"

namespace {

const int64_t MALFORMED_LOG_INTERVAL_NS = 60000000000LL;

uint32_t indexKey(InputProtocol p, uint16_t universe) {
    return (uint32_t(p) << 16) | universe;
}

std::string hex(const uint8_t* b, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        if (n == 16 && (i == 4 || i == 6 || i == 8 || i == 10)) s += '-';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

SourceKey addressKey(const sockaddr_in& from) {
    SourceKey k{};
    memcpy(k.data(), &from.sin_addr.s_addr, 4);
    memcpy(k.data() + 4, &from.sin_port, 2);
    return k;
}

std::string addressText(const SourceKey& k) {
    char buf[32];
    uint16_t port;
    memcpy(&port, k.data() + 4, 2);
    snprintf(buf, sizeof(buf), "%u.%u.%u.%u:%u", k[0], k[1], k[2], k[3], unsigned(ntohs(port)));
    return buf;
}

// ISO 8601 UTC with milliseconds, or "" for never.
std::string wallText(int64_t monoThen, int64_t monoNow, int64_t wallNowMS) {
    if (monoThen == 0) return "";
    int64_t ms = wallNowMS - (monoNow - monoThen) / 1000000;
    time_t secs = time_t(ms / 1000);
    struct tm tm;
    gmtime_r(&secs, &tm);
    char buf[96];
    snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms % 1000));
    return buf;
}

}  // namespace

ChannelInputs::ChannelInputs(std::vector<InputUniverse> list) : config(std::move(list)) {
    universes.reserve(config.size());
    for (const auto& c : config) {
        bool sacn = c.protocol == InputProtocol::SACN;
        universes.emplace_back(c, sacn ? SACN_MAX_SOURCES : ARTNET_MAX_SOURCES,
                               sacn ? SACN_TIMEOUT_NS : ARTNET_TIMEOUT_NS);
        index[indexKey(c.protocol, c.universe)] = universes.size() - 1;
        maxChannel = std::max(maxChannel, c.start + c.count);
    }
}

ChannelInputs::Universe* ChannelInputs::find(InputProtocol p, uint16_t universe) {
    auto it = index.find(indexKey(p, universe));
    return it == index.end() ? nullptr : &universes[it->second];
}

bool ChannelInputs::live(const Universe& u, int64_t now) const {
    return u.merge.SourceCount() > 0 && now - u.merge.LastData() < LIVE_NS;
}

void ChannelInputs::noteMalformed(InputProtocol p, const char* why, size_t len, int64_t now) {
    totals[int(p)].malformed++;
    // A flood of bad packets must not flood the log: one warning a minute.
    bool warn = lastMalformedLog == 0 || now - lastMalformedLog >= MALFORMED_LOG_INTERVAL_NS;
    if (warn) {
        lastMalformedLog = now ? now : 1;
        LogWarn(VB_E131BRIDGE,
                "%s input: dropped a malformed %zu-byte datagram (%s); see e131stats for counts\n",
                p == InputProtocol::SACN ? "sACN" : "Art-Net", len, why);
    } else {
        LogDebug(VB_E131BRIDGE, "%s input: malformed %zu-byte datagram (%s)\n",
                 p == InputProtocol::SACN ? "sACN" : "Art-Net", len, why);
    }
}

ChannelInputs::Outcome ChannelInputs::count(Universe& u, SourceMerge::Result r) {
    switch (r) {
        case SourceMerge::Result::Accepted:
        case SourceMerge::Result::Terminated:
            u.sentSinceMark = true;
            return Outcome::Changed;
        case SourceMerge::Result::OutOfOrder:
            u.counters.outOfOrder++;
            return Outcome::Dropped;
        case SourceMerge::Result::SourceLimit:
            u.counters.sourceLimit++;
            return Outcome::Dropped;
    }
    return Outcome::Dropped;
}

void ChannelInputs::MarkBurst() {
    std::lock_guard<std::mutex> l(lock);
    for (auto& u : universes) u.sentSinceMark = false;
}

bool ChannelInputs::BurstComplete(int64_t now) const {
    std::lock_guard<std::mutex> l(lock);
    bool any = false;
    for (const auto& u : universes) {
        if (!live(u, now)) continue;
        if (!u.sentSinceMark) return false;
        any = true;
    }
    return any;
}

ChannelInputs::Outcome ChannelInputs::ReceiveE131(const uint8_t* data, size_t len, int64_t now) {
    E131Packet p;
    E131Error err = ParseE131(data, len, p);
    std::lock_guard<std::mutex> l(lock);
    Universe* u = p.kind == E131Kind::Data ? find(InputProtocol::SACN, p.universe) : nullptr;
    if (u) {
        u->counters.packets++;
        u->counters.bytes += len;
        u->counters.lastPacket = now;
    }
    if (err != E131Error::None) {
        if (u) u->counters.malformed++;
        noteMalformed(InputProtocol::SACN, E131ErrorName(err), len, now);
        return Outcome::Dropped;
    }
    Totals& t = totals[int(InputProtocol::SACN)];
    if (p.kind == E131Kind::Discovery) {
        t.discovery++;
        return Outcome::Ignored;
    }
    if (p.kind == E131Kind::Sync) {
        t.sync++;
        return Outcome::Ignored;
    }
    if (!u) {
        t.unconfigured++;
        return Outcome::Ignored;
    }
    if (p.preview()) {
        u->counters.preview++;
        return Outcome::Ignored;
    }
    SourceKey key;
    memcpy(key.data(), p.cid, 16);
    if (p.terminated()) return count(*u, u->merge.Terminate(key, p.sequence, now));
    if (p.startCode != 0) {
        u->counters.startCode++;
        return Outcome::Ignored;
    }
    Outcome o =
        count(*u, u->merge.Receive(key, p.sourceName, p.priority, p.sequence, p.slots, p.slotCount, now));
    if (o == Outcome::Changed) lastAccepted = now;
    return o;
}

ChannelInputs::Outcome ChannelInputs::ReceiveArtNet(const uint8_t* data, size_t len, const sockaddr_in& from,
                                                    int64_t now) {
    ArtNetPacket p;
    ArtNetError err = ParseArtNet(data, len, p);
    std::lock_guard<std::mutex> l(lock);
    Universe* u = p.kind == ArtNetKind::Dmx ? find(InputProtocol::ArtNet, p.portAddress) : nullptr;
    if (u) {
        u->counters.packets++;
        u->counters.bytes += len;
        u->counters.lastPacket = now;
    }
    if (err != ArtNetError::None) {
        if (u) u->counters.malformed++;
        noteMalformed(InputProtocol::ArtNet, ArtNetErrorName(err), len, now);
        return Outcome::Dropped;
    }
    Totals& t = totals[int(InputProtocol::ArtNet)];
    if (p.kind == ArtNetKind::Poll) {
        t.polls++;
        return Outcome::Poll;
    }
    if (p.kind == ArtNetKind::Other) {
        t.other++;
        return Outcome::Ignored;
    }
    if (!u) {
        t.unconfigured++;
        return Outcome::Ignored;
    }
    int sequence = p.sequence == 0 ? -1 : p.sequence;
    Outcome o = count(*u, u->merge.Receive(addressKey(from), "", 0, sequence, p.data, p.length, now));
    if (o == Outcome::Changed) lastAccepted = now;
    return o;
}

void ChannelInputs::CountTruncated(InputProtocol p, size_t len, int64_t now) {
    std::lock_guard<std::mutex> l(lock);
    noteMalformed(p, "longer than any valid packet", len, now);
}

void ChannelInputs::Copy(uint8_t* dst, size_t len, int64_t now) const {
    memset(dst, 0, len);
    ApplyLive(dst, len, now);
}

void ChannelInputs::ApplyLive(uint8_t* buf, size_t size, int64_t now) const {
    if (now - lastAccepted.load() >= LIVE_NS) return;
    std::lock_guard<std::mutex> l(lock);
    for (const auto& u : universes) {
        if (u.config.start >= size || !live(u, now)) continue;
        size_t n = std::min<size_t>(u.config.count, size - u.config.start);
        memcpy(buf + u.config.start, u.merge.Merged(), n);
    }
}

bool ChannelInputs::HasData(int64_t now) const {
    if (now - lastAccepted.load() >= LIVE_NS) return false;
    std::lock_guard<std::mutex> l(lock);
    for (const auto& u : universes)
        if (live(u, now)) return true;
    return false;
}

void ChannelInputs::ArtNetPorts(int64_t now, std::vector<uint16_t>& ports,
                                std::vector<bool>& liveFlags) const {
    std::lock_guard<std::mutex> l(lock);
    for (const auto& u : universes) {
        if (u.config.protocol != InputProtocol::ArtNet) continue;
        ports.push_back(u.config.universe);
        liveFlags.push_back(live(u, now));
    }
}

Json::Value ChannelInputs::Stats(int64_t now, int64_t wallMS) const {
    std::lock_guard<std::mutex> l(lock);
    Json::Value result;
    result["universes"] = Json::Value(Json::arrayValue);
    for (const auto& u : universes) {
        Json::Value j;
        bool sacn = u.config.protocol == InputProtocol::SACN;
        j["protocol"] = InputProtocolName(u.config.protocol);
        j["universe"] = u.config.universe;
        j["id"] = u.config.universe;
        j["startChannel"] = u.config.start + 1;
        j["channelCount"] = u.config.count;
        j["live"] = live(u, now);
        j["packets"] = Json::UInt64(u.counters.packets);
        j["bytes"] = Json::UInt64(u.counters.bytes);
        j["bytesReceived"] = Json::UInt64(u.counters.bytes);
        Json::Value& e = j["errors"];
        e["malformed"] = Json::UInt64(u.counters.malformed);
        e["outOfOrder"] = Json::UInt64(u.counters.outOfOrder);
        e["sourceLimit"] = Json::UInt64(u.counters.sourceLimit);
        Json::Value& ign = j["ignored"];
        ign["preview"] = Json::UInt64(u.counters.preview);
        ign["startCode"] = Json::UInt64(u.counters.startCode);
        j["lastPacket"] = wallText(u.counters.lastPacket, now, wallMS);
        j["sources"] = Json::Value(Json::arrayValue);
        for (const auto& s : u.merge.Sources(now)) {
            Json::Value src;
            if (sacn) {
                src["name"] = s.name;
                src["cid"] = hex(s.key.data(), 16);
                src["priority"] = s.priority;
            } else {
                src["name"] = addressText(s.key);
                src["address"] = addressText(s.key);
            }
            src["lastPacket"] = wallText(s.lastPacket, now, wallMS);
            j["sources"].append(src);
        }
        result["universes"].append(j);
    }
    for (int p = 0; p < 2; p++) {
        const Totals& t = totals[p];
        Json::Value& o = result[InputProtocolName(InputProtocol(p))];
        o["malformed"] = Json::UInt64(t.malformed);
        o["otherUniverses"] = Json::UInt64(t.unconfigured);
        if (p == int(InputProtocol::SACN)) {
            o["discovery"] = Json::UInt64(t.discovery);
            o["sync"] = Json::UInt64(t.sync);
        } else {
            o["polls"] = Json::UInt64(t.polls);
            o["otherOpcodes"] = Json::UInt64(t.other);
        }
    }
    return result;
}

void ChannelInputs::ResetStats() {
    std::lock_guard<std::mutex> l(lock);
    for (auto& u : universes) u.counters = Counters();
    totals[0] = Totals();
    totals[1] = Totals();
}
