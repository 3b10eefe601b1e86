#include "channeloutput/E131Output.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "channeloutput/Sequence.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

void put16be(uint8_t* p, unsigned v) {
    p[0] = (v >> 8) & 0xFF;
    p[1] = v & 0xFF;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

uint64_t fnv1a(const std::string& s, uint64_t h) {
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

// Host name plus every interface's hardware address, in name order, so the
// derived CID survives restarts and address changes.
std::string machineIdentity() {
    char host[256] = {0};
    gethostname(host, sizeof(host) - 1);
    std::string id = std::string("lyrd:") + host;
    std::vector<std::string> names;
    if (DIR* d = opendir("/sys/class/net")) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.' && strcmp(e->d_name, "lo") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        std::ifstream f("/sys/class/net/" + n + "/address");
        std::string mac;
        if (f >> mac) id += ":" + mac;
    }
    return id;
}

int intMember(const Json::Value& v, const char* key, int def) {
    if (!v.isMember(key)) return def;
    const Json::Value& m = v[key];
    if (m.isInt()) return m.asInt();
    if (m.isUInt()) return int(std::min<unsigned>(m.asUInt(), 0x7FFFFFFF));
    if (m.isBool()) return m.asBool() ? 1 : 0;
    if (m.isString()) {
        const std::string& s = m.asString();
        char* end = nullptr;
        long r = strtol(s.c_str(), &end, 10);
        if (end != s.c_str() && *end == 0) return int(r);
    }
    if (m.isDouble()) return int(m.asDouble());
    return def;
}

}  // namespace

E131Output::E131Output() {}

E131Output::~E131Output() {
    if (sock >= 0) close(sock);
}

bool E131Output::ParseUUID(const std::string& text, uint8_t out[16]) {
    int n = 0;
    for (char c : text) {
        if (c == '-' || c == '{' || c == '}' || c == ' ') continue;
        int v = hexValue(c);
        if (v < 0 || n >= 32) return false;
        if (n % 2 == 0) out[n / 2] = uint8_t(v << 4);
        else out[n / 2] |= uint8_t(v);
        n++;
    }
    return n == 32;
}

std::array<uint8_t, 16> E131Output::SystemCID() {
    std::array<uint8_t, 16> cid{};
    std::string uuid = getSetting("SystemUUID");
    if (ParseUUID(uuid, cid.data())) return cid;
    std::string id = machineIdentity();
    uint64_t a = fnv1a(id, 14695981039346656037ULL);
    uint64_t b = fnv1a(id + "#cid", a ^ 0x9E3779B97F4A7C15ULL);
    for (int i = 0; i < 8; i++) {
        cid[i] = uint8_t(a >> (56 - 8 * i));
        cid[8 + i] = uint8_t(b >> (56 - 8 * i));
    }
    cid[6] = (cid[6] & 0x0F) | 0x80;  // version 8: vendor-specific
    cid[8] = (cid[8] & 0x3F) | 0x80;  // RFC 4122 variant
    LogInfo(VB_CHANNELOUT, "SystemUUID '%s' is not a UUID; using a derived E1.31 CID\n", uuid.c_str());
    return cid;
}

void E131Output::BuildHeader(uint8_t* h, const uint8_t cidBytes[16], const std::string& name, int universe,
                             int priority, int slots) {
    static const uint8_t acnId[12] = {0x41, 0x53, 0x43, 0x2d, 0x45, 0x31, 0x2e, 0x31, 0x37, 0x00, 0x00, 0x00};
    int total = E131_HEADER_LEN + slots;
    memset(h, 0, E131_HEADER_LEN);
    // Root layer
    put16be(h + 0, 0x0010);  // preamble size
    put16be(h + 2, 0x0000);  // post-amble size
    memcpy(h + 4, acnId, sizeof(acnId));
    put16be(h + 16, 0x7000 | (total - 16));
    h[21] = 0x04;  // VECTOR_ROOT_E131_DATA
    memcpy(h + 22, cidBytes, 16);
    // Framing layer
    put16be(h + 38, 0x7000 | (total - 38));
    h[43] = 0x02;  // VECTOR_E131_DATA_PACKET
    strncpy(reinterpret_cast<char*>(h + 44), name.c_str(), 63);
    h[108] = uint8_t(priority);
    // 109-110 synchronization address 0, 111 sequence, 112 options 0
    put16be(h + 113, universe);
    // DMP layer
    put16be(h + 115, 0x7000 | (total - 115));
    h[117] = 0x02;  // VECTOR_DMP_SET_PROPERTY
    h[118] = 0xa1;  // address and data type
    put16be(h + 119, 0x0000);  // first property address
    put16be(h + 121, 0x0001);  // address increment
    put16be(h + 123, slots + 1);
    h[125] = 0x00;  // DMX start code
}

bool E131Output::Init(const Json::Value& config) {
    cid = SystemCID();
    std::string host = getSetting("HostName");
    if (host.empty()) {
        char buf[256] = {0};
        gethostname(buf, sizeof(buf) - 1);
        host = buf;
    }
    sourceName = "lyrd " + host;
    const Json::Value& list = config["universes"];
    if (!list.isArray() || list.empty()) {
        LogErr(VB_CHANNELOUT, "E1.31 output has no \"universes\" list\n");
        return false;
    }
    for (Json::ArrayIndex i = 0; i < list.size(); i++) addUniverse(list[i], int(i));
    if (universes.empty()) {
        LogErr(VB_CHANNELOUT, "E1.31 output has no usable universe\n");
        return false;
    }
    if (!openSocket(config.get("interface", "").asString())) return false;
    msgs.assign(universes.size(), {});
    iovs.assign(universes.size() * 2, {});
    for (size_t i = 0; i < universes.size(); i++) {
        Universe& u = universes[i];
        iovs[2 * i] = {u.header.data(), E131_HEADER_LEN};
        iovs[2 * i + 1] = {nullptr, u.count};
        msgs[i].msg_hdr.msg_name = &u.dest;
        msgs[i].msg_hdr.msg_namelen = sizeof(u.dest);
        msgs[i].msg_hdr.msg_iov = &iovs[2 * i];
        msgs[i].msg_hdr.msg_iovlen = 2;
    }
    LogInfo(VB_CHANNELOUT, "E1.31 output: %d universes, channels up to %u\n", int(universes.size()), MaxChannel());
    return true;
}

