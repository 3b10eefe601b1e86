// Art-Net 4 packets, built and parsed as plain bytes (no sockets), so every
// byte can be checked in tests and the parser fuzzed.
//
// Every packet starts with "Art-Net\0" and a little-endian OpCode; the
// protocol version (14) follows big-endian where the packet has one.  Port
// addresses are 15 bits: Net (bits 14-8), Sub-Net (7-4), Universe (3-0).
//
// Threading: stateless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#define ARTNET_PORT 6454
#define ARTNET_DMX_HEADER_LEN 18
#define ARTNET_MAX_SLOTS 512
#define ARTNET_MAX_PORT_ADDRESS 32767
#define ARTNET_POLL_LEN 22
#define ARTNET_SYNC_LEN 14
// The shortest reply that still carries the output port addresses (SwOut).
#define ARTNET_POLL_REPLY_MIN_LEN 194

class ArtNetPacket {
public:
    enum OpCode : uint16_t { OpPoll = 0x2000, OpPollReply = 0x2100, OpDmx = 0x5000, OpSync = 0x5200 };

    // The OpCode of a packet with the Art-Net id, else 0.
    static uint16_t OpCodeOf(const uint8_t* p, size_t len);

    // Slots sent for `count` channels: rounded up to even (the protocol
    // wants an even length; the pad byte is sent as 0).
    static int DmxLength(int count) { return (count + 1) & ~1; }
    // 18-byte OpDmx header for `portAddress` with `length` slots (even,
    // 2-512); the sequence byte (12) is 0 here and set per frame.
    static void BuildDmxHeader(uint8_t* hdr, int portAddress, int length);
    // Next OpDmx sequence number: 1-255, never 0 (0 means "not sequenced").
    static uint8_t NextSequence(uint8_t current) { return current >= 255 ? 1 : uint8_t(current + 1); }

    // 22-byte (Art-Net 4) OpPoll asking for replies to the poller only, no
    // diagnostics, not targeted (the target range is still set to all).
    static void BuildPoll(uint8_t* out);
    // 14-byte OpSync.
    static void BuildSync(uint8_t* out);

    struct PollReply {
        uint32_t ip = 0;  // network byte order, as in the packet
        int bindIndex = 0;
        std::vector<int> outputPorts;  // port addresses the node outputs
    };
    // A node's OpPollReply: its address and the port addresses of its
    // output ports (ports whose type says "can output from Art-Net").  False when it is not a usable reply.
    static bool ParsePollReply(const uint8_t* p, size_t len, PollReply& out);
};
