#include "overlays/GlazeModel.h"

#include <Magick++.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "channeloutput/Sequence.h"
#include "common.h"
#include "overlays/GlazeEffect.h"
#include "overlays/Glaze.h"
#include "platform/Logging.h"
#include "settings.h"

int GlazeMaxChannels() {
    return LYRD_MAX_CHANNELS;
}

namespace {

// Config readers that never throw: a key of the wrong type is an error.
std::string textKey(const Json::Value& c, const char* key, const std::string& def, std::string& error) {
    if (!c.isMember(key)) return def;
    if (!c[key].isString()) {
        if (error.empty()) error = std::string("\"") + key + "\" must be a text";
        return def;
    }
    return c[key].asString();
}

// Numbers may also come as decimal texts (older files wrote them so).
long long intKey(const Json::Value& c, const char* key, long long def, std::string& error) {
    if (!c.isMember(key)) return def;
    const Json::Value& v = c[key];
    if (v.isIntegral())
        return v.isUInt64() ? (long long)std::min<uint64_t>(v.asUInt64(), INT32_MAX) : v.asInt64();
    if (v.isDouble() && v.asDouble() >= INT32_MIN && v.asDouble() <= INT32_MAX)
        return (long long)v.asDouble();
    if (v.isString()) {
        try {
            size_t used = 0;
            long long n = std::stoll(v.asString(), &used);
            if (used == v.asString().size()) return n;
        } catch (const std::exception&) {
        }
    }
    if (error.empty()) error = std::string("\"") + key + "\" must be a number";
    return def;
}

inline uint8_t clampByte(int v) {
    return (uint8_t)std::max(0, std::min(255, v));
}

std::string nameOf(const Json::Value& c) {
    return c.isObject() && c.isMember("Name") && c["Name"].isString() ? c["Name"].asString() : "";
}

}  // namespace

GlazeModel::GlazeModel(const Json::Value& cfg, GlazeManager* mgr, const std::string& kind)
    : name(nameOf(cfg)), type(kind), manager(mgr), config(cfg) {
    if (!cfg.isObject()) {
        error = "the definition is not a JSON object";
    } else if (name.empty()) {
        error = "\"Name\" must be a non-empty text";
    }
}

GlazeModel::GlazeModel(const Json::Value& cfg, GlazeManager* mgr) : GlazeModel(cfg, mgr, "Channel") {
    if (error.empty()) buildChannelGeometry();
}

GlazeModel::~GlazeModel() {
    std::lock_guard<std::recursive_mutex> l(effectLock);
    runningEffect.reset();
}

void GlazeModel::buildChannelGeometry() {
    std::string e;
    long long start = intKey(config, "StartChannel", 1, e);
    long long count = intKey(config, "ChannelCount", 0, e);
    long long cpn = intKey(config, "ChannelCountPerNode", 3, e);
    long long strings = intKey(config, "StringCount", 1, e);
    long long strands = intKey(config, "StrandsPerString", 1, e);
    std::string orientation = textKey(config, "Orientation", "horizontal", e);
    std::string corner = textKey(config, "StartCorner", "TL", e);
    if (!e.empty()) return setError(e);
    if (start < 1) return setError("\"StartChannel\" must be 1 or more");
    if (count < 1) return setError("\"ChannelCount\" must be 1 or more");
    if (start - 1 + count > GlazeMaxChannels()) {
        return setError("channels " + std::to_string(start) + "-" + std::to_string(start + count - 1) +
                        " reach past the last channel " + std::to_string(GlazeMaxChannels()));
    }
    if (cpn < 1 || cpn > 16) return setError("\"ChannelCountPerNode\" must be 1 to 16");
    if (strings < 1 || strands < 1)
        return setError("\"StringCount\" and \"StrandsPerString\" must be 1 or more");
    if (corner.size() != 2 || (corner[0] != 'T' && corner[0] != 'B') ||
        (corner[1] != 'L' && corner[1] != 'R')) {
        return setError("\"StartCorner\" must be TL, TR, BL or BR");
    }
    startChannel = (int)start - 1;
    channelCount = (int)count;
    long long nodes = count / cpn;
    long long totalStrands = strings * strands;
    long long perStrand = nodes / totalStrands;
    if (perStrand < 1) return setError("fewer nodes than strands: the model has no pixels");

    bool vertical = orientation == "vertical";
    int w = (int)(vertical ? totalStrands : perStrand);
    int h = (int)(vertical ? perStrand : totalStrands);
    bool fromBottom = corner[0] == 'B';
    bool fromRight = corner[1] == 'R';
    std::vector<int> map((size_t)w * h);
    for (long long strand = 0; strand < totalStrands; strand++) {
        bool back = (strand % strands) % 2 == 1;
        for (long long i = 0; i < perStrand; i++) {
            long long node = strand * perStrand + i;
            long long along = back ? perStrand - 1 - i : i;
            int x, y;
            if (vertical) {
                x = (int)(fromRight ? totalStrands - 1 - strand : strand);
                y = (int)(fromBottom ? perStrand - 1 - along : along);
            } else {
                y = (int)(fromBottom ? totalStrands - 1 - strand : strand);
                x = (int)(fromRight ? perStrand - 1 - along : along);
            }
            map[(size_t)y * w + x] = (int)(node * cpn);
        }
    }
    setGeometry(w, h, (int)cpn, std::move(map));
}

