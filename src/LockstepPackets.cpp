#include "LockstepPackets.h"

#include <algorithm>
#include <cstring>

#include "LockstepSystems.h"

void PutLE16(uint8_t* p, uint16_t v) {
    p[0] = v & 0xFF;
    p[1] = v >> 8;
}

void PutLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (v >> (8 * i)) & 0xFF;
}

void PutBE16(uint8_t* p, uint16_t v) {
    p[0] = v >> 8;
    p[1] = v & 0xFF;
}

uint16_t GetLE16(const uint8_t* p) { return p[0] | (p[1] << 8); }

uint32_t GetLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint16_t GetBE16(const uint8_t* p) { return (p[0] << 8) | p[1]; }

std::string ReadPacketText(const uint8_t* data, int len, int offset, int width) {
    if (offset < 0 || offset >= len || width <= 0) return "";
    int limit = std::min(len - offset, width);
    const uint8_t* start = data + offset;
    const void* nul = memchr(start, 0, limit);
    int n = nul ? static_cast<const uint8_t*>(nul) - start : limit;
    return std::string(reinterpret_cast<const char*>(start), n);
}

void InitControlPacket(ControlPkt* pkt) {
    memcpy(pkt->magic, "LYRD", 4);
    pkt->pktType = 0;
    SetExtraDataLen(pkt, 0);
}

uint16_t GetExtraDataLen(const void* pkt) { return GetLE16(static_cast<const uint8_t*>(pkt) + 5); }

void SetExtraDataLen(void* pkt, uint16_t len) { PutLE16(static_cast<uint8_t*>(pkt) + 5, len); }

// Starts a packet of `total` bytes in buf; false when it cannot fit.
static bool beginPacket(uint8_t* buf, int bufSize, ControlPacketType type, int total) {
    if (total > bufSize || total > LOCKSTEP_MAX_PACKET || total < LOCKSTEP_HEADER_LEN) return false;
    memset(buf, 0, total);
    ControlPkt* pkt = reinterpret_cast<ControlPkt*>(buf);
    InitControlPacket(pkt);
    pkt->pktType = static_cast<uint8_t>(type);
    SetExtraDataLen(buf, total - LOCKSTEP_HEADER_LEN);
    return true;
}

int BuildSyncPacket(uint8_t* buf, int bufSize, SyncAction action, SyncFileType fileType, int32_t frame,
                    float seconds, const std::string& filename) {
    int total = LOCKSTEP_HEADER_LEN + LOCKSTEP_SYNC_MIN_EXTRA + static_cast<int>(filename.size());
    if (filename.size() > LOCKSTEP_MAX_PACKET || !beginPacket(buf, bufSize, ControlPacketType::Sync, total))
        return -1;
    buf[7] = static_cast<uint8_t>(action);
    buf[8] = static_cast<uint8_t>(fileType);
    PutLE32(buf + 9, static_cast<uint32_t>(frame));
    uint32_t bits;
    static_assert(sizeof(bits) == sizeof(seconds), "float must be 32 bits");
    memcpy(&bits, &seconds, sizeof(bits));
    PutLE32(buf + 13, bits);
    memcpy(buf + 17, filename.data(), filename.size());
    return total;
}

int BuildBlankingPacket(uint8_t* buf, int bufSize) {
    return beginPacket(buf, bufSize, ControlPacketType::Blank, LOCKSTEP_HEADER_LEN) ? LOCKSTEP_HEADER_LEN : -1;
}

int BuildCommandPacket(uint8_t* buf, int bufSize, const std::string& command) {
    if (command.size() > LOCKSTEP_MAX_PACKET) return -1;
    int total = LOCKSTEP_HEADER_LEN + static_cast<int>(command.size()) + 1;
    if (!beginPacket(buf, bufSize, ControlPacketType::Command, total)) return -1;
    memcpy(buf + 7, command.data(), command.size());
    return total;
}