bool E131Output::addUniverse(const Json::Value& u, int index) {
    if (!u.isObject()) {
        LogErr(VB_CHANNELOUT, "E1.31 universe %d is not an object; skipped\n", index);
        return false;
    }
    if (!intMember(u, "active", 1)) return false;
    int id = intMember(u, "id", 0);
    int start = intMember(u, "startChannel", 0);
    int count = intMember(u, "channelCount", 512);
    int priority = intMember(u, "priority", 100);
    int repeat = intMember(u, "universeCount", 1);
    std::string address = u.get("address", "").isString() ? u.get("address", "").asString() : "";
    std::string why;
    if (id < E131_MIN_UNIVERSE || id > E131_MAX_UNIVERSE) why = "universe id out of 1-63999";
    else if (count < 1 || count > E131_MAX_SLOTS) why = "channelCount out of 1-512";
    else if (start < 1) why = "startChannel below 1";
    else if (repeat < 1 || id + repeat - 1 > E131_MAX_UNIVERSE) why = "universeCount out of range";
    else if (uint64_t(start) - 1 + uint64_t(count) * repeat > LYRD_MAX_CHANNELS) why = "channels beyond the buffer";
    else if (priority < 0 || priority > 200) why = "priority out of 0-200";
    if (!why.empty()) {
        LogErr(VB_CHANNELOUT, "E1.31 universe %d (id %d, start %d, count %d): %s; skipped\n", index, id, start, count,
               why.c_str());
        return false;
    }
    struct sockaddr_in dest {};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(E131_PORT);
    bool unicast = !address.empty();
    if (unicast && inet_pton(AF_INET, address.c_str(), &dest.sin_addr) != 1) {
        struct addrinfo hints {}, *res = nullptr;
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        if (getaddrinfo(address.c_str(), nullptr, &hints, &res) != 0 || !res) {
            LogErr(VB_CHANNELOUT, "E1.31 universe %d: can not resolve address '%s'; skipped\n", id, address.c_str());
            return false;
        }
        dest.sin_addr = reinterpret_cast<struct sockaddr_in*>(res->ai_addr)->sin_addr;
        freeaddrinfo(res);
    }
    for (int r = 0; r < repeat; r++) {
        Universe un;
        un.id = id + r;
        un.start = uint32_t(start - 1 + r * count);
        un.count = uint32_t(count);
        un.priority = priority;
        un.dest = dest;
        if (!unicast) un.dest.sin_addr.s_addr = htonl((239u << 24) | (255u << 16) | uint32_t(un.id));
        BuildHeader(un.header.data(), cid.data(), sourceName, un.id, priority, count);
        universes.push_back(un);
    }
    return true;
}

bool E131Output::openSocket(const std::string& interface) {
    sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        LogErr(VB_CHANNELOUT, "E1.31 output: can not create socket: %s\n", strerror(errno));
        return false;
    }
    // One frame's packets must fit at once, or sendmmsg stalls on a busy link.
    int bytes = 0;
    for (const auto& u : universes) bytes += E131_HEADER_LEN + int(u.count) + 64;
    int sndbuf = std::max(bytes * 2, 1 << 20);
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    if (!interface.empty()) {
        struct ip_mreqn mreq {};
        mreq.imr_ifindex = int(if_nametoindex(interface.c_str()));
        if (mreq.imr_ifindex == 0 || setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &mreq, sizeof(mreq)) != 0)
            LogWarn(VB_CHANNELOUT, "E1.31 output: can not use interface '%s' for multicast\n", interface.c_str());
    }
    return true;
}

int E131Output::SendData(const uint8_t* channels) {
    for (size_t i = 0; i < universes.size(); i++) {
        Universe& u = universes[i];
        u.header[111] = u.sequence++;
        iovs[2 * i + 1].iov_base = const_cast<uint8_t*>(channels + u.start);
    }
    size_t done = 0;
    while (done < msgs.size()) {
        int r = sendmmsg(sock, &msgs[done], unsigned(std::min<size_t>(msgs.size() - done, 1024)), 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            // One bad destination (no route, refused) must not stop the rest.
            if (errorCount++ % 1000 == 0)
                LogWarn(VB_CHANNELOUT, "E1.31 send to universe %d failed: %s\n", universes[done].id, strerror(errno));
            done++;
            continue;
        }
        done += size_t(r);
    }
    return int(msgs.size());
}

void E131Output::GetRanges(OutputRanges& out, bool precise) const {
    if (universes.empty()) return;
    if (!precise) {
        uint32_t lo = universes[0].start, hi = 0;
        for (const auto& u : universes) {
            lo = std::min(lo, u.start);
            hi = std::max(hi, u.start + u.count);
        }
        out.push_back({int(lo + 1), int(hi - lo)});
        return;
    }
    for (const auto& u : universes) out.push_back({int(u.start + 1), int(u.count)});
}

uint32_t E131Output::MaxChannel() const {
    uint32_t hi = 0;
    for (const auto& u : universes) hi = std::max(hi, u.start + u.count);
    return hi;
}
