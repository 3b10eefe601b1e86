// Bytes that reach the channel outputs from outside: an Art-Net datagram
// arriving at the board's port 6454 (the poll-reply parser, then the node
// table it feeds) and a channel remap document (parsed, checked and applied
// to a small buffer).  Byte 0 of the input picks which; no socket is opened.
#include <json/json.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "channeloutput/ArtNetNodes.h"
#include "channeloutput/ArtNetPacket.h"
#include "channeloutput/ChannelRemaps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::MediaDir(), true);
    (void)ready;
    if (size < 1) return 0;
    if (data[0] & 1) {
        ArtNetPacket::PollReply r;
        if (!ArtNetPacket::ParsePollReply(data + 1, size - 1, r)) return 0;
        ArtNetNodes nodes;
        nodes.OnReply(r, 0);
        for (int p : r.outputPorts)
            if (p < 0 || p > ARTNET_MAX_PORT_ADDRESS || nodes.Subscribers(p).empty()) __builtin_trap();
        nodes.Expire(ArtNetNodes::FORGET_AFTER_MS);
        if (nodes.NodeCount() != 0) __builtin_trap();
        return 0;
    }
    Json::Value doc;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    const char* text = reinterpret_cast<const char*>(data + 1);
    if (!reader->parse(text, text + size - 1, &doc, &errs)) return 0;
    const uint32_t channels = 4096;
    ChannelRemaps set(channels);
    std::string error;
    if (!set.Load(doc, error)) return 0;
    std::vector<uint8_t> buf(channels, 1);
    set.Apply(buf.data());  // every remap kept must stay inside the buffer
    return 0;
}