int BuildPluginPacket(uint8_t* buf, int bufSize, const std::string& name, const uint8_t* data, int len) {
    if (len < 0 || name.size() > LOCKSTEP_MAX_PACKET || len > LOCKSTEP_MAX_PACKET) return -1;
    int total = LOCKSTEP_HEADER_LEN + static_cast<int>(name.size()) + 1 + len;
    if (!beginPacket(buf, bufSize, ControlPacketType::Plugin, total)) return -1;
    memcpy(buf + 7, name.data(), name.size());
    if (len > 0) memcpy(buf + 8 + name.size(), data, len);
    return total;
}

int BuildLyrCommandPacket(uint8_t* buf, int bufSize, const std::string& hosts, const std::string& command,
                          const std::vector<std::string>& args) {
    if (args.size() > 255) return -1;
    size_t total = 8 + hosts.size() + 1 + command.size() + 1;
    for (const auto& a : args) total += a.size() + 1;
    if (total > LOCKSTEP_MAX_PACKET) return -1;
    if (!beginPacket(buf, bufSize, ControlPacketType::LyrCommand, static_cast<int>(total))) return -1;
    buf[7] = static_cast<uint8_t>(args.size());
    size_t pos = 8;
    auto put = [&](const std::string& s) {
        memcpy(buf + pos, s.data(), s.size());
        pos += s.size() + 1;  // the NUL is already there
    };
    put(hosts);
    put(command);
    for (const auto& a : args) put(a);
    return static_cast<int>(total);
}

static void putText(char* buffer, int offset, int width, const std::string& text) {
    size_t n = std::min(text.size(), static_cast<size_t>(width - 1));
    memcpy(buffer + offset, text.data(), n);
}

int CreatePingPacket(LockstepSystem& system, char* buffer, int discover) {
    uint8_t* b = reinterpret_cast<uint8_t*>(buffer);
    ControlPkt* pkt = reinterpret_cast<ControlPkt*>(buffer);
    InitControlPacket(pkt);
    pkt->pktType = static_cast<uint8_t>(ControlPacketType::Ping);
    SetExtraDataLen(buffer, LOCKSTEP_PING_V3_EXTRA);
    b[PingField::Version] = 3;
    b[PingField::Subtype] = discover > 0 ? 1 : 0;
    b[PingField::Type] = system.type;
    PutBE16(b + PingField::Major, static_cast<uint16_t>(system.majorVersion));
    PutBE16(b + PingField::Minor, static_cast<uint16_t>(system.minorVersion));
    b[PingField::Mode] = static_cast<uint8_t>(system.lyrMode | (system.lockstep ? PING_MODE_SENDS_SYNC : 0));
    memcpy(b + PingField::Address, system.octets, 4);
    putText(buffer, PingField::Hostname, PingField::HostnameWidth, system.hostname);
    putText(buffer, PingField::VersionText, PingField::VersionWidth, system.version);
    putText(buffer, PingField::Model, PingField::ModelWidth, system.model);
    putText(buffer, PingField::Ranges, PingField::RangesWidth, system.channelRanges);
    return LOCKSTEP_PING_V3_LEN;
}

bool CheckMagic(const uint8_t* data, int len) { return len >= 4 && memcmp(data, "LYRD", 4) == 0; }

bool CheckLength(const uint8_t* data, int len) {
    return len >= LOCKSTEP_HEADER_LEN && GetExtraDataLen(data) + LOCKSTEP_HEADER_LEN == len;
}

PacketCheck CheckControlPacket(const uint8_t* data, int len) {
    if (len > 0 && (data[0] == 0xCC || data[0] == 0x55)) return PacketCheck::Tamrin;
    if (len < LOCKSTEP_HEADER_LEN) return PacketCheck::TooShort;
    if (!CheckMagic(data, len)) return PacketCheck::BadMagic;
    if (!CheckLength(data, len)) return PacketCheck::BadLength;
    return PacketCheck::Ok;
}

