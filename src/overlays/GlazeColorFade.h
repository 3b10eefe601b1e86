// "Color Fade": the whole model fades from black up to a colour, holds it and
// fades back down, then the effect ends.
// Arguments: Color ["#FF0000"], FadeIn, Hold, FadeOut (ms, 0 to 600000;
// defaults 1000).  Steps every 25 ms.
#pragma once

#include "overlays/GlazeEffect.h"

class GlazeColorFade : public GlazeEffect {
public:
    GlazeColorFade();
    bool apply(GlazeModel* model, const std::vector<std::string>& args, std::string& failure) override;
};