void GlazeModel::setGeometry(int w, int h, int cpn, std::vector<int> map) {
    width = w;
    height = h;
    channelsPerNode = cpn;
    if (map.empty()) {
        map.resize((size_t)w * h);
        for (size_t i = 0; i < map.size(); i++) map[i] = (int)i * cpn;
    }
    pixelMap = std::move(map);
    overlayBuffer.assign((size_t)w * h * cpn, 0);
    shownBuffer.assign((size_t)w * h * cpn, 0);
}

// ---- state ----

void GlazeModel::setState(const GlazeState& newState) {
    std::lock_guard<std::mutex> l(stateLock);
    GlazeState old(state.exchange(newState.getState()));
    if (old != newState && manager) manager->modelStateChanged(this, old, newState);
}

// ---- drawing ----

static void putNode(uint8_t* dst, int cpn, int r, int g, int b) {
    if (cpn == 1) {
        dst[0] = clampByte(std::max(r, std::max(g, b)));
        return;
    }
    dst[0] = clampByte(r);
    dst[1] = clampByte(g);
    if (cpn >= 3) dst[2] = clampByte(b);
    for (int c = 3; c < cpn; c++) dst[c] = 0;
}

void GlazeModel::fillOverlayBuffer(int r, int g, int b) {
    std::lock_guard<std::mutex> l(bufferLock);
    if (overlayBuffer.empty()) return;
    putNode(overlayBuffer.data(), channelsPerNode, r, g, b);
    for (size_t p = channelsPerNode; p < overlayBuffer.size(); p += channelsPerNode) {
        memcpy(&overlayBuffer[p], overlayBuffer.data(), channelsPerNode);
    }
    dirty = true;
}

void GlazeModel::clearOverlayBuffer() {
    std::lock_guard<std::mutex> l(bufferLock);
    std::fill(overlayBuffer.begin(), overlayBuffer.end(), 0);
    dirty = true;
}

bool GlazeModel::setOverlayPixelValue(int x, int y, int r, int g, int b) {
    if (x < 0 || y < 0 || x >= width || y >= height) return false;
    std::lock_guard<std::mutex> l(bufferLock);
    putNode(&overlayBuffer[((size_t)y * width + x) * channelsPerNode], channelsPerNode, r, g, b);
    dirty = true;
    return true;
}

void GlazeModel::drawRGB(const uint8_t* rgb, int x0, int y0, int w, int h) {
    int xs = std::max(0, x0), xe = std::min(width, x0 + w);
    int ys = std::max(0, y0), ye = std::min(height, y0 + h);
    std::lock_guard<std::mutex> l(bufferLock);
    for (int y = ys; y < ye; y++) {
        const uint8_t* src = rgb + ((size_t)(y - y0) * w + (xs - x0)) * 3;
        uint8_t* dst = &overlayBuffer[((size_t)y * width + xs) * channelsPerNode];
        for (int x = xs; x < xe; x++, src += 3, dst += channelsPerNode)
            putNode(dst, channelsPerNode, src[0], src[1], src[2]);
    }
    dirty = true;
}

