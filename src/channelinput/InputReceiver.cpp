#include "channelinput/InputReceiver.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "channelinput/ArtNetPacket.h"
#include "channelinput/E131Packet.h"
#include "platform/Logging.h"
#include "platform/Version.h"
#include "settings.h"

namespace {

const int RECEIVE_BUFFER = 4 << 20;  // a burst of several hundred universes

int igmpMaxMemberships() {
    std::ifstream f("/proc/sys/net/ipv4/igmp_max_memberships");
    int n = -1;
    if (f >> n) return n;
    return -1;
}

// The interface holding `ip` and its hardware address, for the poll reply.
void macOf(in_addr ip, uint8_t mac[6]) {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;
    for (struct ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr != ip.s_addr) continue;
        std::ifstream f(std::string("/sys/class/net/") + i->ifa_name + "/address");
        std::string text;
        unsigned b[6];
        if (f >> text &&
            sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) == 6)
            for (int k = 0; k < 6; k++) mac[k] = uint8_t(b[k]);
        break;
    }
    freeifaddrs(list);
}

// The local address the kernel would use to reach `to`.
in_addr localAddressFor(const sockaddr_in& to) {
    in_addr local{};
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return local;
    sockaddr_in dst = to;
    dst.sin_port = htons(ARTNET_PORT);
    if (connect(s, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)) == 0) {
        sockaddr_in me{};
        socklen_t len = sizeof(me);
        if (getsockname(s, reinterpret_cast<sockaddr*>(&me), &len) == 0) local = me.sin_addr;
    }
    close(s);
    return local;
}

}  // namespace

InputReceiver::InputReceiver(ChannelInputs& in, std::function<int64_t()> c)
    : inputs(in),
      clock(std::move(c)),
      buffers(size_t(BATCH) * BUFFER),
      msgs(BATCH),
      iovs(BATCH),
      from(BATCH) {}

InputReceiver::~InputReceiver() {
    if (sacnFd >= 0) close(sacnFd);
    if (artnetFd >= 0) close(artnetFd);
}

