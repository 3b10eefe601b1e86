#include "overlays/GlazeImage.h"

#include <Magick++.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "overlays/GlazeModel.h"
#include "settings.h"

GlazeImageRect FitImageRect(int imageW, int imageH, int modelW, int modelH) {
    GlazeImageRect r;
    if (imageW <= 0 || imageH <= 0 || modelW <= 0 || modelH <= 0) return r;
    double scale = std::min(double(modelW) / imageW, double(modelH) / imageH);
    r.w = std::max(1, std::min(modelW, int(std::lround(imageW * scale))));
    r.h = std::max(1, std::min(modelH, int(std::lround(imageH * scale))));
    r.x = (modelW - r.w) / 2;
    r.y = (modelH - r.h) / 2;
    return r;
}

bool LoadFittedImage(const std::string& path, int modelW, int modelH, std::vector<uint8_t>& rgb,
                     GlazeImageRect& rect, std::string& error) {
    try {
        Magick::Image img;
        // Magick++ keeps only the first frame of an animation or multi-page file.
        img.read(path);
        rect = FitImageRect(int(img.columns()), int(img.rows()), modelW, modelH);
        if (rect.w == 0) {
            error = "image or model has no pixels";
            return false;
        }
        Magick::Geometry g(rect.w, rect.h);
        g.aspect(true);  // exactly this size: the aspect is already kept
        // Growing a small picture keeps its pixels crisp (each becomes a
        // block); shrinking averages the pixels that fall on one model pixel.
        bool growing = size_t(rect.w) >= img.columns() && size_t(rect.h) >= img.rows();
        img.filterType(growing ? Magick::PointFilter : Magick::BoxFilter);
        img.resize(g);
        rgb.assign(size_t(rect.w) * rect.h * 3, 0);
        img.write(0, 0, rect.w, rect.h, "RGB", Magick::CharPixel, rgb.data());
        return true;
    } catch (const std::exception& ex) {
        error = std::string("cannot read the image: ") + ex.what();
        return false;
    }
}

bool ShowImageOnModel(GlazeModel* model, const std::string& path, std::string& error) {
    std::vector<uint8_t> rgb;
    GlazeImageRect rect;
    if (!LoadFittedImage(path, model->getWidth(), model->getHeight(), rgb, rect, error)) return false;
    model->clearOverlayBuffer();
    model->drawRGB(rgb.data(), rect.x, rect.y, rect.w, rect.h);
    model->flushOverlayBuffer();
    return true;
}

std::string ImagePath(const std::string& name) {
    if (name.empty() || name[0] == '/') return "";
    std::stringstream parts(name);
    std::string part;
    while (std::getline(parts, part, '/'))
        if (part == "..") return "";
    return getLyrMediaDir("/images") + "/" + name;
}
