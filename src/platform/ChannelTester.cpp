#include "platform/ChannelTester.h"

#include <algorithm>
#include <cstring>

#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"

namespace {

const char* const MODES[] = {"RGBFill", "SingleChase", "RGBChase", "RGBCycle"};

bool knownMode(const std::string& m) {
    for (const char* k : MODES)
        if (m == k) return true;
    return false;
}

bool parseInt(const std::string& s, long& out) {
    std::string t = s;
    TrimWhiteSpace(t);
    if (t.empty()) return false;
    char* end = nullptr;
    out = strtol(t.c_str(), &end, 10);
    return end && *end == 0;
}

// "1-512,1025-1536" (1-based, inclusive; "7" is one channel) to 0-based pairs.
bool parseChannelSet(const std::string& text, std::vector<std::pair<uint32_t, uint32_t>>& out, std::string& err) {
    out.clear();
    for (const auto& part : split(text, ',')) {
        std::string p = part;
        TrimWhiteSpace(p);
        if (p.empty()) continue;
        size_t dash = p.find('-');
        long a, b;
        if (!parseInt(p.substr(0, dash), a) || !parseInt(dash == std::string::npos ? p : p.substr(dash + 1), b) ||
            a < 1 || b < a || b > LYRD_MAX_CHANNELS) {
            err = "bad channel range '" + p + "'";
            return false;
        }
        out.push_back({uint32_t(a - 1), uint32_t(b - 1)});
    }
    if (out.empty()) err = "empty channel set";
    return !out.empty();
}

int intOf(const Json::Value& v, const char* key, int def) {
    if (!v.isMember(key)) return def;
    const Json::Value& m = v[key];
    if (m.isNumeric() || m.isBool()) return m.asInt();
    long r;
    if (m.isString() && parseInt(m.asString(), r)) return int(r);
    return def;
}

class TestStartCommand : public Command {
public:
    TestStartCommand() : Command("Test Start", "Starts a channel test pattern") {
        args.emplace_back("Mode", "string", "Test pattern");
        args.back().allowableValues.assign(std::begin(MODES), std::end(MODES));
        args.emplace_back("ChannelSet", "string", "Channels, e.g. 1-512,1025-1536", true);
        args.emplace_back("Color", "color", "Colour for RGBFill, #RRGGBB", true);
        args.emplace_back("CycleMS", "int", "Milliseconds per step", true);
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.empty()) return std::make_unique<ErrorResult>("Test Start needs a mode");
        Json::Value cfg;
        cfg["enabled"] = 1;
        cfg["mode"] = a[0];
        if (a.size() > 1 && !a[1].empty()) cfg["channelSet"] = a[1];
        if (a.size() > 2 && !a[2].empty()) {
            std::string c = a[2];
            if (!c.empty() && c[0] == '#') c = c.substr(1);
            char* end = nullptr;
            unsigned long rgb = strtoul(c.c_str(), &end, 16);
            if (c.size() != 6 || *end) return std::make_unique<ErrorResult>("Bad colour '" + a[2] + "'");
            cfg["colorR"] = int((rgb >> 16) & 0xFF);
            cfg["colorG"] = int((rgb >> 8) & 0xFF);
            cfg["colorB"] = int(rgb & 0xFF);
        }
        if (a.size() > 3 && !a[3].empty()) cfg["cycleMS"] = a[3];
        if (!ChannelTester::INSTANCE.SetupTest(cfg))
            return std::make_unique<ErrorResult>("Test not started: " + ChannelTester::INSTANCE.LastError());
        return std::make_unique<Result>("Test started");
    }
};

class TestStopCommand : public Command {
public:
    TestStopCommand() : Command("Test Stop", "Stops the channel test pattern") {}
    std::unique_ptr<Result> run(const std::vector<std::string>&) override {
        Json::Value cfg;
        cfg["enabled"] = 0;
        ChannelTester::INSTANCE.SetupTest(cfg);
        return std::make_unique<Result>("Test stopped");
    }
};

}  // namespace

void ChannelTester::RegisterCommands() {
    CommandManager::INSTANCE.addCommand(new TestStartCommand());
    CommandManager::INSTANCE.addCommand(new TestStopCommand());
}

bool ChannelTester::Testing() {
    std::lock_guard<std::mutex> l(lock);
    return testing;
}