void GlazeModel::fill(int r, int g, int b) {
    fillOverlayBuffer(r, g, b);
    flushOverlayBuffer();
}

bool GlazeModel::setPixelValue(int x, int y, int r, int g, int b) {
    if (!setOverlayPixelValue(x, y, r, g, b)) return false;
    flushOverlayBuffer();
    return true;
}

void GlazeModel::clear() {
    stopRunningEffect();
    clearOverlayBuffer();
    flushOverlayBuffer();
}

uint8_t* GlazeModel::getOverlayBuffer() {
    return overlayBuffer.data();
}

void GlazeModel::flushOverlayBuffer() {
    std::lock_guard<std::mutex> l(bufferLock);
    shownBuffer = overlayBuffer;
    dirty = false;
}

// ---- composition ----

void GlazeModel::composePixel(int st, const uint8_t* src, uint8_t* dst, int cpn) {
    switch (st) {
        case GlazeState::Enabled:
            memcpy(dst, src, cpn);
            break;
        case GlazeState::Transparent:
            for (int c = 0; c < cpn; c++) {
                if (src[c]) {
                    memcpy(dst, src, cpn);
                    break;
                }
            }
            break;
        case GlazeState::TransparentRGB:
            for (int c = 0; c < cpn; c++) {
                if (src[c]) dst[c] = src[c];
            }
            break;
        default:
            break;
    }
}

void GlazeModel::composeInto(uint8_t* base, const std::vector<int>& offsets) {
    int st = state.load();
    if (st == GlazeState::Disabled || !base) return;
    std::lock_guard<std::mutex> l(bufferLock);
    const uint8_t* src = shownBuffer.data();
    size_t n = offsets.size();
    if (st == GlazeState::Enabled) {
        for (size_t p = 0; p < n; p++, src += channelsPerNode)
            memcpy(base + offsets[p], src, channelsPerNode);
        return;
    }
    for (size_t p = 0; p < n; p++, src += channelsPerNode)
        composePixel(st, src, base + offsets[p], channelsPerNode);
}

void GlazeModel::doOverlay(uint8_t* channels) {
    composeInto(outputBase(channels), pixelMap);
}

uint8_t* GlazeModel::outputBase(uint8_t* channels) {
    return channels ? channels + startChannel : nullptr;
}

// ---- description and data ----

Json::Value GlazeModel::toJson() {
    Json::Value v = config.isObject() ? config : Json::Value(Json::objectValue);
    v["Name"] = name;
    v["Type"] = type;
    v["Width"] = width;
    v["Height"] = height;
    v["ChannelCountPerNode"] = channelsPerNode;
    if (type == "Channel") {
        v["StartChannel"] = startChannel + 1;
        v["ChannelCount"] = channelCount;
    }
    return v;
}

void GlazeModel::getDataJson(Json::Value& v, bool rle) {
    std::vector<uint8_t> data;
    {
        std::lock_guard<std::mutex> l(bufferLock);
        data = overlayBuffer;
    }
    v = Json::Value(Json::arrayValue);
    if (!rle) {
        for (uint8_t b : data) v.append(b);
        return;
    }
    size_t cpn = channelsPerNode;
    for (size_t p = 0; p < data.size();) {
        size_t run = 1;
        while (p + run * cpn < data.size() && memcmp(&data[p], &data[p + run * cpn], cpn) == 0) run++;
        Json::Value r(Json::arrayValue);
        r.append((Json::UInt64)run);
        for (size_t c = 0; c < cpn; c++) r.append(data[p + c]);
        v.append(r);
        p += run * cpn;
    }
}

bool GlazeModel::saveOverlayAsImage(const std::string& fileName) {
    std::string failure;
    return saveOverlayAsImage(fileName, failure);
}

