#include "channeloutput/OutputConfig.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>

#include <algorithm>
#include <cstdlib>

int OutputConfig::Int(const Json::Value& v, const char* key, int def) {
    if (!v.isObject() || !v.isMember(key)) return def;
    const Json::Value& m = v[key];
    if (m.isInt()) return m.asInt();
    if (m.isUInt()) return int(std::min<unsigned>(m.asUInt(), 0x7FFFFFFF));
    if (m.isBool()) return m.asBool() ? 1 : 0;
    if (m.isString()) {
        const std::string& s = m.asString();
        char* end = nullptr;
        long r = strtol(s.c_str(), &end, 10);
        if (end != s.c_str() && *end == 0 && r >= -0x7FFFFFFF && r <= 0x7FFFFFFF) return int(r);
    }
    if (m.isDouble() && m.asDouble() > -2e9 && m.asDouble() < 2e9) return int(m.asDouble());
    return def;
}

std::string OutputConfig::Text(const Json::Value& v, const char* key) {
    if (!v.isObject() || !v.isMember(key) || !v[key].isString()) return "";
    return v[key].asString();
}

bool OutputConfig::ResolveIPv4(const std::string& text, struct in_addr& out) {
    if (text.empty()) return false;
    if (inet_pton(AF_INET, text.c_str(), &out) == 1) return true;
    struct addrinfo hints {
    }, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    out = reinterpret_cast<struct sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return true;
}

bool OutputConfig::BroadcastAddress(const std::string& interface, struct in_addr& out) {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (struct ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !(a->ifa_flags & IFF_BROADCAST)) continue;
        if (!a->ifa_broadaddr || (a->ifa_flags & IFF_LOOPBACK)) continue;
        if (!interface.empty() && interface != a->ifa_name) continue;
        out = reinterpret_cast<struct sockaddr_in*>(a->ifa_broadaddr)->sin_addr;
        found = out.s_addr != 0;
    }
    freeifaddrs(list);
    return found;
}