int InputReceiver::openSocket(uint16_t port, const char* what) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogErr(VB_E131BRIDGE, "%s input: socket() failed: %s\n", what, strerror(errno));
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one));
    int size = RECEIVE_BUFFER;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        LogErr(VB_E131BRIDGE, "%s input: cannot bind UDP port %u: %s\n", what, unsigned(port),
               strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void InputReceiver::joinGroups() {
    int wanted = 0;
    for (const auto& u : inputs.Universes()) wanted += u.protocol == InputProtocol::SACN;
    int limit = igmpMaxMemberships();
    if (limit >= 0 && wanted > limit) {
        LogWarn(
            VB_E131BRIDGE,
            "sACN input: %d universes need %d multicast memberships but the kernel allows %d; raise "
            "net.ipv4.igmp_max_memberships (sysctl -w net.ipv4.igmp_max_memberships=%d) or have the sender "
            "unicast to this board; universes past the limit arrive only by unicast\n",
            wanted, wanted, limit, wanted);
    }
    int joined = 0, overLimit = 0;
    for (const auto& u : inputs.Universes()) {
        if (u.protocol != InputProtocol::SACN) continue;
        struct ip_mreqn m {};
        m.imr_multiaddr.s_addr = htonl((239u << 24) | (255u << 16) | u.universe);
        if (!u.interface.empty()) {
            m.imr_ifindex = int(if_nametoindex(u.interface.c_str()));
            if (m.imr_ifindex == 0)
                LogWarn(VB_E131BRIDGE,
                        "sACN input: no interface '%s' for universe %u; joining on the default\n",
                        u.interface.c_str(), unsigned(u.universe));
        }
        if (setsockopt(sacnFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) == 0) {
            joined++;
        } else if (errno == ENOBUFS) {
            overLimit++;  // past the kernel's limit every join fails alike
        } else {
            LogWarn(
                VB_E131BRIDGE, "sACN input: cannot join 239.255.%u.%u for universe %u: %s (unicast only)\n",
                unsigned(u.universe >> 8), unsigned(u.universe & 255), unsigned(u.universe), strerror(errno));
        }
    }
    if (overLimit && !(limit >= 0 && wanted > limit))
        LogWarn(VB_E131BRIDGE,
                "sACN input: %d multicast joins refused (ENOBUFS); raise net.ipv4.igmp_max_memberships\n",
                overLimit);
    LogInfo(VB_E131BRIDGE, "sACN input: UDP %d, %d of %d multicast groups joined\n", E131_INPUT_PORT, joined,
            wanted);
}

bool InputReceiver::Open() {
    bool sacn = false, artnet = false;
    for (const auto& u : inputs.Universes()) {
        sacn |= u.protocol == InputProtocol::SACN;
        artnet |= u.protocol == InputProtocol::ArtNet;
    }
    if (sacn && (sacnFd = openSocket(E131_INPUT_PORT, "sACN")) >= 0) joinGroups();
    if (artnet && (artnetFd = openSocket(ARTNET_PORT, "Art-Net")) >= 0)
        LogInfo(VB_E131BRIDGE, "Art-Net input: UDP %d\n", ARTNET_PORT);
    return sacnFd >= 0 || artnetFd >= 0;
}

std::vector<int> InputReceiver::Descriptors() const {
    std::vector<int> fds;
    if (sacnFd >= 0) fds.push_back(sacnFd);
    if (artnetFd >= 0) fds.push_back(artnetFd);
    return fds;
}

bool InputReceiver::drainSocket(int fd, bool artnet) {
    bool changed = false;
    for (;;) {
        for (int i = 0; i < BATCH; i++) {
            iovs[i] = {&buffers[size_t(i) * BUFFER], BUFFER};
            memset(&msgs[i], 0, sizeof(msgs[i]));
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
        }
        int n = recvmmsg(fd, msgs.data(), BATCH, MSG_DONTWAIT, nullptr);
        if (n <= 0) return changed;
        int64_t now = clock();
        for (int i = 0; i < n; i++) {
            const uint8_t* d = &buffers[size_t(i) * BUFFER];
            size_t len = msgs[i].msg_len;
            if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) {
                inputs.CountTruncated(artnet ? InputProtocol::ArtNet : InputProtocol::SACN, len, now);
                continue;
            }
            ChannelInputs::Outcome o =
                artnet ? inputs.ReceiveArtNet(d, len, from[i], now) : inputs.ReceiveE131(d, len, now);
            if (o == ChannelInputs::Outcome::Changed) changed = true;
            if (o == ChannelInputs::Outcome::Poll) answerPoll(from[i]);
        }
        if (n < BATCH) return changed;
    }
}

bool InputReceiver::Drain() {
    bool changed = false;
    if (sacnFd >= 0) changed |= drainSocket(sacnFd, false);
    if (artnetFd >= 0) changed |= drainSocket(artnetFd, true);
    return changed;
}

bool InputReceiver::ReadBurst() {
    bool changed = Drain();
    if (!changed) return false;
    int64_t start = clock();
    std::vector<int> fds = Descriptors();
    struct pollfd p[2];
    for (size_t i = 0; i < fds.size(); i++) p[i] = {fds[i], POLLIN, 0};
    while (!inputs.BurstComplete(clock())) {
        int64_t left = start + BURST_WINDOW_NS - clock();
        if (left <= 0) break;
        int64_t wait = std::min(left, BURST_GAP_NS);
        struct timespec ts = {0, long(wait)};
        int r = ppoll(p, nfds_t(fds.size()), &ts, nullptr);
        if (r <= 0) break;
        Drain();
    }
    inputs.MarkBurst();
    return true;
}

void InputReceiver::answerPoll(const sockaddr_in& to) {
    ArtNetNodeInfo node;
    in_addr local = localAddressFor(to);
    memcpy(node.ip, &local.s_addr, 4);
    macOf(local, node.mac);
    std::string host = getSetting("HostName");
    if (host.empty()) host = "lyrd";
    node.shortName = host;
    node.longName = "lyrd " + getLyrVersion() + " on " + host;
    inputs.ArtNetPorts(clock(), node.universes, node.live);
    node.nodeReport = "#0001 [0000] receiving " + std::to_string(node.universes.size()) + " universes";
    sockaddr_in dst = to;
    dst.sin_port = htons(ARTNET_PORT);
    for (const auto& pkt : BuildArtPollReplies(node)) {
        if (sendto(artnetFd, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)) < 0) {
            LogDebug(VB_E131BRIDGE, "Art-Net input: poll reply to %s failed: %s\n", inet_ntoa(to.sin_addr),
                     strerror(errno));
            return;
        }
    }
}
