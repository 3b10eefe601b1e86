// sACN (ANSI E1.31-2018) datagrams as received: a pure parser over the bytes
// of one UDP datagram.  Every layer is checked (preamble, ACN identifier,
// flags and lengths of the root, framing and DMP layers against the datagram
// length, each vector, the DMP address and data type, first address,
// increment and property count); nothing is read past `len`.
//
// Threading: none; pure functions.
#pragma once

#include <cstddef>
#include <cstdint>

#define E131_INPUT_PORT 5568
#define E131_INPUT_MAX_UNIVERSE 63999
#define E131_DISCOVERY_UNIVERSE 64214

enum class E131Kind { Data, Sync, Discovery };

// Why a datagram was refused; None when it parsed.
enum class E131Error {
    None,
    TooShort,
    Preamble,       // preamble or post-amble size
    AcnIdentifier,  // not "ASC-E1.17"
    RootLength,     // root layer flags and length
    RootVector,
    FramingLength,
    FramingVector,
    Priority,  // above 200
    Universe,  // outside 1-63999
    DmpLength,
    DmpVector,
    AddressType,  // address and data type not 0xa1
    FirstAddress,
    Increment,
    PropertyCount,  // 0, above 513, or not what the datagram holds
};

struct E131Packet {
    E131Kind kind = E131Kind::Data;
    uint8_t cid[16] = {0};
    char sourceName[65] = {0};  // NUL-terminated copy (data and discovery)
    uint8_t priority = 0;
    uint16_t syncAddress = 0;
    uint8_t sequence = 0;
    uint8_t options = 0;
    uint16_t universe = 0;  // data packets; also set on a refused data packet once readable
    uint8_t startCode = 0;
    const uint8_t* slots = nullptr;  // points into the datagram
    uint16_t slotCount = 0;          // 0-512, start code not counted

    bool preview() const { return (options & 0x80) != 0; }
    bool terminated() const { return (options & 0x40) != 0; }
};

// Parses one datagram; on E131Error::None `out` describes it.
E131Error ParseE131(const uint8_t* data, size_t len, E131Packet& out);
// Short text of an error for logs and statistics ("dmp length", ...).
const char* E131ErrorName(E131Error e);