bool GlazeModel::saveOverlayAsImage(const std::string& fileName, std::string& failure) {
    if (fileName.empty() || fileName.find('/') != std::string::npos ||
        fileName.find('\\') != std::string::npos || fileName.find("..") != std::string::npos) {
        failure = "Invalid image file name " + fileName;
        LogErr(VB_CHANNELOUT, "%s\n", failure.c_str());
        return false;
    }
    std::string file = fileName;
    if (file.find('.') == std::string::npos) file += ".png";
    std::string dir = getLyrMediaDir("/images");
    std::string path = dir + "/" + file;
    std::string tmp = dir + "/." + file + ".tmp";
    std::vector<uint8_t> rgb((size_t)width * height * 3);
    {
        std::lock_guard<std::mutex> l(bufferLock);
        for (size_t p = 0; p < (size_t)width * height; p++) {
            const uint8_t* s = &overlayBuffer[p * channelsPerNode];
            if (channelsPerNode == 1) {
                rgb[p * 3] = rgb[p * 3 + 1] = rgb[p * 3 + 2] = s[0];
            } else {
                rgb[p * 3] = s[0];
                rgb[p * 3 + 1] = s[1];
                rgb[p * 3 + 2] = channelsPerNode >= 3 ? s[2] : 0;
            }
        }
    }
    try {
        Magick::Image image(width, height, "RGB", Magick::CharPixel, rgb.data());
        image.magick("PNG");
        image.write(tmp);
    } catch (const std::exception& ex) {
        unlink(tmp.c_str());
        failure = std::string("Could not save image: ") + ex.what();
        LogErr(VB_CHANNELOUT, "%s\n", failure.c_str());
        return false;
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        failure = "Could not save image " + path;
        LogErr(VB_CHANNELOUT, "%s\n", failure.c_str());
        return false;
    }
    return true;
}

// ---- effects ----

bool GlazeModel::applyEffect(const std::string& autoEnable, const std::string& effectName,
                             const std::vector<std::string>& args) {
    GlazeEffect* effect = GlazeEffect::GetGlazeEffect(effectName);
    if (!effect) {
        LogWarn(VB_CHANNELOUT, "Overlay model %s: unknown effect \"%s\"\n", name.c_str(), effectName.c_str());
        return false;
    }
    std::lock_guard<std::recursive_mutex> l(effectLock);
    std::string failure;
    if (!effect->apply(this, args, failure)) {
        LogWarn(VB_CHANNELOUT, "Overlay model %s: effect %s not started: %s\n", name.c_str(),
                effectName.c_str(), failure.c_str());
        return false;
    }
    // Only a state the effect itself switched on is switched off at its end;
    // a model the user had enabled stays so.
    int autoState = GlazeState::parse(autoEnable);
    if (autoState == GlazeState::Disabled) {
        effectAutoState = GlazeState::Disabled;
    } else if (!getState().isActive()) {
        setState(GlazeState(autoState));
        effectAutoState = autoState;
    }
    return true;
}

void GlazeModel::setRunningEffect(GlazeRunningEffect* effect, int firstUpdateMs) {
    {
        std::lock_guard<std::recursive_mutex> l(effectLock);
        runningEffect.reset(effect);
    }
    if (manager) manager->addPeriodicUpdate(firstUpdateMs, this);
}

void GlazeModel::stopRunningEffect() {
    bool disable = false;
    {
        std::lock_guard<std::recursive_mutex> l(effectLock);
        if (!runningEffect) return;
        runningEffect.reset();
        disable = effectAutoState != GlazeState::Disabled;
        effectAutoState = GlazeState::Disabled;
    }
    if (manager) manager->removePeriodicUpdate(this);
    if (disable) setState(GlazeState(GlazeState::Disabled));
}

bool GlazeModel::isEffectRunning() {
    std::lock_guard<std::recursive_mutex> l(effectLock);
    return runningEffect != nullptr;
}

std::string GlazeModel::getRunningEffectName() {
    std::lock_guard<std::recursive_mutex> l(effectLock);
    return runningEffect ? runningEffect->name() : "";
}

int GlazeModel::updateRunningEffects() {
    bool disable = false;
    int r;
    {
        std::lock_guard<std::recursive_mutex> l(effectLock);
        if (!runningEffect) return 0;
        r = runningEffect->update();
        if (r == 0) {
            runningEffect.reset();
            disable = effectAutoState != GlazeState::Disabled;
            effectAutoState = GlazeState::Disabled;
        }
    }
    if (disable) setState(GlazeState(GlazeState::Disabled));
    return r;
}
