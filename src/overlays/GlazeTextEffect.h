// "Text": text rendered through GraphicsMagick, shown still or scrolled.
//
// Arguments: Color, Font (a name from the font list, or a font file path;
// unknown, unreadable or empty: the default font, DejaVuSans when present), FontSize (4 to 100 points; others
// are clamped), FontAntiAlias ("true"/"false"), Position ("Center", "Right to Left", "Left to Right", "Bottom
// to Top", "Top to Bottom"), Speed (pixels per second, 0 to 200, clamped), Duration (seconds, 0 = until the
// text has scrolled off; a centred text then stays until cleared), Text.
//
// Scrolling starts with the text just outside the model and ends once it has
// left the far side; the model is blanked then (and disabled again when the
// effect enabled it).  A scrolling position with speed 0 shows the text
// centred and still.  Text beyond 4096 bytes, or a picture beyond 4 million
// pixels, is cut (logged).  Line breaks become spaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "overlays/GlazeEffect.h"

class GlazeTextEffect : public GlazeEffect {
public:
    GlazeTextEffect();
    bool apply(GlazeModel* model, const std::vector<std::string>& args, std::string& failure) override;

    // The rendered text: width * height * 3 bytes of RGB on black.
    struct Picture {
        int width = 0;
        int height = 0;
        std::vector<uint8_t> rgb;
    };
    // fontPath must name an existing font file.
    static bool render(const std::string& text, const std::string& fontPath, int pointSize, bool antiAlias,
                       unsigned color, Picture& out, std::string& failure);
};
