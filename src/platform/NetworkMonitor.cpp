#include "platform/NetworkMonitor.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Logging.h"

NetworkMonitor::~NetworkMonitor() {
    if (sock >= 0) close(sock);
}

void NetworkMonitor::Init(CallbackMap& callbacks) {
    if (sock < 0) {
        sock = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (sock < 0) {
            LogWarn(VB_GENERAL, "Could not open the network monitor socket: %s\n", strerror(errno));
            return;
        }
        struct sockaddr_nl addr = {};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
        if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
            LogWarn(VB_GENERAL, "Could not bind the network monitor socket: %s\n", strerror(errno));
            close(sock);
            sock = -1;
            return;
        }
    }
    callbacks[sock] = [this](int) {
        ProcessMessages();
        return false;
    };
}

void NetworkMonitor::Close() {
    if (sock >= 0) close(sock);
    sock = -1;
}

void NetworkMonitor::registerCallback(Listener listener) {
    std::lock_guard<std::mutex> l(lock);
    listeners.push_back(std::move(listener));
}

void NetworkMonitor::ProcessMessages() {
    if (sock < 0) return;
    alignas(struct nlmsghdr) char buffer[8192];
    for (;;) {
        int len = recv(sock, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (len <= 0) break;
        Dispatch(buffer, len);
    }
}

void NetworkMonitor::notify(NetEventType kind, int up, const std::string& name) {
    std::vector<Listener> copy;
    {
        std::lock_guard<std::mutex> l(lock);
        copy = listeners;
    }
    for (auto& fn : copy) fn(kind, up, name);
}

static std::string linkName(struct ifinfomsg* info, int len) {
    struct rtattr* attr = IFLA_RTA(info);
    for (; RTA_OK(attr, len); attr = RTA_NEXT(attr, len)) {
        if (attr->rta_type == IFLA_IFNAME)
            return std::string(static_cast<const char*>(RTA_DATA(attr)), strnlen(static_cast<const char*>(RTA_DATA(attr)), RTA_PAYLOAD(attr)));
    }
    char buf[IF_NAMESIZE] = {0};
    return if_indextoname(info->ifi_index, buf) ? buf : "";
}

static std::string addressName(struct ifaddrmsg* info, int len) {
    // The label may carry an alias suffix ("eth0:1"): prefer the link's name.
    char byIndex[IF_NAMESIZE] = {0};
    if (if_indextoname(info->ifa_index, byIndex)) return byIndex;
    struct rtattr* attr = IFA_RTA(info);
    for (; RTA_OK(attr, len); attr = RTA_NEXT(attr, len)) {
        if (attr->rta_type == IFA_LABEL)
            return std::string(static_cast<const char*>(RTA_DATA(attr)), strnlen(static_cast<const char*>(RTA_DATA(attr)), RTA_PAYLOAD(attr)));
    }
    return "";
}

void NetworkMonitor::Dispatch(const void* buffer, int len) {
    const struct nlmsghdr* h = static_cast<const struct nlmsghdr*>(buffer);
    for (; NLMSG_OK(h, static_cast<unsigned>(len)); h = NLMSG_NEXT(h, len)) {
        if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) break;
        struct nlmsghdr* m = const_cast<struct nlmsghdr*>(h);
        if (h->nlmsg_type == RTM_NEWLINK || h->nlmsg_type == RTM_DELLINK) {
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifinfomsg))) continue;
            struct ifinfomsg* info = static_cast<struct ifinfomsg*>(NLMSG_DATA(m));
            int attrLen = h->nlmsg_len - NLMSG_LENGTH(sizeof(*info));
            bool up = (info->ifi_flags & IFF_UP) && (info->ifi_flags & IFF_RUNNING);
            notify(h->nlmsg_type == RTM_NEWLINK ? NEW_LINK : DEL_LINK, up ? 1 : 0, linkName(info, attrLen));
        } else if (h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_DELADDR) {
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifaddrmsg))) continue;
            struct ifaddrmsg* info = static_cast<struct ifaddrmsg*>(NLMSG_DATA(m));
            if (info->ifa_family != AF_INET) continue;
            int attrLen = h->nlmsg_len - NLMSG_LENGTH(sizeof(*info));
            bool added = h->nlmsg_type == RTM_NEWADDR;
            notify(added ? NEW_ADDR : DEL_ADDR, added ? 1 : 0, addressName(info, attrLen));
        }
    }
}