std::string ChannelTester::LastError() {
    std::lock_guard<std::mutex> l(lock);
    return lastError;
}

std::string ChannelTester::GetConfig() {
    std::lock_guard<std::mutex> l(lock);
    Json::Value v;
    v["enabled"] = testing ? 1 : 0;
    v["mode"] = mode;
    v["channelSet"] = channelSet;
    v["colorR"] = color[0];
    v["colorG"] = color[1];
    v["colorB"] = color[2];
    v["chaseValue"] = chaseValue;
    v["chaseSize"] = chaseSize;
    v["cycleMS"] = cycleMS;
    return SaveJsonToString(v);
}

bool ChannelTester::SetupTest(const std::string& json) {
    Json::Value v;
    if (!LoadJsonFromString(json, v) || !v.isObject()) {
        std::lock_guard<std::mutex> l(lock);
        lastError = "test setup is not a JSON object";
        LogErr(VB_CHANNELOUT, "Channel test refused: %s\n", lastError.c_str());
        return false;
    }
    return SetupTest(v);
}

bool ChannelTester::SetupTest(const Json::Value& config) {
    bool now;
    {
        std::lock_guard<std::mutex> l(lock);
        now = applyLocked(config);
    }
    if (now) StartChannelOutputThread();
    return now;
}

// All-or-nothing: the new values are checked before any is taken.
bool ChannelTester::applyLocked(const Json::Value& c) {
    lastError.clear();
    if (!intOf(c, "enabled", 1)) {
        if (testing) LogInfo(VB_CHANNELOUT, "Channel test stopped\n");
        testing = false;
        return false;
    }
    std::string m = c.get("mode", mode).isString() ? c.get("mode", mode).asString() : "";
    std::string set = c.get("channelSet", channelSet).isString() ? c.get("channelSet", channelSet).asString() : "";
    std::vector<std::pair<uint32_t, uint32_t>> r;
    int cyc = intOf(c, "cycleMS", cycleMS), size = intOf(c, "chaseSize", chaseSize);
    int rgb[3] = {intOf(c, "colorR", color[0]), intOf(c, "colorG", color[1]), intOf(c, "colorB", color[2])};
    int value = intOf(c, "chaseValue", chaseValue);
    if (!knownMode(m)) lastError = "unknown mode '" + m + "'";
    else if (!parseChannelSet(set, r, lastError)) {
    } else if (cyc < 10 || cyc > 3600000) lastError = "cycleMS out of 10-3600000";
    else if (size < 1 || size > 1000) lastError = "chaseSize out of 1-1000";
    else if (value < 0 || value > 255 || std::any_of(rgb, rgb + 3, [](int x) { return x < 0 || x > 255; }))
        lastError = "colour values out of 0-255";
    if (!lastError.empty()) {
        LogErr(VB_CHANNELOUT, "Channel test refused: %s\n", lastError.c_str());
        return false;
    }
    mode = m;
    channelSet = set;
    ranges = std::move(r);
    cycleMS = cyc;
    chaseSize = size;
    chaseValue = uint8_t(value);
    for (int i = 0; i < 3; i++) color[i] = uint8_t(rgb[i]);
    testing = true;
    startMS = -1;
    LogInfo(VB_CHANNELOUT, "Channel test %s on %s\n", mode.c_str(), channelSet.c_str());
    return true;
}

void ChannelTester::OverlayTestData(uint8_t* channels, int64_t nowMS) {
    std::lock_guard<std::mutex> l(lock);
    if (!testing) return;
    // Callers' clocks may differ by a little: never count steps backwards.
    if (startMS < 0 || nowMS < startMS) startMS = nowMS;
    int64_t step = (nowMS - startMS) / cycleMS;
    static const uint8_t rgbOrder[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    for (const auto& r : ranges) {
        for (uint32_t ch = r.first; ch <= r.second; ch++) {
            uint32_t k = ch - r.first;  // position within the range
            uint8_t v = 0;
            if (mode == "RGBFill") {
                v = color[k % 3];
            } else if (mode == "SingleChase") {
                v = (int64_t(k) % chaseSize) == step % chaseSize ? chaseValue : 0;
            } else if (mode == "RGBChase") {
                v = rgbOrder[(k / 3 + step) % 3][k % 3];
            } else {  // RGBCycle
                v = rgbOrder[step % 3][k % 3];
            }
            channels[ch] = v;
        }
    }
}
