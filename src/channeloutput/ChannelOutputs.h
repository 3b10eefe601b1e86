// The channel outputs: loaded from the media directory's
// "config/co-universes.json" and fed one composed frame at a time.
//
//   {"channelOutputs": [{"type": "universes", "enabled": 1, "interface": "",
//     "universes": [{"active": 1, "id": 1, "startChannel": 1,
//                    "channelCount": 512, "address": "", "priority": 100,
//                    "universeCount": 1, "description": ""}]}]}
//
// "type" "universes" (or "e1.31") is E1.31 (sACN): a universe with an
// "address" is sent unicast there, else multicast to 239.255.{id>>8}.{id&255};
// "universeCount" > 1 repeats a universe with consecutive ids and channels.
// "type" "artnet" is Art-Net (ArtNetOutput.h) and "ddp" is DDP (DDPOutput.h);
// docs/outputs.md describes every key.
// A bad output or universe is logged and skipped; the others still load.
//
// Threading: InitializeChannelOutputs/CloseChannelOutputs on the main
// thread; SendChannelData from the output thread (and ForceChannelOutputNow);
// Enable/Disable and the queries from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// (start channel 1-based, channel count) pairs; also usable as its text,
// "1-512,513-1024" (ranges joined with ",").
class OutputRanges : public std::vector<std::pair<int, int>> {
public:
    std::string toString() const;
    operator std::string() const { return toString(); }
};

// Returns the number of outputs loaded.
int InitializeChannelOutputs();
void CloseChannelOutputs();
// precise: one pair per run of contiguous active universes; otherwise one
// pair per output spanning its first to last channel.
OutputRanges GetOutputRanges(bool precise);

void EnableChannelOutput();
void DisableChannelOutput();
bool ChannelOutputEnabled();

// Highest channel (1-based) any output sends; 0 with no outputs.
uint32_t GetChannelOutputMaxChannel();
// Sends `channels` (LYRD_MAX_CHANNELS bytes, channel 1 at index 0) to every
// enabled output.  Returns the number of packets sent.
int SendChannelData(const uint8_t* channels);
