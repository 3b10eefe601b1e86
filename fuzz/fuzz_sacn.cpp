// sACN datagrams through the parser and the bridge buffer: the layer checks,
// source tracking and merging of a few configured universes, the statistics
// the HTTP API reads and the copies the output thread and recorder make.
// The input is a batch of up to 16 datagrams separated by "\n--\n"; byte 0
// of each datagram's piece advances the test's clock (in 100 ms steps), the
// rest is the datagram, copied into a heap block of exactly its size so a
// read past it is caught.
//
// Neutralised: no socket; datagrams go straight to ChannelInputs.
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "channelinput/ChannelInputs.h"
#include "channelinput/E131Packet.h"
#include "common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::MediaDir(), true);
    (void)ready;
    static const char* CONFIG = R"({"channelInputs": [{"universes": [
        {"protocol": "sacn", "id": 1, "startChannel": 1, "channelCount": 512, "universeCount": 2},
        {"protocol": "sacn", "id": 63999, "startChannel": 1025, "channelCount": 7}]}]})";
    std::vector<std::string> problems;
    ChannelInputs in(ParseInputConfig(LoadJsonFromString(CONFIG), problems));
    int64_t now = 1000000000;
    for (const std::string& piece : fuzz::Pieces(data, size, 16)) {
        if (piece.empty()) continue;
        now += int64_t(uint8_t(piece[0])) * 100000000;
        size_t len = piece.size() - 1;
        std::unique_ptr<uint8_t[]> d(new uint8_t[len ? len : 1]);
        memcpy(d.get(), piece.data() + 1, len);
        E131Packet p;
        if (ParseE131(d.get(), len, p) == E131Error::None && p.slots) {
            // The slots must lie inside the datagram.
            volatile uint8_t sum = 0;
            for (size_t i = 0; i < p.slotCount; i++) sum = sum + p.slots[i];
        }
        in.ReceiveE131(d.get(), len, now);
    }
    std::vector<uint8_t> frame(in.MaxChannel() + 3, 0);
    in.Copy(frame.data(), frame.size(), now);
    in.ApplyLive(frame.data(), 100, now);
    Json::Value stats = in.Stats(now, 1700000000000LL);
    (void)stats;
    (void)in.HasData(now);
    return 0;
}
