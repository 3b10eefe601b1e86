// Art-Net 4 datagrams: a pure parser for what a receiving node needs (OpDmx
// and OpPoll; other opcodes are recognised and ignored) and the builder of
// the OpPollReply packets that make consoles list this board.
//
// Threading: none; pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define ARTNET_PORT 6454
#define ARTNET_MAX_PORT_ADDRESS 32767
#define ARTNET_POLL_REPLY_LEN 239
#define ARTNET_OP_POLL 0x2000
#define ARTNET_OP_POLL_REPLY 0x2100
#define ARTNET_OP_DMX 0x5000

enum class ArtNetKind { Dmx, Poll, Other };

enum class ArtNetError {
    None,
    TooShort,
    Identifier,   // not "Art-Net"
    Version,      // protocol version below 14
    Length,       // OpDmx length odd, outside 2-512, or beyond the datagram
    PortAddress,  // net byte above 127
};

struct ArtNetPacket {
    ArtNetKind kind = ArtNetKind::Other;
    uint16_t opcode = 0;
    uint8_t sequence = 0;  // OpDmx; 0: the sender does not order its packets
    uint8_t physical = 0;
    uint16_t portAddress = 0;       // OpDmx: net << 8 | sub-net << 4 | universe
    const uint8_t* data = nullptr;  // OpDmx slots, pointing into the datagram
    uint16_t length = 0;
    uint8_t pollFlags = 0;  // OpPoll
};

ArtNetError ParseArtNet(const uint8_t* data, size_t len, ArtNetPacket& out);
const char* ArtNetErrorName(ArtNetError e);

// What this node says of itself in OpPollReply.
struct ArtNetNodeInfo {
    uint8_t ip[4] = {0, 0, 0, 0};
    uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
    std::string shortName;  // cut to 17 characters
    std::string longName;   // cut to 63
    std::string nodeReport;
    std::vector<uint16_t> universes;  // input port addresses, in order
    std::vector<bool> live;           // per universe: data arriving now
};

// One 239-byte reply per group of up to four universes sharing net and
// sub-net (a reply's ports share those), with bind indexes 1, 2, ...; a
// node without universes still answers with one reply of no ports.
std::vector<std::vector<uint8_t>> BuildArtPollReplies(const ArtNetNodeInfo& node);
