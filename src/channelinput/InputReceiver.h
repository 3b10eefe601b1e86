// The receive sockets of the channel inputs: UDP 5568 for sACN (unicast, and
// the multicast group 239.255.hi.lo of every configured universe joined on
// the configured interface) and UDP 6454 for Art-Net (unicast and broadcast;
// OpPoll answered with OpPollReply).  Datagrams are read in batches
// (recvmmsg) and handed to ChannelInputs.
//
// ReadBurst coalesces: after the first datagram it keeps reading while more
// arrive within BURST_GAP_NS of each other, for at most BURST_WINDOW_NS, so
// the universes of one console frame leave as one output frame.  It stops
// as soon as every live universe has sent (the frame is complete).
//
// Threading: the owner's thread only (the bridge's receive thread).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channelinput/ChannelInputs.h"

class InputReceiver {
public:
    static constexpr int64_t BURST_GAP_NS = 400000;
    static constexpr int64_t BURST_WINDOW_NS = 1000000;

    // clock: monotonic ns, the same clock the rest of the output layer uses.
    InputReceiver(ChannelInputs& inputs, std::function<int64_t()> clock);
    ~InputReceiver();
    InputReceiver(const InputReceiver&) = delete;
    InputReceiver& operator=(const InputReceiver&) = delete;

    // Opens the sockets the configured protocols need; false when none opened.
    bool Open();
    std::vector<int> Descriptors() const;
    // Reads every datagram waiting now; true when bridge data changed.
    bool Drain();
    // Drain, then wait for the rest of the burst (see above).
    bool ReadBurst();

private:
    static const int BATCH = 64;
    static const int BUFFER = 1024;  // above the largest valid packet of either protocol

    int openSocket(uint16_t port, const char* what);
    void joinGroups();
    bool drainSocket(int fd, bool artnet);
    void answerPoll(const sockaddr_in& from);

    ChannelInputs& inputs;
    std::function<int64_t()> clock;
    int sacnFd = -1;
    int artnetFd = -1;
    std::vector<uint8_t> buffers;
    std::vector<struct mmsghdr> msgs;
    std::vector<struct iovec> iovs;
    std::vector<sockaddr_in> from;
};
