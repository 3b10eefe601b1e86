// Lifecycle, sockets, interfaces and the four ways a packet leaves.
#include "Lockstep.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "common.h"
#include "platform/Logging.h"
#include "platform/NetworkMonitor.h"
#include "settings.h"

Lockstep Lockstep::INSTANCE;
Lockstep* lockstep = &Lockstep::INSTANCE;

Lockstep::Lockstep() : clock([] { return static_cast<uint32_t>(time(nullptr)); }), backend(nullptr) {
    memset(recvMessages, 0, sizeof(recvMessages));
    memset(recvVectors, 0, sizeof(recvVectors));
}

Lockstep::~Lockstep() {
    // At process exit the logger may already be gone: only shut down what
    // main did not.
    if (receiveSock >= 0 || broadcastSock >= 0 || controlSock >= 0) ShutdownSync();
}

void Lockstep::SetClock(std::function<uint32_t()> c) { clock = std::move(c); }

void Lockstep::SetBackend(LockstepBackend* b) { backend = b; }

uint32_t Lockstep::Now() const { return clock(); }

NetInterfaceInfo::~NetInterfaceInfo() {
    if (multicastSocket >= 0) {
        LogDebug(VB_SYNC, "Closing multicast socket for %s\n", interfaceName.c_str());
        close(multicastSocket);
    }
}

bool isSupportedForLockstep(const char* address, const char* name) {
    if (address && strlen(address) > 3 && strncmp(address, "127", 3) == 0) return false;
    if (!name) return true;
    if (strncmp(name, "usb", 3) == 0) return false;
    if (strcmp(name, "lo") == 0) return false;
    if (strncmp(name, "tether", 6) == 0 || strncmp(name, "SoftAp", 6) == 0) return false;
    return true;
}

// ---- lifecycle ----

bool Lockstep::Init() {
    if (getLyrmode() == REMOTE_MODE) {
        sendingSync = false;
    } else {
        sendingSync = getSettingInt("LockstepEnabled", 0) != 0;
    }
    FillInInterfaces();
    FillLocalSystemInfo();
    if (!OpenReceiveSocket()) return false;
    if (!OpenBroadcastSocket()) return false;
    if (sendingSync && !OpenControlSockets()) return false;
    NetworkMonitor::INSTANCE.registerCallback(
        [this](int kind, int up, const std::string& name) { NetworkChanged(kind, up, name); });
    return true;
}

void Lockstep::closeSocket(std::atomic<int>& sock) {
    int fd = sock.exchange(-1);
    if (fd >= 0) close(fd);
}

void Lockstep::ShutdownSync() {
    LogDebug(VB_SYNC, "ShutdownSync()\n");
    std::vector<LockstepPlugin*> observers;
    {
        std::lock_guard<std::mutex> l(pluginLock);
        observers.swap(plugins);
    }
    for (auto* p : observers) p->ShutdownSync();
    std::lock_guard<std::mutex> l(socketLock);
    closeSocket(broadcastSock);
    closeSocket(controlSock);
    closeSocket(receiveSock);
}

// ---- sockets ----

bool Lockstep::OpenReceiveSocket() {
    LogDebug(VB_SYNC, "OpenReceiveSocket()\n");
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        LogErr(VB_SYNC, "Error opening Receive socket; %s\n", strerror(errno));
        return false;
    }
    LogDebug(VB_SYNC, "Receive socket: %d\n", sock);
    int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) < 0) {
        LogErr(VB_SYNC, "Error turning on SO_REUSEPORT; %s\n", strerror(errno));
        close(sock);
        return false;
    }
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(LOCKSTEP_PORT);
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        LogErr(VB_SYNC, "Error binding socket; %s\n", strerror(errno));
        close(sock);
        return false;
    }
    if (setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) < 0) {
        LogErr(VB_SYNC, "Error calling setsockopt; %s\n", strerror(errno));
        close(sock);
        return false;
    }
    if (getLyrmode() == REMOTE_MODE) {
        int offset = getSettingInt("remoteOffset", 0);
        remoteOffset = offset ? offset * -0.001f : 0.0f;
        LogDebug(VB_SYNC, "Using remoteOffset of %.3f\n", remoteOffset);
    }
    memset(recvMessages, 0, sizeof(recvMessages));
    memset(recvBuffers, 0, sizeof(recvBuffers));
    memset(recvControl, 0, sizeof(recvControl));
    memset(recvSources, 0, sizeof(recvSources));
    for (int i = 0; i < RECV_SLOTS; i++) {
        recvVectors[i].iov_base = recvBuffers[i];
        recvVectors[i].iov_len = LOCKSTEP_MAX_PACKET;
        recvMessages[i].msg_hdr.msg_name = recvSources[i];
        recvMessages[i].msg_hdr.msg_namelen = sizeof(recvSources[i]);
        recvMessages[i].msg_hdr.msg_iov = &recvVectors[i];
        recvMessages[i].msg_hdr.msg_iovlen = 1;
        recvMessages[i].msg_hdr.msg_control = recvControl[i];
        recvMessages[i].msg_hdr.msg_controllen = sizeof(recvControl[i]);
    }
    {
        std::lock_guard<std::mutex> l(socketLock);
        closeSocket(receiveSock);
        receiveSock = sock;
    }
    setupMulticastReceive();
    return true;
}

