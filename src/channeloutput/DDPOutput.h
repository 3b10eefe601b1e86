// DDP output: a channel range of the buffer sent to one controller, UDP port
// 4048, in packets of at most 1440 data bytes, all packets of a frame in one
// sendmmsg call.  Channel data is not copied: each packet's payload iovec
// points into the channel buffer.
//
// Configured as an output of "config/co-universes.json":
//
//   {"type": "ddp", "enabled": 1, "address": "10.0.0.60",
//    "startChannel": 1, "channelCount": 1500, "dataType": 11}
//
// Header (10 bytes, see docs/ddp.md): flags (version 1 in bits 7-6, push in
// bit 0 on the last packet of a frame), sequence (1-15 in the low 4 bits,
// the same for every packet of one frame), data type ("dataType", default
// 0x0B: RGB, 8 bits each), destination id 1 (the controller's default
// output), byte offset of the packet's data within the range (32 bits) and
// its length (16 bits), both big-endian.
//
// Threading: Init on the main thread, SendData on the output thread, never
// at the same time (the channel-outputs layer locks).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "channeloutput/ChannelOutput.h"

#define DDP_PORT 4048
#define DDP_HEADER_LEN 10
#define DDP_MAX_DATA 1440
#define DDP_FLAG_VERSION_1 0x40
#define DDP_FLAG_PUSH 0x01
#define DDP_TYPE_RGB8 0x0B
#define DDP_ID_DEFAULT 1

class DDPOutput : public ChannelOutput {
public:
    DDPOutput();
    ~DDPOutput() override;

    bool Init(const Json::Value& config) override;
    int SendData(const uint8_t* channels) override;
    void GetRanges(OutputRanges& out, bool precise) const override;
    uint32_t MaxChannel() const override { return start + count; }
    std::string TypeName() const override { return "DDP"; }

    size_t PacketCount() const { return headers.size(); }

    // The 10-byte header of a packet carrying `length` bytes from byte
    // `offset` of the range; the sequence byte is 0 here, set per frame.
    static void BuildHeader(uint8_t* hdr, uint32_t offset, uint16_t length, bool push, uint8_t dataType);
    // Next sequence number: 1-15, never 0 (0 means "not sequenced").
    static uint8_t NextSequence(uint8_t s) { return s >= 15 ? 1 : uint8_t(s + 1); }
    // (offset, length) of each packet of a frame of `bytes` bytes.
    static std::vector<std::pair<uint32_t, uint32_t>> Chunks(uint32_t bytes,
                                                             uint32_t maxPerPacket = DDP_MAX_DATA);

private:
    uint32_t start = 0;  // 0-based first channel
    uint32_t count = 0;
    uint8_t sequence = 0;
    struct sockaddr_in dest {};
    std::vector<std::array<uint8_t, DDP_HEADER_LEN>> headers;
    std::vector<std::pair<uint32_t, uint32_t>> chunks;
    std::vector<struct mmsghdr> msgs;
    std::vector<struct iovec> iovs;
    int sock = -1;
    unsigned errorCount = 0;
};
