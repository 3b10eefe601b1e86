#include "channeloutput/ArtNetPacket.h"

#include <cstring>

namespace {

const uint8_t ARTNET_ID[8] = {'A', 'r', 't', '-', 'N', 'e', 't', 0};
const int PROTOCOL_VERSION = 14;

void putHeader(uint8_t* p, uint16_t opcode) {
    memcpy(p, ARTNET_ID, 8);
    p[8] = uint8_t(opcode & 0xFF);  // OpCode is little-endian
    p[9] = uint8_t(opcode >> 8);
    p[10] = 0;  // ProtVerHi
    p[11] = PROTOCOL_VERSION;
}

}  // namespace

uint16_t ArtNetPacket::OpCodeOf(const uint8_t* p, size_t len) {
    if (len < 10 || memcmp(p, ARTNET_ID, 8) != 0) return 0;
    return uint16_t(p[8] | (p[9] << 8));
}

void ArtNetPacket::BuildDmxHeader(uint8_t* h, int portAddress, int length) {
    putHeader(h, OpDmx);
    h[12] = 0;                                   // Sequence
    h[13] = 0;                                   // Physical
    h[14] = uint8_t(portAddress & 0xFF);         // SubUni: Sub-Net and Universe
    h[15] = uint8_t((portAddress >> 8) & 0x7F);  // Net
    h[16] = uint8_t(length >> 8);                // Length is big-endian
    h[17] = uint8_t(length & 0xFF);
}

void ArtNetPacket::BuildPoll(uint8_t* p) {
    putHeader(p, OpPoll);
    p[12] = 0;     // Flags: replies to us only, no diagnostics
    p[13] = 0;     // DiagPriority
    p[14] = 0x7F;  // TargetPortAddressTop (big-endian)
    p[15] = 0xFF;
    p[16] = 0;  // TargetPortAddressBottom
    p[17] = 0;
    p[18] = 0x7F;  // EstaMan: the range set aside for unregistered makers
    p[19] = 0xF0;
    p[20] = 0x00;  // Oem: unknown
    p[21] = 0xFF;
}

void ArtNetPacket::BuildSync(uint8_t* p) {
    putHeader(p, OpSync);
    p[12] = 0;  // Aux1
    p[13] = 0;  // Aux2
}

bool ArtNetPacket::ParsePollReply(const uint8_t* p, size_t len, PollReply& out) {
    if (len < ARTNET_POLL_REPLY_MIN_LEN || OpCodeOf(p, len) != OpPollReply) return false;
    out = PollReply();
    memcpy(&out.ip, p + 10, 4);
    out.bindIndex = len > 211 ? p[211] : 0;
    int net = p[18] & 0x7F, sub = p[19] & 0x0F;
    int ports = p[173] < 4 ? p[173] : 4;
    for (int i = 0; i < ports; i++) {
        if (!(p[174 + i] & 0x80)) continue;  // PortTypes bit 7: outputs from Art-Net
        out.outputPorts.push_back((net << 8) | (sub << 4) | (p[190 + i] & 0x0F));
    }
    return true;
}
