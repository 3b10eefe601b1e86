#include "channeloutput/ArtNetNodes.h"

#include <algorithm>

bool ArtNetNodes::OnReply(const ArtNetPacket::PollReply& reply, int64_t nowMS) {
    std::vector<int> ports = reply.outputPorts;
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    auto key = std::make_pair(reply.ip, reply.bindIndex);
    auto it = nodes.find(key);
    bool changed = it == nodes.end() || it->second.ports != ports;
    Node& n = nodes[key];
    n.ports = ports;
    n.lastSeen = nowMS;
    return changed;
}

bool ArtNetNodes::Expire(int64_t nowMS) {
    bool changed = false;
    for (auto it = nodes.begin(); it != nodes.end();) {
        if (nowMS - it->second.lastSeen >= FORGET_AFTER_MS) {
            it = nodes.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    return changed;
}

int64_t ArtNetNodes::NextDueInMS(int64_t nowMS) const {
    int64_t due = polled ? lastPoll + POLL_INTERVAL_MS : nowMS;
    for (const auto& n : nodes) due = std::min(due, n.second.lastSeen + FORGET_AFTER_MS);
    return std::max<int64_t>(0, due - nowMS);
}

std::vector<uint32_t> ArtNetNodes::Subscribers(int portAddress) const {
    std::vector<uint32_t> ips;
    for (const auto& n : nodes)
        if (std::binary_search(n.second.ports.begin(), n.second.ports.end(), portAddress))
            ips.push_back(n.first.first);
    std::sort(ips.begin(), ips.end());
    ips.erase(std::unique(ips.begin(), ips.end()), ips.end());
    return ips;
}
