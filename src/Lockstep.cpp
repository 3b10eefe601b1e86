#include "Lockstep.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <arpa/inet.h>

Lockstep* lockstep = new Lockstep();

// Until discovery lands: one entry per local IPv4 address that is up and not loopback.
Json::Value Lockstep::GetSystems(bool localOnly, bool timestamps) {
    Json::Value result;
    result["systems"] = Json::Value(Json::arrayValue);
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return result;
    for (struct ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(i->ifa_addr)->sin_addr, buf, sizeof(buf));
        Json::Value sys;
        sys["address"] = buf;
        sys["interface"] = i->ifa_name;
        result["systems"].append(sys);
    }
    freeifaddrs(list);
    return result;
}
