// E1.31 (streaming ACN, ANSI E1.31-2016) output: one data packet per
// universe per frame, unicast to the universe's "address" or multicast to
// 239.255.{id>>8}.{id&255}, UDP port 5568, all packets of a frame in one
// sendmmsg call.  Channel data is not copied: each packet's payload iovec
// points straight into the channel buffer.
//
// Per-universe sequence numbers; the CID is the system's UUID ("SystemUUID"),
// or, when that is unknown, a stable one derived from the host name and the
// network interfaces' hardware addresses.
//
// Threading: Init on the main thread, SendData on the output thread, never
// at the same time (the channel-outputs layer locks).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "channeloutput/ChannelOutput.h"

#define E131_PORT 5568
#define E131_HEADER_LEN 126
#define E131_MAX_SLOTS 512
#define E131_MIN_UNIVERSE 1
#define E131_MAX_UNIVERSE 63999

class E131Output : public ChannelOutput {
public:
    E131Output();
    ~E131Output() override;

    bool Init(const Json::Value& config) override;
    int SendData(const uint8_t* channels) override;
    void GetRanges(OutputRanges& out, bool precise) const override;
    uint32_t MaxChannel() const override;
    std::string TypeName() const override { return "E1.31"; }

    size_t UniverseCount() const { return universes.size(); }

    // Parses a UUID text (32 hex digits, dashes and braces ignored) into 16
    // bytes; false when it is not one.
    static bool ParseUUID(const std::string& text, uint8_t out[16]);
    // The CID for this system: "SystemUUID" when it parses, else derived.
    static std::array<uint8_t, 16> SystemCID();
    // Builds the 126-byte header of a data packet carrying `slots` channels.
    static void BuildHeader(uint8_t* hdr, const uint8_t cid[16], const std::string& sourceName, int universe,
                            int priority, int slots);

private:
    struct Universe {
        int id = 0;
        uint32_t start = 0;  // 0-based first channel
        uint32_t count = 0;
        int priority = 100;
        uint8_t sequence = 0;
        struct sockaddr_in dest {};
        std::array<uint8_t, E131_HEADER_LEN> header{};
    };
    bool addUniverse(const Json::Value& u, int index);
    bool openSocket(const std::string& interface);

    std::vector<Universe> universes;
    std::vector<struct mmsghdr> msgs;
    std::vector<struct iovec> iovs;
    std::array<uint8_t, 16> cid{};
    std::string sourceName;
    int sock = -1;
    unsigned errorCount = 0;
};
