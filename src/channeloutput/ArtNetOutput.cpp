#include "channeloutput/ArtNetOutput.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "channeloutput/OutputConfig.h"
#include "channeloutput/Sequence.h"
#include "platform/Logging.h"

namespace {

const uint8_t PAD_BYTE[1] = {0};

int64_t nowMS() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string ipText(uint32_t ip) {
    char buf[INET_ADDRSTRLEN] = {0};
    struct in_addr a;
    a.s_addr = ip;
    inet_ntop(AF_INET, &a, buf, sizeof(buf));
    return buf;
}

std::string portsText(const std::vector<int>& ports) {
    std::string s;
    for (int p : ports) s += (s.empty() ? "" : ",") + std::to_string(p);
    return s.empty() ? "none" : s;
}

struct sockaddr_in artnetAddress(uint32_t ip) {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(ARTNET_PORT);
    a.sin_addr.s_addr = ip;
    return a;
}

}  // namespace

ArtNetOutput::ArtNetOutput() {
    ArtNetPacket::BuildSync(syncPacket.data());
}

ArtNetOutput::~ArtNetOutput() {
    stopping = true;
    if (wakeFd >= 0) {
        uint64_t one = 1;
        if (write(wakeFd, &one, sizeof(one)) < 0) {
        }
    }
    if (discovery.joinable()) discovery.join();
    if (wakeFd >= 0) close(wakeFd);
    if (sock >= 0) close(sock);
}

bool ArtNetOutput::Init(const Json::Value& config) {
    const Json::Value& list = config["universes"];
    if (!list.isArray() || list.empty()) {
        LogErr(VB_CHANNELOUT, "Art-Net output has no \"universes\" list\n");
        return false;
    }
    for (Json::ArrayIndex i = 0; i < list.size(); i++) addUniverse(list[i], int(i));
    if (universes.empty()) {
        LogErr(VB_CHANNELOUT, "Art-Net output has no usable universe\n");
        return false;
    }
    broadcastAll = OutputConfig::Int(config, "broadcast", 0) != 0;
    sync = OutputConfig::Int(config, "sync", 0) != 0;
    std::string interface = OutputConfig::Text(config, "interface");
    std::string bcast = OutputConfig::Text(config, "broadcastAddress");
    struct in_addr a {};
    if (!bcast.empty()) {
        haveBroadcast = OutputConfig::ResolveIPv4(bcast, a);
        if (!haveBroadcast)
            LogErr(VB_CHANNELOUT, "Art-Net output: bad broadcastAddress '%s'\n", bcast.c_str());
    } else {
        haveBroadcast = OutputConfig::BroadcastAddress(interface, a);
    }
    if (haveBroadcast) broadcastDest = artnetAddress(a.s_addr);
    if (!openSocket()) return false;

    bool anyDiscovered = false;
    for (const auto& u : universes) anyDiscovered |= !u.fixed;
    discovered.assign(universes.size(), {});
    if (anyDiscovered && !haveBroadcast) {
        LogErr(VB_CHANNELOUT,
               "Art-Net output: no broadcast address%s%s; universes without an address are not sent\n",
               interface.empty() ? "" : " on ", interface.c_str());
    } else if (anyDiscovered) {
        std::lock_guard<std::mutex> l(nodesLock);
        publishDestinations();
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        discovery = std::thread(&ArtNetOutput::discoveryLoop, this);
    }
    rebuildMessages();
    LogInfo(VB_CHANNELOUT, "Art-Net output: %d universes, channels up to %u%s%s\n", int(universes.size()),
            MaxChannel(), haveBroadcast ? ", broadcast " : "",
            haveBroadcast ? ipText(broadcastDest.sin_addr.s_addr).c_str() : "");
    return true;
}

