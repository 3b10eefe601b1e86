#include "channelinput/InputConfig.h"

#include <set>
#include <utility>

#include "channelinput/ArtNetPacket.h"
#include "channelinput/E131Packet.h"
#include "channeloutput/Sequence.h"

namespace {

// -1 when missing, -2 when not a whole number.
long long number(const Json::Value& v, const char* key, long long def) {
    if (!v.isMember(key)) return def;
    const Json::Value& m = v[key];
    if (m.isBool()) return m.asBool() ? 1 : 0;
    if (m.isIntegral()) return m.isInt64() ? m.asInt64() : -2;
    if (m.isString()) {
        const std::string& s = m.asString();
        char* end = nullptr;
        long long r = strtoll(s.c_str(), &end, 10);
        if (end != s.c_str() && *end == 0) return r;
    }
    return -2;
}

bool enabled(const Json::Value& v, const char* key) {
    const Json::Value& e = v.get(key, 1);
    if (e.isString()) return e.asString() != "0" && e.asString() != "false";
    if (e.isBool() || e.isNumeric()) return e.asBool();
    return true;
}

std::string check(const Json::Value& u, InputProtocol& proto, long long& id, long long& start,
                  long long& count, long long& repeat) {
    if (!u.isObject()) return "not an object";
    std::string p = u.get("protocol", "sacn").isString() ? u.get("protocol", "sacn").asString() : "";
    if (p == "sacn" || p == "e1.31" || p == "e131")
        proto = InputProtocol::SACN;
    else if (p == "artnet")
        proto = InputProtocol::ArtNet;
    else
        return "protocol must be \"sacn\" or \"artnet\"";
    id = number(u, "id", -1);
    start = number(u, "startChannel", -1);
    count = number(u, "channelCount", 512);
    repeat = number(u, "universeCount", 1);
    long long lo = proto == InputProtocol::SACN ? 1 : 0;
    long long hi = proto == InputProtocol::SACN ? E131_INPUT_MAX_UNIVERSE : ARTNET_MAX_PORT_ADDRESS;
    if (id < lo || id > hi) return "id out of " + std::to_string(lo) + "-" + std::to_string(hi);
    if (count < 1 || count > 512) return "channelCount out of 1-512";
    if (start < 1) return "startChannel missing or below 1";
    if (repeat < 1 || id + repeat - 1 > hi) return "universeCount out of range";
    if (start - 1 + count * repeat > LYRD_MAX_CHANNELS) return "channels beyond the channel buffer";
    return "";
}

}  // namespace

const char* InputProtocolName(InputProtocol p) {
    return p == InputProtocol::SACN ? "sacn" : "artnet";
}

std::vector<InputUniverse> ParseInputConfig(const Json::Value& root, std::vector<std::string>& problems) {
    std::vector<InputUniverse> out;
    std::set<std::pair<int, int>> seen;
    const Json::Value& groups = root.isObject() ? root["channelInputs"] : Json::Value::nullSingleton();
    if (!groups.isArray()) {
        problems.push_back("no \"channelInputs\" list");
        return out;
    }
    for (Json::ArrayIndex g = 0; g < groups.size(); g++) {
        std::string gpos = "channelInputs[" + std::to_string(g) + "]";
        const Json::Value& group = groups[g];
        if (!group.isObject() || !group["universes"].isArray()) {
            problems.push_back(gpos + ": not an object with a \"universes\" list");
            continue;
        }
        if (!enabled(group, "enabled")) continue;
        std::string ifname =
            group.get("interface", "").isString() ? group.get("interface", "").asString() : "";
        const Json::Value& list = group["universes"];
        for (Json::ArrayIndex i = 0; i < list.size(); i++) {
            std::string pos = gpos + ".universes[" + std::to_string(i) + "]";
            if (list[i].isObject() && !enabled(list[i], "active")) continue;
            InputProtocol proto;
            long long id = 0, start = 0, count = 0, repeat = 0;
            std::string why = check(list[i], proto, id, start, count, repeat);
            if (!why.empty()) {
                problems.push_back(pos + ": " + why);
                continue;
            }
            for (long long r = 0; r < repeat; r++) {
                if (!seen.insert({int(proto), int(id + r)}).second) {
                    problems.push_back(pos + ": " + InputProtocolName(proto) + " universe " +
                                       std::to_string(id + r) + " is configured twice");
                    continue;
                }
                InputUniverse u;
                u.protocol = proto;
                u.universe = uint16_t(id + r);
                u.start = uint32_t(start - 1 + r * count);
                u.count = uint32_t(count);
                u.interface = ifname;
                out.push_back(u);
            }
        }
    }
    return out;
}
