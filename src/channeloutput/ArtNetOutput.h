// Art-Net 4 output: one OpDmx packet per universe per frame to UDP port
// 6454, all packets of a frame (and the OpSync after them, when turned on)
// in one sendmmsg call.  Channel data is not copied: each packet's payload
// iovec points into the channel buffer; an odd channel count gets a zero pad
// byte, as the protocol wants an even data length.
//
// Configured as an output of "config/co-universes.json":
//
//   {"type": "artnet", "enabled": 1, "interface": "eth0",
//    "broadcastAddress": "", "broadcast": 0, "sync": 0,
//    "universes": [{"active": 1, "id": 0, "startChannel": 1,
//                   "channelCount": 512, "universeCount": 1, "address": ""}]}
//
// "id" is the 15-bit port address (0-32767: Net, Sub-Net, Universe).  A
// universe with an "address" is sent unicast there.  One without goes to
// the nodes that answered this board's OpPoll with an output port of that
// port address: polls go every 3 s to the directed broadcast address of
// "interface" (or of the first interface that has one, or
// "broadcastAddress"), a node silent for 10 s is forgotten, and a universe
// with more than 40 subscribers is sent by directed broadcast instead.
// "broadcast": 1 sends every universe without an address by directed
// broadcast, for nodes that never answer a poll.  "sync": 1 sends an OpSync
// after each frame to every address the frame went to.
//
// Threading: Init and destruction on the main thread, SendData on the output
// thread (the channel-outputs layer serialises them).  A discovery thread,
// started by Init when some universe has no address, polls and reads the
// replies; it hands the subscriber lists to SendData under a small lock.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channeloutput/ArtNetNodes.h"
#include "channeloutput/ArtNetPacket.h"
#include "channeloutput/ChannelOutput.h"

class ArtNetOutput : public ChannelOutput {
public:
    ArtNetOutput();
    ~ArtNetOutput() override;

    bool Init(const Json::Value& config) override;
    int SendData(const uint8_t* channels) override;
    void GetRanges(OutputRanges& out, bool precise) const override;
    uint32_t MaxChannel() const override;
    std::string TypeName() const override { return "Art-Net"; }

    size_t UniverseCount() const { return universes.size(); }
    // Nodes heard from and not yet forgotten.
    size_t NodeCount() const;

private:
    struct Universe {
        int portAddress = 0;
        uint32_t start = 0;  // 0-based first channel
        uint32_t count = 0;
        uint8_t sequence = 0;
        bool fixed = false;  // has an "address"
        struct sockaddr_in dest {};
        std::array<uint8_t, ARTNET_DMX_HEADER_LEN> header{};
    };
    bool addUniverse(const Json::Value& u, int index);
    bool openSocket();
    void discoveryLoop();
    void receiveReplies(int64_t nowMS);
    void publishDestinations();  // with nodesLock held
    void rebuildMessages();
    void addMessage(const struct sockaddr_in& to, int universe);

    std::vector<Universe> universes;
    bool broadcastAll = false;
    bool sync = false;
    bool haveBroadcast = false;
    struct sockaddr_in broadcastDest {};
    int sock = -1;
    int wakeFd = -1;
    unsigned errorCount = 0;  // output thread
    unsigned pollErrors = 0;  // discovery thread

    // Discovery: written by its thread, read by SendData.
    std::thread discovery;
    std::atomic<bool> stopping{false};
    mutable std::mutex nodesLock;
    ArtNetNodes nodes;
    std::vector<std::vector<uint32_t>> discovered;  // per universe: IPv4 destinations
    std::atomic<uint64_t> generation{0};

    // The frame's messages, rebuilt when the destinations change.
    uint64_t builtGeneration = ~uint64_t(0);
    std::vector<struct sockaddr_in> dests;
    std::vector<int> msgUniverse;  // universe index, -1 for an OpSync
    std::vector<struct mmsghdr> msgs;
    std::vector<struct iovec> iovs;
    std::array<uint8_t, ARTNET_SYNC_LEN> syncPacket{};
};