bool ArtNetOutput::addUniverse(const Json::Value& u, int index) {
    if (!u.isObject()) {
        LogErr(VB_CHANNELOUT, "Art-Net universe %d is not an object; skipped\n", index);
        return false;
    }
    if (!OutputConfig::Int(u, "active", 1)) return false;
    int id = OutputConfig::Int(u, "id", -1);
    int start = OutputConfig::Int(u, "startChannel", 0);
    int count = OutputConfig::Int(u, "channelCount", 512);
    int repeat = OutputConfig::Int(u, "universeCount", 1);
    std::string address = OutputConfig::Text(u, "address");
    std::string why;
    if (id < 0 || id > ARTNET_MAX_PORT_ADDRESS)
        why = "port address (id) out of 0-32767";
    else if (count < 1 || count > ARTNET_MAX_SLOTS)
        why = "channelCount out of 1-512";
    else if (start < 1)
        why = "startChannel below 1";
    else if (repeat < 1 || id + repeat - 1 > ARTNET_MAX_PORT_ADDRESS)
        why = "universeCount out of range";
    else if (uint64_t(start) - 1 + uint64_t(count) * repeat > LYRD_MAX_CHANNELS)
        why = "channels beyond the buffer";
    struct in_addr ip {};
    if (why.empty() && !address.empty() && !OutputConfig::ResolveIPv4(address, ip))
        why = "can not resolve address '" + address + "'";
    if (!why.empty()) {
        LogErr(VB_CHANNELOUT, "Art-Net universe %d (id %d, start %d, count %d): %s; skipped\n", index, id,
               start, count, why.c_str());
        return false;
    }
    for (int r = 0; r < repeat; r++) {
        Universe un;
        un.portAddress = id + r;
        un.start = uint32_t(start - 1 + r * count);
        un.count = uint32_t(count);
        un.fixed = !address.empty();
        un.dest = artnetAddress(ip.s_addr);
        ArtNetPacket::BuildDmxHeader(un.header.data(), un.portAddress, ArtNetPacket::DmxLength(count));
        universes.push_back(un);
    }
    return true;
}

bool ArtNetOutput::openSocket() {
    sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        LogErr(VB_CHANNELOUT, "Art-Net output: can not create socket: %s\n", strerror(errno));
        return false;
    }
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    // Other Art-Net programs on this board (a node, a monitor) may share the port.
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    int bytes = 0;
    for (const auto& u : universes) bytes += ARTNET_DMX_HEADER_LEN + int(u.count) + 64;
    int sndbuf = std::max(bytes * 2, 1 << 20);
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    // Nodes answer polls to port 6454, and expect packets from it.
    struct sockaddr_in me = artnetAddress(htonl(INADDR_ANY));
    if (bind(sock, reinterpret_cast<struct sockaddr*>(&me), sizeof(me)) != 0)
        LogWarn(VB_CHANNELOUT,
                "Art-Net output: can not use UDP port %d (%s); nodes that answer polls are not found\n",
                ARTNET_PORT, strerror(errno));
    return true;
}

size_t ArtNetOutput::NodeCount() const {
    std::lock_guard<std::mutex> l(nodesLock);
    return nodes.NodeCount();
}

void ArtNetOutput::publishDestinations() {
    for (size_t i = 0; i < universes.size(); i++) {
        std::vector<uint32_t>& d = discovered[i];
        d.clear();
        if (universes[i].fixed || !haveBroadcast) continue;
        std::vector<uint32_t> subs =
            broadcastAll ? std::vector<uint32_t>() : nodes.Subscribers(universes[i].portAddress);
        if (broadcastAll || subs.size() > ArtNetNodes::BROADCAST_ABOVE)
            d.push_back(broadcastDest.sin_addr.s_addr);
        else
            d = subs;
    }
    generation++;
}

void ArtNetOutput::receiveReplies(int64_t now) {
    uint8_t buf[600];
    for (;;) {
        struct sockaddr_in from {};
        socklen_t flen = sizeof(from);
        ssize_t n =
            recvfrom(sock, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from), &flen);
        if (n < 0) return;
        ArtNetPacket::PollReply r;
        if (!ArtNetPacket::ParsePollReply(buf, size_t(n), r))
            continue;  // our own broadcasts, other controllers
        if (r.ip == 0) r.ip = from.sin_addr.s_addr;
        std::lock_guard<std::mutex> l(nodesLock);
        if (nodes.OnReply(r, now)) {
            LogInfo(VB_CHANNELOUT, "Art-Net node %s (bind %d) outputs port addresses %s\n",
                    ipText(r.ip).c_str(), r.bindIndex, portsText(r.outputPorts).c_str());
            publishDestinations();
        }
    }
}

