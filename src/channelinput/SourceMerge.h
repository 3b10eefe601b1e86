// The sources of one input universe and the data they merge to.
//
// A source is known by a 16-byte key (an sACN CID, or an Art-Net sender's
// address and port).  The highest priority among the sources heard within
// the timeout wins; sources of that priority are merged highest-takes-
// precedence per channel (a channel a source does not send counts as 0).
// A source is dropped `timeout` after its last packet, or at once when it
// says it terminates.  Packets whose sequence number steps back by less than
// 20 (signed 8-bit difference in (-20, 0]) are out of order and discarded;
// sequence -1 means the sender does not number its packets.
//
// Time is passed in (monotonic ns), so tests drive the timeouts.
// Threading: none; the owner locks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define SOURCE_MERGE_SLOTS 512

using SourceKey = std::array<uint8_t, 16>;

class SourceMerge {
public:
    enum class Result { Accepted, OutOfOrder, SourceLimit, Terminated };

    struct Source {
        SourceKey key{};
        std::string name;
        uint8_t priority = 0;
        int lastSequence = -1;
        int64_t lastPacket = 0;
        std::array<uint8_t, SOURCE_MERGE_SLOTS> slots{};
        uint16_t slotCount = 0;
    };

    SourceMerge(size_t maxSources, int64_t timeoutNS);

    // A data packet: accepted packets change the merged data.
    Result Receive(const SourceKey& key, const std::string& name, uint8_t priority, int sequence,
                   const uint8_t* slots, size_t count, int64_t now);
    // A packet saying the source stops: it is dropped at once (when in order).
    Result Terminate(const SourceKey& key, int sequence, int64_t now);
    // Drops sources silent for the timeout; true when one went.
    bool Expire(int64_t now);

    // The merged channels (SOURCE_MERGE_SLOTS bytes), as of the last change.
    const uint8_t* Merged() const { return merged.data(); }
    // Sources heard within the timeout.
    std::vector<Source> Sources(int64_t now) const;
    // Last accepted packet of any source still held, 0 with none.
    int64_t LastData() const;
    size_t SourceCount() const { return sources.size(); }

private:
    Source* find(const SourceKey& key);
    bool inOrder(const Source& s, int sequence) const;
    void remerge();

    size_t maxSources;
    int64_t timeout;
    std::vector<Source> sources;
    std::array<uint8_t, SOURCE_MERGE_SLOTS> merged{};
};
