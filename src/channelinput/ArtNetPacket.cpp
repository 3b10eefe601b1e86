#include "channelinput/ArtNetPacket.h"

#include <algorithm>
#include <cstring>

namespace {

const uint8_t ID[8] = {'A', 'r', 't', '-', 'N', 'e', 't', 0};
const unsigned MIN_VERSION = 14;
const size_t HEADER_LEN = 12;  // id, opcode, protocol version
const size_t DMX_HEADER_LEN = 18;
const size_t POLL_MIN_LEN = 14;
const size_t PORTS_PER_REPLY = 4;

void putName(uint8_t* at, size_t size, const std::string& s) {
    memcpy(at, s.data(), std::min(s.size(), size - 1));
}

std::vector<uint8_t> reply(const ArtNetNodeInfo& node, const std::vector<size_t>& ports, int bindIndex) {
    std::vector<uint8_t> p(ARTNET_POLL_REPLY_LEN, 0);
    memcpy(p.data(), ID, sizeof(ID));
    p[8] = ARTNET_OP_POLL_REPLY & 0xFF;
    p[9] = ARTNET_OP_POLL_REPLY >> 8;
    memcpy(&p[10], node.ip, 4);
    p[14] = ARTNET_PORT & 0xFF;  // the port is little-endian here
    p[15] = ARTNET_PORT >> 8;
    p[17] = 1;  // firmware version
    uint16_t first = ports.empty() ? 0 : node.universes[ports[0]];
    p[18] = uint8_t((first >> 8) & 0x7F);  // net
    p[19] = uint8_t((first >> 4) & 0x0F);  // sub-net
    p[20] = 0x00;
    p[21] = 0xFF;  // OEM code: unknown
    p[23] = 0xD0;  // indicators normal, port addresses set locally
    putName(&p[26], 18, node.shortName);
    putName(&p[44], 64, node.longName);
    putName(&p[108], 64, node.nodeReport);
    p[173] = uint8_t(ports.size());
    for (size_t i = 0; i < ports.size(); i++) {
        size_t u = ports[i];
        p[174 + i] = 0x80;  // outputs data it receives from the network; DMX512
        bool live = u < node.live.size() && node.live[u];
        p[182 + i] = live ? 0x80 : 0x00;  // good output A: data being received
        p[190 + i] = uint8_t(node.universes[u] & 0x0F);
    }
    p[200] = 0x00;  // StNode
    memcpy(&p[201], node.mac, 6);
    memcpy(&p[207], node.ip, 4);  // bind address: the root device
    p[211] = uint8_t(bindIndex);
    p[212] = 0x08;  // 15-bit port addresses
    return p;
}

}  // namespace

ArtNetError ParseArtNet(const uint8_t* d, size_t len, ArtNetPacket& out) {
    out = ArtNetPacket();
    if (d == nullptr || len < 10) return ArtNetError::TooShort;
    if (memcmp(d, ID, sizeof(ID)) != 0) return ArtNetError::Identifier;
    out.opcode = uint16_t(d[8] | (d[9] << 8));
    if (out.opcode != ARTNET_OP_DMX && out.opcode != ARTNET_OP_POLL) {
        out.kind = ArtNetKind::Other;
        return ArtNetError::None;
    }
    if (len < HEADER_LEN) return ArtNetError::TooShort;
    if (unsigned((d[10] << 8) | d[11]) < MIN_VERSION) return ArtNetError::Version;
    if (out.opcode == ARTNET_OP_POLL) {
        if (len < POLL_MIN_LEN) return ArtNetError::TooShort;
        out.kind = ArtNetKind::Poll;
        out.pollFlags = d[12];
        return ArtNetError::None;
    }
    if (len < DMX_HEADER_LEN) return ArtNetError::TooShort;
    out.kind = ArtNetKind::Dmx;
    out.sequence = d[12];
    out.physical = d[13];
    if (d[15] & 0x80) return ArtNetError::PortAddress;
    out.portAddress = uint16_t((d[15] << 8) | d[14]);
    unsigned length = unsigned((d[16] << 8) | d[17]);
    // Longer datagrams are allowed (later revisions may append fields).
    if (length < 2 || length > 512 || (length & 1) || DMX_HEADER_LEN + length > len)
        return ArtNetError::Length;
    out.length = uint16_t(length);
    out.data = d + DMX_HEADER_LEN;
    return ArtNetError::None;
}

const char* ArtNetErrorName(ArtNetError e) {
    switch (e) {
        case ArtNetError::None:
            return "none";
        case ArtNetError::TooShort:
            return "too short";
        case ArtNetError::Identifier:
            return "identifier";
        case ArtNetError::Version:
            return "protocol version";
        case ArtNetError::Length:
            return "length";
        case ArtNetError::PortAddress:
            return "port address";
    }
    return "unknown";
}

std::vector<std::vector<uint8_t>> BuildArtPollReplies(const ArtNetNodeInfo& node) {
    std::vector<std::vector<uint8_t>> out;
    std::vector<size_t> group;
    for (size_t i = 0; i < node.universes.size(); i++) {
        bool sameBank = group.empty() || (node.universes[group[0]] & 0x7FF0) == (node.universes[i] & 0x7FF0);
        if (!sameBank || group.size() == PORTS_PER_REPLY) {
            out.push_back(reply(node, group, int(out.size()) + 1));
            group.clear();
        }
        group.push_back(i);
    }
    if (!group.empty() || out.empty()) out.push_back(reply(node, group, int(out.size()) + 1));
    return out;
}
