// The control packet: the one packed datagram format every system of a show
// speaks over UDP.  Builders write into a caller's zero-filled buffer and
// return the datagram length, or -1 when the packet would not fit a datagram
// (they never write past the buffer).  Parsers take a datagram and its length
// and never read past it, whatever the length fields claim.
//
// Byte order: every multi-byte field is little-endian except the two version
// numbers of the ping packet, which are big-endian.
//
// Threading: pure functions, no state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int LOCKSTEP_PORT = 32320;
constexpr const char* LOCKSTEP_MULTICAST_ADD = "239.70.80.80";

// Largest datagram a receiver reads and a sender may send.
constexpr int LOCKSTEP_MAX_PACKET = 1500;
// Buffers a sender builds packets in.
constexpr int LOCKSTEP_SEND_BUFFER = 2048;
constexpr int LOCKSTEP_PING_BUFFER_BROADCAST = 768;
constexpr int LOCKSTEP_PING_BUFFER_UNICAST = 512;

constexpr int LOCKSTEP_HEADER_LEN = 7;
constexpr int LOCKSTEP_SYNC_MIN_EXTRA = 11;  // without the file name's characters
constexpr int LOCKSTEP_PING_V3_LEN = 301;
constexpr int LOCKSTEP_PING_V3_EXTRA = 294;
constexpr int LOCKSTEP_PING_V1_EXTRA = 169;
constexpr int LOCKSTEP_PING_V2_MAX_EXTRA = 214;

enum class ControlPacketType : uint8_t {
    Command = 0,
    Sync = 1,
    Blank = 3,
    Ping = 4,
    Plugin = 5,
    LyrCommand = 6,
};

enum class SyncAction : uint8_t { Start = 0, Stop = 1, Sync = 2, Open = 3 };
enum class SyncFileType : uint8_t { Sequence = 0, Media = 1 };

#pragma pack(push, 1)
// The common 7-byte header.  extraDataLen is little-endian on the wire; use
// the accessors below rather than the field on a big-endian host.
struct ControlPkt {
    char magic[4];
    uint8_t pktType;
    uint16_t extraDataLen;
};
#pragma pack(pop)
static_assert(sizeof(ControlPkt) == 7, "control packet header must be packed");

// Ping packet field offsets (all versions share the fields up to 165).
namespace PingField {
constexpr int Version = 7;
constexpr int Subtype = 8;
constexpr int Type = 9;
constexpr int Major = 10;
constexpr int Minor = 12;
constexpr int Mode = 14;
constexpr int Address = 15;
constexpr int Hostname = 19;
constexpr int HostnameWidth = 65;
constexpr int VersionText = 84;
constexpr int VersionWidth = 41;
constexpr int Model = 125;
constexpr int ModelWidth = 41;
constexpr int Ranges = 166;
constexpr int RangesWidth = 121;
}  // namespace PingField

// Mode-byte bit that says the sender sends sync packets.
constexpr uint8_t PING_MODE_SENDS_SYNC = 0x04;

class LockstepSystem;

// ---- byte helpers ----
void PutLE16(uint8_t* p, uint16_t v);
void PutLE32(uint8_t* p, uint32_t v);
void PutBE16(uint8_t* p, uint16_t v);
uint16_t GetLE16(const uint8_t* p);
uint32_t GetLE32(const uint8_t* p);
uint16_t GetBE16(const uint8_t* p);
// The text at `offset`, up to its NUL, at most `width` bytes and never past
// `len`.  An offset at or past `len` gives "".
std::string ReadPacketText(const uint8_t* data, int len, int offset, int width);

// ---- builders ----
// Writes "LYRD", type 0 and length 0.
void InitControlPacket(ControlPkt* pkt);
uint16_t GetExtraDataLen(const void* pkt);
void SetExtraDataLen(void* pkt, uint16_t len);

int BuildSyncPacket(uint8_t* buf, int bufSize, SyncAction action, SyncFileType fileType, int32_t frame,
                    float seconds, const std::string& filename);
int BuildBlankingPacket(uint8_t* buf, int bufSize);
int BuildCommandPacket(uint8_t* buf, int bufSize, const std::string& command);
int BuildPluginPacket(uint8_t* buf, int bufSize, const std::string& name, const uint8_t* data, int len);
// -1 also when there are more than 255 arguments: the count byte cannot say so.
int BuildLyrCommandPacket(uint8_t* buf, int bufSize, const std::string& hosts, const std::string& command,
                          const std::vector<std::string>& args);
// Version-3 ping of `system` into a zero-filled buffer of at least 301 bytes;
// returns 301.  discover > 0 makes it a discover ping.
int CreatePingPacket(LockstepSystem& system, char* buffer, int discover);

// ---- acceptance checks and parsers ----
enum class PacketCheck {
    Ok,
    Tamrin,     // first byte 0xCC or 0x55: the controller protocol, not ours
    TooShort,   // fewer than 7 bytes
    BadMagic,   // no "LYRD"
    BadLength,  // length field disagrees with the datagram
};
// The header checks, in the order a receiver applies them.
PacketCheck CheckControlPacket(const uint8_t* data, int len);
bool CheckMagic(const uint8_t* data, int len);
bool CheckLength(const uint8_t* data, int len);

struct SyncPacketInfo {
    uint8_t action = 0;
    uint8_t fileType = 0;
    int32_t frame = 0;
    float seconds = 0;
    std::string filename;
};
// False when the extra data is shorter than a sync packet's fixed part.
bool ParseSyncPacket(const uint8_t* data, int len, SyncPacketInfo& out);

struct PingPacketInfo {
    uint8_t version = 0;
    uint8_t subtype = 0;
    uint8_t type = 0;
    uint16_t majorVersion = 0;
    uint16_t minorVersion = 0;
    uint8_t mode = 0;
    uint8_t octets[4] = {0, 0, 0, 0};
    std::string address;  // "%d.%d.%d.%d" of octets
    std::string hostname;
    std::string versionText;
    std::string model;
    std::string ranges;
};
// Empty on success; otherwise the log line that rejects the packet, e.g.
// "ERROR: Invalid length of received Ping packet\n".
std::string ParsePingPacket(const uint8_t* data, int len, PingPacketInfo& out);

bool ParseCommandPacket(const uint8_t* data, int len, std::string& command);

// False when the name has no NUL inside the datagram (the payload length
// would be negative).  payload points into `data`.
bool ParsePluginPacket(const uint8_t* data, int len, std::string& name, const uint8_t*& payload,
                       int& payloadLen);

struct LyrCommandInfo {
    std::string hosts;
    std::string command;
    std::vector<std::string> args;
};
// False when the packet ends before the host list, the command name or any
// of the announced arguments is complete.
bool ParseLyrCommandPacket(const uint8_t* data, int len, LyrCommandInfo& out);
