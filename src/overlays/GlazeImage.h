// Pictures for overlay models: image files (PNG, JPEG, GIF and the other
// formats GraphicsMagick reads; a GIF shows its first frame) scaled to fit a
// model and centred, the rest of the model black.
//
// Threading: stateless; the model's own locks cover the drawing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class GlazeModel;

struct GlazeImageRect {
    int x = 0, y = 0, w = 0, h = 0;
};

// Where an imageW x imageH picture lands in a modelW x modelH model when it
// is scaled to fit with its aspect kept and centred; at least 1 x 1 when
// both sizes are positive, all zero otherwise.
GlazeImageRect FitImageRect(int imageW, int imageH, int modelW, int modelH);

// The file at `path` as RGB bytes (rect.w * rect.h * 3), scaled to fit the
// model size.  False with the reason in `error`.
bool LoadFittedImage(const std::string& path, int modelW, int modelH, std::vector<uint8_t>& rgb,
                     GlazeImageRect& rect, std::string& error);

// Clears the model's overlay buffer, draws the fitted picture and publishes it.
bool ShowImageOnModel(GlazeModel* model, const std::string& path, std::string& error);

// The file an image name of the media directory's "images" folder stands for;
// "" when the name is empty, absolute or has a ".." component.  Sub-folders of
// "images" are allowed.
std::string ImagePath(const std::string& name);
