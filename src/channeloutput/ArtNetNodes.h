// The Art-Net nodes this board has heard from, and which port addresses
// each one outputs: the subscribers an Art-Net universe without a fixed
// address is sent to.
//
// A node is one (IP address, bind index) pair, as nodes with more than four
// ports answer a poll once per bind index.  Each reply replaces what the
// node subscribes to; a node silent for FORGET_AFTER_MS is forgotten.  Time
// is passed in (milliseconds on any monotonic clock), so the rules are
// tested without waiting.
//
// Threading: not synchronised; the owner locks.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "channeloutput/ArtNetPacket.h"

class ArtNetNodes {
public:
    static const int64_t POLL_INTERVAL_MS = 3000;
    static const int64_t FORGET_AFTER_MS = 10000;
    // More subscribers than this and a universe goes out by directed broadcast.
    static const size_t BROADCAST_ABOVE = 40;

    // True when what some node subscribes to changed (a new node, new ports).
    bool OnReply(const ArtNetPacket::PollReply& reply, int64_t nowMS);
    // Forgets silent nodes; true when one was forgotten.
    bool Expire(int64_t nowMS);

    bool PollDue(int64_t nowMS) const { return !polled || nowMS - lastPoll >= POLL_INTERVAL_MS; }
    void Polled(int64_t nowMS) {
        polled = true;
        lastPoll = nowMS;
    }
    // Milliseconds until the next poll or expiry is due (0 when overdue).
    int64_t NextDueInMS(int64_t nowMS) const;

    // IPv4 addresses (network order, ascending, no repeats) of the nodes
    // that output `portAddress`.
    std::vector<uint32_t> Subscribers(int portAddress) const;
    size_t NodeCount() const { return nodes.size(); }

private:
    struct Node {
        std::vector<int> ports;  // sorted
        int64_t lastSeen = 0;
    };
    std::map<std::pair<uint32_t, int>, Node> nodes;
    bool polled = false;
    int64_t lastPoll = 0;
};