static bool setMulticastLoopOff(int sock) {
    unsigned char loop = 0;
    return setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) == 0;
}

bool Lockstep::OpenBroadcastSocket() {
    LogDebug(VB_SYNC, "OpenBroadcastSocket()\n");
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        LogErr(VB_SYNC, "Error opening Lockstep broadcast socket\n");
        return false;
    }
    if (!setMulticastLoopOff(sock)) {
        LogErr(VB_SYNC, "Error setting IP_MULTICAST_LOOP: \n");
        close(sock);
        return false;
    }
    int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) < 0) {
        LogErr(VB_SYNC, "Error setting SO_BROADCAST: \n");
        close(sock);
        return false;
    }
    std::lock_guard<std::mutex> l(socketLock);
    closeSocket(broadcastSock);
    broadcastSock = sock;
    return true;
}

// "LockstepRemotes" plus "LockstepExtraRemotes": trimmed, once each, sorted.
static std::vector<std::string> configuredRemotes() {
    std::string list = getSetting("LockstepRemotes");
    std::string extra = getSetting("LockstepExtraRemotes");
    if (!extra.empty()) list = list.empty() ? extra : list + "," + extra;
    std::set<std::string> names;
    for (auto item : split(list, ',')) {
        TrimWhiteSpace(item);
        if (!item.empty()) names.insert(item);
    }
    return std::vector<std::string>(names.begin(), names.end());
}

static bool lookupIPv4(const std::string& name, in_addr& out) {
    std::string dotted = ResolveHostToIPv4(name);
    return !dotted.empty() && inet_pton(AF_INET, dotted.c_str(), &out) == 1;
}

bool Lockstep::OpenControlSockets() {
    LogDebug(VB_SYNC, "OpenControlSockets()\n");
    {
        std::lock_guard<std::mutex> l(socketLock);
        if (controlSock >= 0) return true;
    }
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        LogErr(VB_SYNC, "Error opening Lockstep socket\n");
        return false;
    }
    if (!setMulticastLoopOff(sock)) {
        LogErr(VB_SYNC, "Error setting IP_MULTICAST_LOOP: \n");
        close(sock);
        return false;
    }
    std::vector<std::string> remotes = configuredRemotes();
    if (getSettingInt("LockstepBroadcast", 0)) broadcast = true;
    if (getSettingInt("LockstepMulticast", 0)) multicast = true;
    if (remotes.empty() && sendingSync) multicast = true;

    std::vector<sockaddr_in> destinations;
    std::vector<std::string> names;
    for (const auto& name : remotes) {
        LogDebug(VB_SYNC, "Setting up Remote Sync for %s\n", name.c_str());
        sockaddr_in dest = {};
        dest.sin_family = AF_INET;
        dest.sin_port = htons(LOCKSTEP_PORT);
        bool isName = std::any_of(name.begin(), name.end(), [](char c) { return isalpha(c) || c == ' '; });
        bool ok = isName ? lookupIPv4(name, dest.sin_addr) : inet_pton(AF_INET, name.c_str(), &dest.sin_addr) == 1;
        if (!ok) {
            LogErr(VB_SYNC, "Error looking up Remote hostname: %s\n", name.c_str());
            continue;
        }
        destinations.push_back(dest);
        names.push_back(name);
    }
    {
        std::lock_guard<std::mutex> l(socketLock);
        controlSock = sock;
        unicastDestinations = destinations;
        unicastNames = names;
        unicastMessages.assign(unicastDestinations.size(), mmsghdr{});
        for (size_t i = 0; i < unicastDestinations.size(); i++) {
            msghdr& h = unicastMessages[i].msg_hdr;
            h.msg_name = &unicastDestinations[i];
            h.msg_namelen = sizeof(sockaddr_in);
            h.msg_iov = &sendVector;
            h.msg_iovlen = 1;
        }
    }
    LogDebug(VB_SYNC, "%d Remote Sync systems configured\n", static_cast<int>(destinations.size()));
    FillInInterfaces();
    return true;
}

