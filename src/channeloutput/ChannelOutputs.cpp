#include "channeloutput/ChannelOutputs.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "channeloutput/ArtNetOutput.h"
#include "channeloutput/ChannelOutput.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/ChannelRemaps.h"
#include "channeloutput/DDPOutput.h"
#include "channeloutput/E131Output.h"
#include "channeloutput/FrameSnapshot.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

std::mutex outputsLock;  // guards outputs against sending during (re)load
std::vector<std::unique_ptr<ChannelOutput>> outputs;
std::atomic<bool> outputEnabled{true};
std::atomic<uint32_t> maxChannel{0};

bool isEnabled(const Json::Value& o) {
    const Json::Value& e = o.get("enabled", 1);
    if (e.isBool()) return e.asBool();
    if (e.isNumeric()) return e.asInt() != 0;
    if (e.isString()) return e.asString() != "0" && e.asString() != "false";
    return true;
}

std::unique_ptr<ChannelOutput> createOutput(const std::string& type) {
    std::string t = toLowerCopy(type);
    if (t == "universes" || t == "e1.31" || t == "e131") return std::make_unique<E131Output>();
    if (t == "artnet" || t == "art-net") return std::make_unique<ArtNetOutput>();
    if (t == "ddp") return std::make_unique<DDPOutput>();
    return nullptr;
}

}  // namespace

std::string OutputRanges::toString() const {
    std::string s;
    for (const auto& r : *this) {
        if (!s.empty()) s += ",";
        s += std::to_string(r.first) + "-" + std::to_string(r.first + r.second - 1);
    }
    return s;
}

int InitializeChannelOutputs() {
    SetChannelOutputAlwaysTransmit(getSettingInt("alwaysTransmit") != 0);
    std::vector<std::unique_ptr<ChannelOutput>> loaded;
    std::string path = getLyrMediaDir("/config/co-universes.json");
    Json::Value root;
    if (!FileExists(path)) {
        LogInfo(VB_CHANNELOUT, "No channel outputs configured (%s not found)\n", path.c_str());
    } else if (!LoadJsonFromFile(path, root) || !root.isObject()) {
        LogErr(VB_CHANNELOUT, "Error parsing %s; no channel outputs\n", path.c_str());
    } else {
        const Json::Value& list = root["channelOutputs"];
        for (Json::ArrayIndex i = 0; list.isArray() && i < list.size(); i++) {
            const Json::Value& o = list[i];
            if (!o.isObject() || !isEnabled(o)) continue;
            std::string type = o.get("type", "").isString() ? o.get("type", "").asString() : "";
            auto out = createOutput(type);
            if (!out) {
                LogErr(VB_CHANNELOUT, "Unknown channel output type '%s'; skipped\n", type.c_str());
                continue;
            }
            if (out->Init(o)) loaded.push_back(std::move(out));
        }
    }
    uint32_t hi = 0;
    for (const auto& o : loaded) hi = std::max(hi, o->MaxChannel());
    int n = int(loaded.size());
    {
        std::lock_guard<std::mutex> l(outputsLock);
        outputs.swap(loaded);
        maxChannel = hi;
    }
    LogInfo(VB_CHANNELOUT, "%d channel output(s) initialized\n", n);
    std::string remapError;
    LoadChannelRemaps(remapError);
    return n;
}

void CloseChannelOutputs() {
    std::vector<std::unique_ptr<ChannelOutput>> old;
    {
        std::lock_guard<std::mutex> l(outputsLock);
        old.swap(outputs);
        maxChannel = 0;
    }
}

OutputRanges GetOutputRanges(bool precise) {
    OutputRanges all;
    {
        std::lock_guard<std::mutex> l(outputsLock);
        for (const auto& o : outputs) o->GetRanges(all, precise);
    }
    std::sort(all.begin(), all.end());
    OutputRanges merged;
    for (const auto& r : all) {
        if (!merged.empty()) {
            auto& last = merged.back();
            int lastEnd = last.first + last.second;  // one past
            if (r.first <= lastEnd) {
                last.second = std::max(lastEnd, r.first + r.second) - last.first;
                continue;
            }
        }
        merged.push_back(r);
    }
    return merged;
}

void EnableChannelOutput() {
    LogInfo(VB_CHANNELOUT, "Channel output enabled\n");
    outputEnabled = true;
}

void DisableChannelOutput() {
    LogInfo(VB_CHANNELOUT, "Channel output disabled\n");
    outputEnabled = false;
}

bool ChannelOutputEnabled() { return outputEnabled; }

uint32_t GetChannelOutputMaxChannel() { return maxChannel; }

int SendChannelData(const uint8_t* channels) {
    FrameSnapshot::offer(channels, LYRD_MAX_CHANNELS);
    if (!outputEnabled) return 0;
    std::lock_guard<std::mutex> l(outputsLock);
    int n = 0;
    for (const auto& o : outputs) n += o->SendData(channels);
    return n;
}
