#include "channelinput/E131Packet.h"

#include <cstring>

namespace {

const uint8_t ACN_ID[12] = {0x41, 0x53, 0x43, 0x2d, 0x45, 0x31, 0x2e, 0x31, 0x37, 0x00, 0x00, 0x00};

const uint32_t VECTOR_ROOT_E131_DATA = 0x00000004;
const uint32_t VECTOR_ROOT_E131_EXTENDED = 0x00000008;
const uint32_t VECTOR_E131_DATA_PACKET = 0x00000002;
const uint32_t VECTOR_E131_EXTENDED_SYNCHRONIZATION = 0x00000001;
const uint32_t VECTOR_E131_EXTENDED_DISCOVERY = 0x00000002;
const uint8_t VECTOR_DMP_SET_PROPERTY = 0x02;

const size_t ROOT_AT = 16;
const size_t FRAMING_AT = 38;
const size_t DMP_AT = 115;
const size_t SLOTS_AT = 126;
const size_t SYNC_LEN = 49;
const size_t DISCOVERY_MIN_LEN = 120;  // through the universe list's last-page byte

uint16_t get16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
uint32_t get32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// A PDU's flags must be 0x7 and its length run exactly to the datagram's end.
bool pduSpans(const uint8_t* d, size_t len, size_t at) {
    uint16_t v = get16(d + at);
    return (v & 0xF000) == 0x7000 && size_t(v & 0x0FFF) == len - at;
}

void copyName(const uint8_t* from, char* to) {
    memcpy(to, from, 64);
    to[64] = 0;
}

E131Error parseData(const uint8_t* d, size_t len, E131Packet& out) {
    if (len < SLOTS_AT) return E131Error::TooShort;
    out.kind = E131Kind::Data;
    out.universe = get16(d + 113);
    if (!pduSpans(d, len, FRAMING_AT)) return E131Error::FramingLength;
    if (get32(d + 40) != VECTOR_E131_DATA_PACKET) return E131Error::FramingVector;
    copyName(d + 44, out.sourceName);
    out.priority = d[108];
    out.syncAddress = get16(d + 109);
    out.sequence = d[111];
    out.options = d[112];
    if (out.priority > 200) return E131Error::Priority;
    if (out.universe < 1 || out.universe > E131_INPUT_MAX_UNIVERSE) return E131Error::Universe;
    if (!pduSpans(d, len, DMP_AT)) return E131Error::DmpLength;
    if (d[117] != VECTOR_DMP_SET_PROPERTY) return E131Error::DmpVector;
    if (d[118] != 0xa1) return E131Error::AddressType;
    if (get16(d + 119) != 0) return E131Error::FirstAddress;
    if (get16(d + 121) != 1) return E131Error::Increment;
    uint16_t count = get16(d + 123);
    if (count < 1 || count > 513 || size_t(count) != len - (SLOTS_AT - 1)) return E131Error::PropertyCount;
    out.startCode = d[125];
    out.slots = d + SLOTS_AT;
    out.slotCount = uint16_t(count - 1);
    return E131Error::None;
}

E131Error parseExtended(const uint8_t* d, size_t len, E131Packet& out) {
    if (len < SYNC_LEN) return E131Error::TooShort;
    if (!pduSpans(d, len, FRAMING_AT)) return E131Error::FramingLength;
    uint32_t vector = get32(d + 40);
    if (vector == VECTOR_E131_EXTENDED_SYNCHRONIZATION) {
        if (len != SYNC_LEN) return E131Error::FramingLength;
        out.kind = E131Kind::Sync;
        out.sequence = d[44];
        out.syncAddress = get16(d + 45);
        return E131Error::None;
    }
    if (vector != VECTOR_E131_EXTENDED_DISCOVERY) return E131Error::FramingVector;
    if (len < DISCOVERY_MIN_LEN) return E131Error::TooShort;
    out.kind = E131Kind::Discovery;
    copyName(d + 44, out.sourceName);
    // The universe list layer: flags and length, then a 4-byte vector, page,
    // last page and 16-bit universe numbers.
    if (!pduSpans(d, len, 112) || (len - DISCOVERY_MIN_LEN) % 2 != 0) return E131Error::FramingLength;
    return E131Error::None;
}

}  // namespace

E131Error ParseE131(const uint8_t* d, size_t len, E131Packet& out) {
    out = E131Packet();
    if (d == nullptr || len < FRAMING_AT + 6) return E131Error::TooShort;
    if (get16(d) != 0x0010 || get16(d + 2) != 0x0000) return E131Error::Preamble;
    if (memcmp(d + 4, ACN_ID, sizeof(ACN_ID)) != 0) return E131Error::AcnIdentifier;
    if (!pduSpans(d, len, ROOT_AT)) return E131Error::RootLength;
    memcpy(out.cid, d + 22, 16);
    uint32_t vector = get32(d + 18);
    if (vector == VECTOR_ROOT_E131_DATA) return parseData(d, len, out);
    if (vector == VECTOR_ROOT_E131_EXTENDED) return parseExtended(d, len, out);
    return E131Error::RootVector;
}

const char* E131ErrorName(E131Error e) {
    switch (e) {
        case E131Error::None:
            return "none";
        case E131Error::TooShort:
            return "too short";
        case E131Error::Preamble:
            return "preamble";
        case E131Error::AcnIdentifier:
            return "ACN identifier";
        case E131Error::RootLength:
            return "root length";
        case E131Error::RootVector:
            return "root vector";
        case E131Error::FramingLength:
            return "framing length";
        case E131Error::FramingVector:
            return "framing vector";
        case E131Error::Priority:
            return "priority";
        case E131Error::Universe:
            return "universe";
        case E131Error::DmpLength:
            return "DMP length";
        case E131Error::DmpVector:
            return "DMP vector";
        case E131Error::AddressType:
            return "address type";
        case E131Error::FirstAddress:
            return "first address";
        case E131Error::Increment:
            return "address increment";
        case E131Error::PropertyCount:
            return "property count";
    }
    return "unknown";
}