std::vector<std::string> Lockstep::GetUnicastDestinations() {
    std::lock_guard<std::mutex> l(socketLock);
    std::vector<std::string> out;
    for (const auto& d : unicastDestinations) {
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &d.sin_addr, buf, sizeof(buf));
        out.push_back(buf);
    }
    return out;
}

static ip_mreq groupOn(in_addr_t interfaceAddr) {
    ip_mreq req = {};
    inet_pton(AF_INET, LOCKSTEP_MULTICAST_ADD, &req.imr_multiaddr);
    req.imr_interface.s_addr = interfaceAddr;
    return req;
}

void Lockstep::setupMulticastReceive() {
    LogDebug(VB_SYNC, "setupMulticastReceive()\n");
    std::lock_guard<std::mutex> l(socketLock);
    if (receiveSock < 0) return;
    for (auto& it : interfaces) {
        NetInterfaceInfo& info = *it.second;
        LogDebug(VB_SYNC, "   Adding interface %s - %s\n", info.interfaceName.c_str(), info.address.c_str());
        ip_mreq req = groupOn(info.addr);
        int rc = setsockopt(receiveSock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof(req));
        // Already a member after an earlier call: not worth a message.
        if (rc < 0 && errno != EADDRINUSE) {
            if (broadcastSock < 0) {
                LogWarn(VB_SYNC, "   Could not setup Multicast Group for interface %s    rc: %d\n",
                        info.interfaceName.c_str(), rc);
            } else {
                LogDebug(VB_SYNC, "   Could not setup Multicast Group for interface %s    rc: %d\n",
                         info.interfaceName.c_str(), rc);
            }
        }
    }
}

bool Lockstep::FillInInterfaces() {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool added = false;
    {
        std::lock_guard<std::mutex> l(socketLock);
        for (struct ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name) continue;
            if (!isSupportedForLockstep("", i->ifa_name)) continue;
            auto& rec = interfaces[i->ifa_name];
            if (!rec) rec.reset(new NetInterfaceInfo());
            if (rec->interfaceName.empty() || rec->address.empty()) added = true;
            rec->interfaceName = i->ifa_name;
            rec->addr = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
            char buf[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &rec->addr, buf, sizeof(buf));
            rec->address = buf;
            rec->broadcastAddr = 0;
            if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr)
                rec->broadcastAddr = reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr;
        }
    }
    freeifaddrs(list);
    return added;
}

bool Lockstep::RemoveInterface(const std::string& name) {
    std::lock_guard<std::mutex> l(socketLock);
    auto it = interfaces.find(name);
    if (it == interfaces.end()) return false;
    NetInterfaceInfo& info = *it->second;
    LogDebug(VB_SYNC, "Removing interface %s - %s\n", name.c_str(), info.address.c_str());
    ip_mreq req = groupOn(info.addr);
    if (receiveSock < 0 || setsockopt(receiveSock, IPPROTO_IP, IP_DROP_MEMBERSHIP, &req, sizeof(req)) < 0) {
        LogDebug(VB_SYNC, "   Did not drop Multicast membership for interface %s - %s\n", name.c_str(),
                 info.address.c_str());
    }
    interfaces.erase(it);
    return true;
}

std::vector<std::string> Lockstep::GetInterfaceNames() {
    std::lock_guard<std::mutex> l(socketLock);
    std::vector<std::string> out;
    for (const auto& it : interfaces) out.push_back(it.first);
    return out;
}

void Lockstep::NetworkChanged(int kind, int up, const std::string& name) {
    LogDebug(VB_SYNC, "Lockstep::NetworkChanged - Interface: %s   Up: %d   Msg: %d\n", name.c_str(), up, kind);
    if (kind == NetworkMonitor::NEW_ADDR && up) {
        if (FillInInterfaces()) {
            FillLocalSystemInfo();
            Ping(0, false);
        }
        setupMulticastReceive();
    } else if (kind == NetworkMonitor::DEL_ADDR && !up) {
        RemoveInterface(name);
    }
}

// ---- sending ----

