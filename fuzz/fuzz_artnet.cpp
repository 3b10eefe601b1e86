// Art-Net datagrams through the parser and the bridge buffer: OpDmx checks,
// the two-source merge by sender address, and for every OpPoll the replies
// that would be sent.  The input is a batch of up to 16 datagrams separated
// by "\n--\n"; byte 0 of each piece picks the sender (low 2 bits: one of
// four addresses) and advances the clock (high 6 bits, 250 ms steps); the
// rest is the datagram, in a heap block of exactly its size.
//
// Neutralised: no socket; replies are built but not sent.
#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "channelinput/ArtNetPacket.h"
#include "channelinput/ChannelInputs.h"
#include "common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::MediaDir(), true);
    (void)ready;
    static const char* CONFIG = R"({"channelInputs": [{"universes": [
        {"protocol": "artnet", "id": 0, "startChannel": 1, "channelCount": 512, "universeCount": 5},
        {"protocol": "artnet", "id": 32767, "startChannel": 4000, "channelCount": 2}]}]})";
    std::vector<std::string> problems;
    ChannelInputs in(ParseInputConfig(LoadJsonFromString(CONFIG), problems));
    int64_t now = 1000000000;
    for (const std::string& piece : fuzz::Pieces(data, size, 16)) {
        if (piece.empty()) continue;
        uint8_t b = uint8_t(piece[0]);
        now += int64_t(b >> 2) * 250000000;
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x0A000001u + (b & 3));
        from.sin_port = htons(6454);
        size_t len = piece.size() - 1;
        std::unique_ptr<uint8_t[]> d(new uint8_t[len ? len : 1]);
        memcpy(d.get(), piece.data() + 1, len);
        if (in.ReceiveArtNet(d.get(), len, from, now) == ChannelInputs::Outcome::Poll) {
            ArtNetNodeInfo node;
            node.shortName = std::string(piece.data(), std::min<size_t>(piece.size(), 30));
            in.ArtNetPorts(now, node.universes, node.live);
            auto replies = BuildArtPollReplies(node);
            (void)replies;
        }
    }
    std::vector<uint8_t> frame(in.MaxChannel(), 0);
    in.Copy(frame.data(), frame.size(), now);
    Json::Value stats = in.Stats(now, 1700000000000LL);
    (void)stats;
    return 0;
}
