// The bridge buffer: every configured input universe, the sources merging
// into it and their statistics.  Datagrams go in as bytes (no sockets here);
// the channel-output thread, the recorder and the HTTP API read out.
//
// sACN: up to SACN_MAX_SOURCES sources per universe, priority then per-channel
// highest-takes-precedence, a source dropped 2.5 s after its last packet or
// at once on Stream_Terminated; preview data and non-zero start codes are
// ignored, as are synchronisation and universe-discovery packets.
// Art-Net: up to two sources per universe (by address and port), merged
// highest-takes-precedence, each dropped 10 s after its last packet.
// A universe is live while it holds a source whose last packet is younger
// than 2.5 s; channels of universes that are not live read as 0.
//
// Time is passed in (monotonic ns for timeouts, plus wall-clock ms for the
// statistics), so tests drive it.
// Threading: every member may be called from any thread (one internal lock).
#pragma once

#include <json/json.h>
#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "channelinput/InputConfig.h"
#include "channelinput/SourceMerge.h"

#define SACN_MAX_SOURCES 16
#define ARTNET_MAX_SOURCES 2

class ChannelInputs {
public:
    static constexpr int64_t LIVE_NS = 2500000000LL;
    static constexpr int64_t SACN_TIMEOUT_NS = 2500000000LL;
    static constexpr int64_t ARTNET_TIMEOUT_NS = 10000000000LL;

    enum class Outcome {
        Changed,  // channel data of a configured universe changed
        Ignored,  // valid, but nothing for the buffer (other universe, preview, discovery, ...)
        Dropped,  // malformed, out of order, or over the source limit
        Poll,     // an Art-Net OpPoll: the caller answers it
    };

    explicit ChannelInputs(std::vector<InputUniverse> universes);

    Outcome ReceiveE131(const uint8_t* data, size_t len, int64_t now);
    Outcome ReceiveArtNet(const uint8_t* data, size_t len, const sockaddr_in& from, int64_t now);
    // A datagram cut short by the receive buffer.
    void CountTruncated(InputProtocol p, size_t len, int64_t now);

    // Channels 1..len into dst[0..len): live universes' data, 0 elsewhere.
    void Copy(uint8_t* dst, size_t len, int64_t now) const;
    // Live universes' channels over buf (size bytes); the rest is left alone.
    void ApplyLive(uint8_t* buf, size_t size, int64_t now) const;
    bool HasData(int64_t now) const;
    // Highest channel (1-based) any input universe fills.
    uint32_t MaxChannel() const { return maxChannel; }
    const std::vector<InputUniverse>& Universes() const { return config; }
    // Art-Net universes (port addresses) and whether each is live, in order.
    void ArtNetPorts(int64_t now, std::vector<uint16_t>& ports, std::vector<bool>& live) const;

    // The universes of one console frame: MarkBurst() forgets which
    // universes have sent data; BurstComplete(now) is true once every live
    // universe has sent since, so the frame can leave without waiting for a
    // gap.  A universe that is live but sends less often keeps it false.
    void MarkBurst();
    bool BurstComplete(int64_t now) const;

    // {"universes": [...], "malformed": {...}, ...}; see docs/channel-inputs.md.
    Json::Value Stats(int64_t now, int64_t wallMS) const;
    void ResetStats();

private:
    struct Counters {
        uint64_t packets = 0, bytes = 0, malformed = 0, outOfOrder = 0, sourceLimit = 0, preview = 0,
                 startCode = 0;
        int64_t lastPacket = 0;
    };
    struct Universe {
        InputUniverse config;
        SourceMerge merge;
        Counters counters;
        bool sentSinceMark = false;
        Universe(const InputUniverse& c, size_t maxSources, int64_t timeout)
            : config(c), merge(maxSources, timeout) {}
    };
    struct Totals {
        uint64_t malformed = 0, unconfigured = 0, discovery = 0, sync = 0, polls = 0, other = 0;
    };

    Universe* find(InputProtocol p, uint16_t universe);
    bool live(const Universe& u, int64_t now) const;
    Outcome count(Universe& u, SourceMerge::Result r);
    void noteMalformed(InputProtocol p, const char* why, size_t len, int64_t now);

    mutable std::mutex lock;  // guards everything below but the atomics
    std::vector<InputUniverse> config;
    std::vector<Universe> universes;
    std::map<uint32_t, size_t> index;  // protocol << 16 | universe -> universes[]
    Totals totals[2];
    uint32_t maxChannel = 0;
    int64_t lastMalformedLog = 0;
    std::atomic<int64_t> lastAccepted{0};
};
