#include "overlays/GlazeModelSub.h"

#include <algorithm>

namespace {
int intOr(const Json::Value& c, const char* key, int def, bool& ok) {
    if (!c.isMember(key)) return def;
    if (!c[key].isIntegral() || !c[key].isInt()) {
        ok = false;
        return def;
    }
    return c[key].asInt();
}
}  // namespace

GlazeModelSub::GlazeModelSub(const Json::Value& cfg, GlazeManager* mgr, GlazeModel* par)
    : GlazeModel(cfg, mgr, "Sub"), parent(par) {
    if (!isValid()) return;
    if (!parent) {
        setError("no parent model");
        return;
    }
    bool ok = true;
    xOffset = intOr(cfg, "XOffset", 0, ok);
    yOffset = intOr(cfg, "YOffset", 0, ok);
    int w = intOr(cfg, "Width", parent->getWidth() - xOffset, ok);
    int h = intOr(cfg, "Height", parent->getHeight() - yOffset, ok);
    if (!ok) {
        setError("\"XOffset\", \"YOffset\", \"Width\" and \"Height\" must be whole numbers");
        return;
    }
    if (xOffset < 0 || yOffset < 0 || xOffset >= parent->getWidth() || yOffset >= parent->getHeight()) {
        {
            setError("the offsets lie outside the parent model " + parent->name);
            return;
        }
    }
    if (w < 1 || h < 1) {
        setError("\"Width\" and \"Height\" must be 1 or more");
        return;
    }
    w = std::min(w, parent->getWidth() - xOffset);
    h = std::min(h, parent->getHeight() - yOffset);
    std::vector<int> map((size_t)w * h);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) map[(size_t)y * w + x] = parent->pixelOffset(x + xOffset, y + yOffset);
    }
    setGeometry(w, h, parent->getChannelsPerNode(), std::move(map));
}

uint8_t* GlazeModelSub::outputBase(uint8_t* channels) {
    return parent->outputBase(channels);
}

void GlazeModelSub::doOverlay(uint8_t* channels) {
    std::mutex* lock = outputLock();
    if (lock) {
        std::lock_guard<std::mutex> l(*lock);
        composeInto(outputBase(channels), pixelMap);
    } else {
        composeInto(outputBase(channels), pixelMap);
    }
}
