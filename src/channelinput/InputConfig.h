// The channel inputs: the media directory's "config/ci-universes.json".
//
//   {"channelInputs": [{"enabled": 1, "interface": "eth0",
//     "universes": [{"active": 1, "protocol": "sacn", "id": 1,
//                    "startChannel": 1, "channelCount": 512,
//                    "universeCount": 1}]}]}
//
// "protocol" is "sacn" (E1.31, universes 1-63999, the default) or "artnet"
// (Art-Net port address 0-32767); "universeCount" > 1 repeats a universe
// with consecutive numbers and channels; "interface" is where sACN multicast
// groups are joined.  A bad group or universe is reported with its position
// and left out; the rest still loads.
//
// Threading: none; pure functions.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

enum class InputProtocol { SACN, ArtNet };

struct InputUniverse {
    InputProtocol protocol = InputProtocol::SACN;
    uint16_t universe = 0;
    uint32_t start = 0;  // 0-based first channel of the bridge buffer
    uint32_t count = 0;  // 1-512
    std::string interface;
};

const char* InputProtocolName(InputProtocol p);

// Expands and checks a parsed file; each problem is appended to `problems`
// as one line naming its position ("channelInputs[0].universes[2]: ...").
std::vector<InputUniverse> ParseInputConfig(const Json::Value& root, std::vector<std::string>& problems);
