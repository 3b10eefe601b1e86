// Datagrams built field by field at the offsets the standards give, for the
// channel-input tests (deliberately not through the output code's builder).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace inputtest {

inline void put16(std::vector<uint8_t>& p, size_t at, unsigned v) {
    p[at] = uint8_t(v >> 8);
    p[at + 1] = uint8_t(v);
}

inline std::vector<uint8_t> cid(uint8_t n) {
    std::vector<uint8_t> c(16);
    for (int i = 0; i < 16; i++) c[i] = uint8_t(n * 16 + i);
    return c;
}

struct E131Fields {
    std::vector<uint8_t> cid = inputtest::cid(1);
    std::string name = "console";
    uint8_t priority = 100;
    uint8_t sequence = 0;
    uint8_t options = 0;
    uint16_t universe = 1;
    uint8_t startCode = 0;
    std::vector<uint8_t> slots;
};

inline std::vector<uint8_t> e131(const E131Fields& f) {
    size_t len = 126 + f.slots.size();
    std::vector<uint8_t> p(len, 0);
    put16(p, 0, 0x0010);
    put16(p, 2, 0x0000);
    memcpy(&p[4], "ASC-E1.17\0\0\0", 12);
    put16(p, 16, 0x7000 | unsigned(len - 16));
    p[21] = 0x04;
    memcpy(&p[22], f.cid.data(), 16);
    put16(p, 38, 0x7000 | unsigned(len - 38));
    p[43] = 0x02;
    memcpy(&p[44], f.name.data(), std::min<size_t>(f.name.size(), 63));
    p[108] = f.priority;
    p[111] = f.sequence;
    p[112] = f.options;
    put16(p, 113, f.universe);
    put16(p, 115, 0x7000 | unsigned(len - 115));
    p[117] = 0x02;
    p[118] = 0xa1;
    put16(p, 119, 0);
    put16(p, 121, 1);
    put16(p, 123, unsigned(f.slots.size() + 1));
    p[125] = f.startCode;
    if (!f.slots.empty()) memcpy(&p[126], f.slots.data(), f.slots.size());
    return p;
}

inline std::vector<uint8_t> e131(uint8_t cidN, uint16_t universe, uint8_t priority, uint8_t seq,
                                 std::vector<uint8_t> slots, uint8_t options = 0) {
    E131Fields f;
    f.cid = cid(cidN);
    f.name = "source " + std::to_string(cidN);
    f.universe = universe;
    f.priority = priority;
    f.sequence = seq;
    f.options = options;
    f.slots = std::move(slots);
    return e131(f);
}

inline std::vector<uint8_t> artDmx(uint16_t port, uint8_t seq, std::vector<uint8_t> slots,
                                   unsigned version = 14) {
    std::vector<uint8_t> p(18 + slots.size(), 0);
    memcpy(&p[0], "Art-Net\0", 8);
    p[8] = 0x00;
    p[9] = 0x50;
    p[10] = uint8_t(version >> 8);
    p[11] = uint8_t(version);
    p[12] = seq;
    p[14] = uint8_t(port & 0xFF);
    p[15] = uint8_t(port >> 8);
    put16(p, 16, unsigned(slots.size()));
    if (!slots.empty()) memcpy(&p[18], slots.data(), slots.size());
    return p;
}

inline std::vector<uint8_t> artPoll() {
    std::vector<uint8_t> p(14, 0);
    memcpy(&p[0], "Art-Net\0", 8);
    p[9] = 0x20;
    p[11] = 14;
    return p;
}

}  // namespace inputtest