bool ParseSyncPacket(const uint8_t* data, int len, SyncPacketInfo& out) {
    if (len < LOCKSTEP_HEADER_LEN + LOCKSTEP_SYNC_MIN_EXTRA) return false;
    if (GetExtraDataLen(data) < LOCKSTEP_SYNC_MIN_EXTRA) return false;
    out.action = data[7];
    out.fileType = data[8];
    out.frame = static_cast<int32_t>(GetLE32(data + 9));
    uint32_t bits = GetLE32(data + 13);
    memcpy(&out.seconds, &bits, sizeof(bits));
    out.filename = ReadPacketText(data, len, 17, len - 17);
    return true;
}

std::string ParsePingPacket(const uint8_t* data, int len, PingPacketInfo& out) {
    int extra = len >= LOCKSTEP_HEADER_LEN ? GetExtraDataLen(data) : 0;
    // The length field is trusted only as far as the datagram goes.
    if (extra < LOCKSTEP_PING_V1_EXTRA || extra + LOCKSTEP_HEADER_LEN > len)
        return "ERROR: Invalid length of received Ping packet\n";
    out.version = data[PingField::Version];
    if (out.version == 1 && extra != LOCKSTEP_PING_V1_EXTRA)
        return "ERROR: Ping v1 packet too long: " + std::to_string(extra) + "\n";
    if (out.version == 2 && extra > LOCKSTEP_PING_V2_MAX_EXTRA)
        return "ERROR: Ping v2 packet too long " + std::to_string(extra) + "\n";
    out.subtype = data[PingField::Subtype];
    out.type = data[PingField::Type];
    out.majorVersion = GetBE16(data + PingField::Major);
    out.minorVersion = GetBE16(data + PingField::Minor);
    out.mode = data[PingField::Mode];
    memcpy(out.octets, data + PingField::Address, 4);
    out.address = std::to_string(out.octets[0]) + "." + std::to_string(out.octets[1]) + "." +
                  std::to_string(out.octets[2]) + "." + std::to_string(out.octets[3]);
    out.hostname = ReadPacketText(data, len, PingField::Hostname, PingField::HostnameWidth);
    out.versionText = ReadPacketText(data, len, PingField::VersionText, PingField::VersionWidth);
    out.model = ReadPacketText(data, len, PingField::Model, PingField::ModelWidth);
    out.ranges.clear();
    if (extra > LOCKSTEP_PING_V1_EXTRA)
        out.ranges = ReadPacketText(data, len, PingField::Ranges, PingField::RangesWidth);
    return "";
}

bool ParseCommandPacket(const uint8_t* data, int len, std::string& command) {
    if (len <= LOCKSTEP_HEADER_LEN || GetExtraDataLen(data) == 0) return false;
    command = ReadPacketText(data, len, 7, len - 7);
    return true;
}

bool ParsePluginPacket(const uint8_t* data, int len, std::string& name, const uint8_t*& payload,
                       int& payloadLen) {
    if (len <= LOCKSTEP_HEADER_LEN) return false;
    const void* nul = memchr(data + 7, 0, len - 7);
    if (!nul) return false;
    int n = static_cast<const uint8_t*>(nul) - (data + 7);
    name.assign(reinterpret_cast<const char*>(data + 7), n);
    payload = data + 8 + n;
    payloadLen = len - 8 - n;
    return true;
}

// Reads one NUL-terminated field at pos; false when no NUL before len.
static bool readField(const uint8_t* data, int len, int& pos, std::string& out) {
    if (pos >= len) return false;
    const void* nul = memchr(data + pos, 0, len - pos);
    if (!nul) return false;
    int n = static_cast<const uint8_t*>(nul) - (data + pos);
    out.assign(reinterpret_cast<const char*>(data + pos), n);
    pos += n + 1;
    return true;
}

bool ParseLyrCommandPacket(const uint8_t* data, int len, LyrCommandInfo& out) {
    if (len < 8) return false;
    int count = data[7];
    int pos = 8;
    if (!readField(data, len, pos, out.hosts) || !readField(data, len, pos, out.command)) return false;
    out.args.clear();
    for (int i = 0; i < count; i++) {
        std::string arg;
        if (!readField(data, len, pos, arg)) return false;
        out.args.push_back(arg);
    }
    return true;
}
