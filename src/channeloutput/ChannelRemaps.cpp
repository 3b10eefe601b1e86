#include "channeloutput/ChannelRemaps.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "channeloutput/OutputConfig.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

std::string ChannelRemaps::Check(const ChannelRemap& r, uint32_t size) {
    if (r.source < 1 || r.destination < 1) return "channels start at 1";
    if (r.count < 1) return "count below 1";
    if (r.loops < 1) return "loops below 1";
    uint64_t srcEnd = uint64_t(r.source) - 1 + r.count;  // one past, 0-based
    uint64_t dstEnd = uint64_t(r.destination) - 1 + uint64_t(r.count) * r.loops;
    if (srcEnd > size) return "source beyond channel " + std::to_string(size);
    if (dstEnd > size) return "destination beyond channel " + std::to_string(size);
    uint64_t src = r.source - 1, dst = r.destination - 1;
    if (dst < srcEnd && src < dstEnd) return "destination overlaps its own source";
    return "";
}

std::string ChannelRemaps::Parse(const Json::Value& v, ChannelRemap& out) {
    if (!v.isObject()) return "not an object";
    out = ChannelRemap();
    out.name = OutputConfig::Text(v, "name");
    int source = OutputConfig::Int(v, "source", 0);
    int destination = OutputConfig::Int(v, "destination", 0);
    int count = OutputConfig::Int(v, "count", 0);
    int loops = OutputConfig::Int(v, "loops", 1);
    if (source < 1 || destination < 1) return "\"source\" and \"destination\" must be channels from 1";
    if (count < 1) return "\"count\" must be at least 1";
    if (loops < 1) return "\"loops\" must be at least 1";
    out.source = uint32_t(source);
    out.destination = uint32_t(destination);
    out.count = uint32_t(count);
    out.loops = uint32_t(loops);
    out.active = OutputConfig::Int(v, "active", 1) != 0;
    return "";
}

bool ChannelRemaps::Load(const Json::Value& doc, std::string& error) {
    const Json::Value* list = &doc;
    if (doc.isObject()) list = &doc["remaps"];
    if (!list->isArray()) {
        error = "expected a list of remaps (or {\"remaps\": [...]})";
        return false;
    }
    std::vector<ChannelRemap> loaded;
    for (Json::ArrayIndex i = 0; i < list->size(); i++) {
        ChannelRemap r;
        std::string why = Parse((*list)[i], r);
        if (why.empty()) why = Check(r, bufferChannels);
        if (!why.empty()) {
            LogErr(VB_CHANNELOUT, "Channel remap %d%s%s%s: %s; refused\n", int(i) + 1,
                   r.name.empty() ? "" : " '", r.name.c_str(), r.name.empty() ? "" : "'", why.c_str());
            continue;
        }
        loaded.push_back(r);
    }
    remaps.swap(loaded);
    return true;
}

bool ChannelRemaps::Add(const ChannelRemap& r, std::string& error) {
    error = Check(r, bufferChannels);
    if (!error.empty()) return false;
    remaps.push_back(r);
    return true;
}

int ChannelRemaps::Remove(const std::string& name) {
    int n = 0;
    for (auto it = remaps.begin(); it != remaps.end();) {
        if (it->name == name) {
            it = remaps.erase(it);
            n++;
        } else {
            ++it;
        }
    }
    return n;
}

int ChannelRemaps::SetActive(const std::string& name, bool active) {
    int n = 0;
    for (auto& r : remaps)
        if (r.name == name) {
            r.active = active;
            n++;
        }
    return n;
}

void ChannelRemaps::Apply(uint8_t* channels) const {
    for (const auto& r : remaps) {
        if (!r.active) continue;
        const uint8_t* src = channels + r.source - 1;
        uint8_t* dst = channels + r.destination - 1;
        for (uint32_t l = 0; l < r.loops; l++, dst += r.count) memcpy(dst, src, r.count);
    }
}

// ---- the live set

namespace {

std::mutex liveLock;
ChannelRemaps live(LYRD_MAX_CHANNELS);
std::atomic<bool> anyActive{false};

void noteActive() {
    bool any = false;
    for (const auto& r : live.Remaps()) any |= r.active;
    anyActive = any;
}

}  // namespace

bool LoadChannelRemaps(std::string& error) {
    std::string path = getLyrMediaDir("/config/channelremap.json");
    Json::Value doc(Json::arrayValue);
    if (FileExists(path) && !LoadJsonFromFile(path, doc)) {
        error = "can not parse " + path;
        LogErr(VB_CHANNELOUT, "Channel remaps: %s; the remaps in use are kept\n", error.c_str());
        return false;
    }
    std::lock_guard<std::mutex> l(liveLock);
    if (!live.Load(doc, error)) {
        error = path + ": " + error;
        LogErr(VB_CHANNELOUT, "Channel remaps: %s; the remaps in use are kept\n", error.c_str());
        return false;
    }
    noteActive();
    LogInfo(VB_CHANNELOUT, "Channel remaps: %d loaded\n", int(live.Remaps().size()));
    return true;
}

void ApplyChannelRemaps(uint8_t* channels) {
    if (!anyActive) return;
    std::lock_guard<std::mutex> l(liveLock);
    live.Apply(channels);
}

int SetChannelRemapActive(const std::string& name, bool active) {
    std::lock_guard<std::mutex> l(liveLock);
    int n = live.SetActive(name, active);
    noteActive();
    return n;
}

bool AddChannelRemap(const ChannelRemap& r, std::string& error) {
    std::lock_guard<std::mutex> l(liveLock);
    bool ok = live.Add(r, error);
    noteActive();
    return ok;
}

int RemoveChannelRemap(const std::string& name) {
    std::lock_guard<std::mutex> l(liveLock);
    int n = live.Remove(name);
    noteActive();
    return n;
}

std::vector<ChannelRemap> GetChannelRemaps() {
    std::lock_guard<std::mutex> l(liveLock);
    return live.Remaps();
}
