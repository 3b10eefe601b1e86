// Channel remaps: blocks of channels copied to other channels of every
// frame, after everything has drawn and before the outputs send (one prop's
// data mirrored to others wired elsewhere).
//
// "config/channelremap.json" (docs/outputs.md):
//
//   {"remaps": [{"name": "garage", "source": 1, "destination": 1501,
//                "count": 300, "loops": 2, "active": 1}]}
//
// (a bare list of the remap objects is read the same way).  Each remap
// copies channels source .. source+count-1 to destination .. and, with
// "loops" n, to the n consecutive blocks of `count` channels from there.
// Channels are 1-based.  Remaps apply in file order.  A remap whose ranges
// fall outside the channel buffer, or whose destination blocks overlap its
// own source, is refused with a log line; the others apply.  Named remaps
// can be switched on and off by remap playlist entries.
//
// Threading: a ChannelRemaps object is not synchronised.  The free
// functions below keep the live set and may be called from any thread;
// ApplyChannelRemaps runs on the output thread.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

struct ChannelRemap {
    std::string name;
    uint32_t source = 0;  // 1-based
    uint32_t destination = 0;
    uint32_t count = 0;
    uint32_t loops = 1;
    bool active = true;
};

class ChannelRemaps {
public:
    explicit ChannelRemaps(uint32_t bufferChannels) : bufferChannels(bufferChannels) {}

    // Why a remap can not apply to a buffer of `bufferChannels` ("" if it can).
    static std::string Check(const ChannelRemap& r, uint32_t bufferChannels);
    // Reads one remap object; "" and `out` set, or why it is unusable.
    static std::string Parse(const Json::Value& v, ChannelRemap& out);

    // Replaces the set with the good remaps of a document; the bad ones are
    // logged and left out.  False (set unchanged) when the document is not a
    // list of remaps at all, with the reason in `error`.
    bool Load(const Json::Value& doc, std::string& error);
    // Adds a remap at the end; false with the reason when it is refused.
    bool Add(const ChannelRemap& r, std::string& error);
    // Remaps removed / switched, by name.
    int Remove(const std::string& name);
    int SetActive(const std::string& name, bool active);

    // Copies every active remap's source block over its destinations in
    // `channels` (bufferChannels bytes, channel 1 at index 0).
    void Apply(uint8_t* channels) const;

    const std::vector<ChannelRemap>& Remaps() const { return remaps; }

private:
    uint32_t bufferChannels;
    std::vector<ChannelRemap> remaps;
};

// The live set, read from the media directory's "config/channelremap.json"
// (a missing file is no remaps).  Returns false, keeping the remaps in use,
// when the file can not be read as remaps; `error` says why.
bool LoadChannelRemaps(std::string& error);
void ApplyChannelRemaps(uint8_t* channels);
// Playlist entries: switch, add or remove live remaps; the number changed.
int SetChannelRemapActive(const std::string& name, bool active);
bool AddChannelRemap(const ChannelRemap& r, std::string& error);
int RemoveChannelRemap(const std::string& name);
// The live remaps (a copy).
std::vector<ChannelRemap> GetChannelRemaps();