void Lockstep::sendUnicastBatch(int len) {
    // Caller holds socketLock.
    if (controlSock < 0) return;
    int total = static_cast<int>(unicastMessages.size());
    int sent = 0;
    int64_t first = GetTimeMS();
    int emptyTries = 0;
    while (sent < total) {
        int rc = sendmmsg(controlSock, &unicastMessages[sent], total - sent, MSG_DONTWAIT);
        if (rc > 0) {
            sent += rc;
            continue;
        }
        if (rc < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            LogErr(VB_SYNC, "Error: Unable to send lockstep packet: %s   (%d/%d)\n", strerror(errno), rc,
                   total - sent);
            // A destination the kernel refuses (unreachable, no route) would
            // fail again: skip it so the others still get the packet.
            sent++;
            continue;
        }
        // Nothing went: the socket buffer is full.  Retry briefly, then give
        // up rather than stall the player.
        if (GetTimeMS() - first >= 10 || ++emptyTries > 40) {
            LogErr(VB_SYNC, "Error: Unable to send lockstep packet: %s   (%d/%d)\n", strerror(EAGAIN), sent,
                   total);
            break;
        }
        struct timespec pause = {0, 250000};
        while (nanosleep(&pause, &pause) < 0 && errno == EINTR) {
        }
    }
}

void Lockstep::SendControlPacket(void* data, int len) {
    if (len <= 0 || len > LOCKSTEP_MAX_PACKET) {
        LogErr(VB_SYNC, "Not sending a control packet of %d bytes\n", len);
        return;
    }
    if (WillLog(LOG_EXCESS, VB_SYNC)) {
        LogExcess(VB_SYNC, "SendControlPacket()\n");
        HexDump("Sending Control packet with contents:", data, len, VB_SYNC);
    }
    {
        std::lock_guard<std::mutex> l(socketLock);
        if (!unicastMessages.empty()) {
            sendVector.iov_base = data;
            sendVector.iov_len = len;
            sendUnicastBatch(len);
        }
    }
    if (multicast) SendMulticastPacket(data, len);
    if (broadcast) SendBroadcastPacket(data, len);
}

void Lockstep::SendBroadcastPacket(void* data, int len) {
    if (WillLog(LOG_EXCESS, VB_SYNC)) HexDump("Sending Broadcast packet with contents:", data, len, VB_SYNC);
    std::lock_guard<std::mutex> l(socketLock);
    if (broadcastSock < 0) return;
    for (auto& it : interfaces) {
        NetInterfaceInfo& info = *it.second;
        if (!info.broadcastAddr) continue;
        sockaddr_in dest = {};
        dest.sin_family = AF_INET;
        dest.sin_port = htons(LOCKSTEP_PORT);
        dest.sin_addr.s_addr = info.broadcastAddr;
        if (sendto(broadcastSock, data, len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&dest), sizeof(dest)) < 0)
            LogErr(VB_SYNC, "Error: Unable to send packet: %s\n", strerror(errno));
    }
}

void Lockstep::SendMulticastPacket(void* data, int len) {
    std::lock_guard<std::mutex> l(socketLock);
    sockaddr_in dest = {};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(LOCKSTEP_PORT);
    inet_pton(AF_INET, LOCKSTEP_MULTICAST_ADD, &dest.sin_addr);
    for (auto& it : interfaces) {
        NetInterfaceInfo& info = *it.second;
        if (info.multicastSocket < 0) {
            int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (sock < 0) {
                LogErr(VB_SYNC, "Error opening Multicast socket for %s\n", info.interfaceName.c_str());
                continue;
            }
            if (!setMulticastLoopOff(sock))
                LogErr(VB_SYNC, "Error setting IP_MULTICAST_LOOP for %s: %s\n", info.interfaceName.c_str(),
                       strerror(errno));
            if (setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, info.interfaceName.c_str(),
                           info.interfaceName.size()) < 0)
                LogErr(VB_SYNC, "Error setting IP_MULTICAST Device for %s: %s\n", info.interfaceName.c_str(),
                       strerror(errno));
            info.multicastSocket = sock;
        }
        if (sendto(info.multicastSocket, data, len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&dest),
                   sizeof(dest)) < 0)
            LogErr(VB_SYNC, "Error: Unable to send packet: %s\n", strerror(errno));
    }
}

void Lockstep::SendUnicastPacket(const std::string& address, void* data, int len) {
    if (WillLog(LOG_EXCESS, VB_SYNC)) {
        LogExcess(VB_SYNC, "SendControlPacket()\n");
        HexDump("Sending Control packet with contents:", data, len, VB_SYNC);
    }
    sockaddr_in dest = {};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(LOCKSTEP_PORT);
    if (!lookupIPv4(address, dest.sin_addr) && inet_pton(AF_INET, address.c_str(), &dest.sin_addr) != 1) return;
    std::lock_guard<std::mutex> l(socketLock);
    int sock = controlSock;
    bool temporary = sock < 0;
    if (temporary) {
        sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock < 0) {
            LogErr(VB_SYNC, "Error opening Unicast socket\n");
            return;
        }
    }
    sendto(sock, data, len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&dest), sizeof(dest));
    if (temporary) close(sock);
}
