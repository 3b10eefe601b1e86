// A "Sub" overlay model: a rectangle of another model, drawn through the
// parent's pixel mapping.  Config: "Parent" (name), "XOffset", "YOffset"
// (pixels, default 0), "Width", "Height" (default: the rest of the parent).
// A rectangle reaching past the parent is clipped to it; one starting
// outside it is refused.
//
// The parent must outlive the sub-model; the manager deletes sub-models
// first and rebuilds them when their parent is replaced.
#pragma once

#include "overlays/GlazeModel.h"

class GlazeModelSub : public GlazeModel {
public:
    GlazeModelSub(const Json::Value& config, GlazeManager* manager, GlazeModel* parent);

    GlazeModel* getParent() const { return parent; }
    int getXOffset() const { return xOffset; }
    int getYOffset() const { return yOffset; }

    void doOverlay(uint8_t* channels) override;
    uint8_t* outputBase(uint8_t* channels) override;
    std::mutex* outputLock() override { return parent->outputLock(); }

private:
    GlazeModel* parent;
    int xOffset = 0;
    int yOffset = 0;
};
