#include "overlays/GlazeState.h"

int GlazeState::parse(const std::string& text) {
    if (text == "Enabled" || text == "true" || text == "True" || text == "1") return Enabled;
    if (text == "Transparent") return Transparent;
    if (text == "TransparentRGB" || text == "Transparent RGB") return TransparentRGB;
    return Disabled;
}