void ArtNetOutput::discoveryLoop() {
    uint8_t poll[ARTNET_POLL_LEN];
    ArtNetPacket::BuildPoll(poll);
    while (!stopping) {
        int64_t now = nowMS();
        int64_t wait;
        {
            std::lock_guard<std::mutex> l(nodesLock);
            if (nodes.Expire(now)) {
                LogInfo(VB_CHANNELOUT,
                        "Art-Net output: a node went silent and is forgotten; %d node(s) left\n",
                        int(nodes.NodeCount()));
                publishDestinations();
            }
            if (nodes.PollDue(now)) {
                nodes.Polled(now);
                if (sendto(sock, poll, sizeof(poll), 0, reinterpret_cast<struct sockaddr*>(&broadcastDest),
                           sizeof(broadcastDest)) < 0 &&
                    pollErrors++ % 100 == 0)
                    LogWarn(VB_CHANNELOUT, "Art-Net poll failed: %s\n", strerror(errno));
            }
            wait = std::min<int64_t>(nodes.NextDueInMS(now), 1000);
        }
        struct pollfd fds[2] = {{sock, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int r = ::poll(fds, 2, int(wait) + 1);
        if (r > 0 && (fds[0].revents & POLLIN)) receiveReplies(nowMS());
    }
}

void ArtNetOutput::addMessage(const struct sockaddr_in& to, int universe) {
    dests.push_back(to);
    msgUniverse.push_back(universe);
}

// Called on the output thread when the destinations changed: one message per
// (universe, destination), then one OpSync per distinct destination.
void ArtNetOutput::rebuildMessages() {
    dests.clear();
    msgUniverse.clear();
    {
        std::lock_guard<std::mutex> l(nodesLock);
        builtGeneration = generation;
        for (size_t i = 0; i < universes.size(); i++) {
            if (universes[i].fixed) addMessage(universes[i].dest, int(i));
            for (uint32_t ip : discovered[i]) addMessage(artnetAddress(ip), int(i));
        }
    }
    if (sync) {
        std::set<uint32_t> seen;
        size_t n = dests.size();
        for (size_t i = 0; i < n; i++)
            if (seen.insert(dests[i].sin_addr.s_addr).second) addMessage(dests[i], -1);
    }
    msgs.assign(dests.size(), {});
    iovs.assign(dests.size() * 3, {});
    for (size_t i = 0; i < dests.size(); i++) {
        struct iovec* v = &iovs[3 * i];
        int u = msgUniverse[i];
        size_t iovlen = 1;
        if (u < 0) {
            v[0] = {syncPacket.data(), syncPacket.size()};
        } else {
            v[0] = {universes[size_t(u)].header.data(), ARTNET_DMX_HEADER_LEN};
            v[1] = {nullptr, universes[size_t(u)].count};
            iovlen = 2;
            if (universes[size_t(u)].count % 2) v[iovlen++] = {const_cast<uint8_t*>(PAD_BYTE), 1};
        }
        msgs[i].msg_hdr.msg_name = &dests[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(dests[i]);
        msgs[i].msg_hdr.msg_iov = v;
        msgs[i].msg_hdr.msg_iovlen = iovlen;
    }
}

int ArtNetOutput::SendData(const uint8_t* channels) {
    if (generation != builtGeneration) rebuildMessages();
    for (auto& u : universes) {
        u.sequence = ArtNetPacket::NextSequence(u.sequence);
        u.header[12] = u.sequence;
    }
    for (size_t i = 0; i < msgs.size(); i++) {
        int u = msgUniverse[i];
        if (u >= 0) iovs[3 * i + 1].iov_base = const_cast<uint8_t*>(channels + universes[size_t(u)].start);
    }
    size_t done = 0;
    while (done < msgs.size()) {
        int r = sendmmsg(sock, &msgs[done], unsigned(std::min<size_t>(msgs.size() - done, 1024)), 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            // One unreachable node must not stop the rest.
            if (errorCount++ % 1000 == 0)
                LogWarn(VB_CHANNELOUT, "Art-Net send to %s failed: %s\n",
                        ipText(dests[done].sin_addr.s_addr).c_str(), strerror(errno));
            done++;
            continue;
        }
        done += size_t(r);
    }
    return int(msgs.size());
}

void ArtNetOutput::GetRanges(OutputRanges& out, bool precise) const {
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

uint32_t ArtNetOutput::MaxChannel() const {
    uint32_t hi = 0;
    for (const auto& u : universes) hi = std::max(hi, u.start + u.count);
    return hi;
}
