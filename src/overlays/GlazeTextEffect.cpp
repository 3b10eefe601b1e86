#include "overlays/GlazeTextEffect.h"

#include <Magick++.h>

#include <algorithm>
#include <cmath>

#include "common.h"
#include "overlays/Glaze.h"
#include "overlays/GlazeModel.h"
#include "overlays/GlazeUtil.h"
#include "platform/Logging.h"

namespace {

const size_t kMaxTextBytes = 4096;
const double kMaxPixels = 4.0e6;
const int kMinSize = 4, kMaxSize = 100;
const int kMaxSpeed = 200;
const int kMaxDuration = 86400;

enum class Position { Center, RightToLeft, LeftToRight, BottomToTop, TopToBottom };

bool parsePosition(const std::string& t, Position& p) {
    static const std::pair<const char*, Position> names[] = {{"Center", Position::Center},
                                                             {"Right to Left", Position::RightToLeft},
                                                             {"Left to Right", Position::LeftToRight},
                                                             {"Bottom to Top", Position::BottomToTop},
                                                             {"Top to Bottom", Position::TopToBottom}};
    for (const auto& n : names) {
        if (t == n.first) {
            p = n.second;
            return true;
        }
    }
    return false;
}

bool intArg(const std::string& t, long& v) {
    try {
        size_t used;
        v = std::stol(t, &used);
        return used == t.size();
    } catch (const std::exception&) {
        return false;
    }
}

// Cuts at a character boundary so the text stays valid UTF-8.
std::string cutUtf8(const std::string& s, size_t maxBytes) {
    if (s.size() <= maxBytes) return s;
    size_t n = maxBytes;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) n--;
    return s.substr(0, n);
}

class RunningText : public GlazeRunningEffect {
public:
    RunningText(GlazeModel* m, GlazeTextEffect::Picture pic, Position pos, int speed, int durationS)
        : GlazeRunningEffect(m),
          pic(std::move(pic)),
          pos(pos),
          speed(speed),
          durationMs(durationS * 1000LL),
          start(GetTimeMS()) {}
    const std::string& name() const override { return kName; }

    int32_t update() override {
        int64_t elapsed = GetTimeMS() - start;
        if (durationMs > 0 && elapsed >= durationMs) return finish();
        int W = model->getWidth(), H = model->getHeight();
        int cx = (W - pic.width) / 2, cy = (H - pic.height) / 2;
        if (pos == Position::Center || speed == 0) {
            draw(cx, cy);
            if (durationMs > 0) return (int32_t)std::min<int64_t>(durationMs - elapsed, 1000);
            return 1000;
        }
        int64_t off = elapsed * speed / 1000;
        int x = cx, y = cy;
        bool gone = false;
        switch (pos) {
            case Position::RightToLeft:
                x = (int)(W - off);
                gone = x + pic.width <= 0;
                break;
            case Position::LeftToRight:
                x = (int)(off - pic.width);
                gone = x >= W;
                break;
            case Position::BottomToTop:
                y = (int)(H - off);
                gone = y + pic.height <= 0;
                break;
            case Position::TopToBottom:
                y = (int)(off - pic.height);
                gone = y >= H;
                break;
            default:
                break;
        }
        if (gone) return finish();
        draw(x, y);
        return std::max(1, 1000 / speed);
    }

    static const std::string kName;

private:
    void draw(int x, int y) {
        if (x == lastX && y == lastY) return;
        lastX = x;
        lastY = y;
        model->clearOverlayBuffer();
        model->drawRGB(pic.rgb.data(), x, y, pic.width, pic.height);
    }
    int32_t finish() {
        model->clearOverlayBuffer();
        model->flushOverlayBuffer();
        return 0;
    }

    GlazeTextEffect::Picture pic;
    Position pos;
    int speed;
    int64_t durationMs;
    int64_t start;
    int lastX = INT32_MIN, lastY = INT32_MIN;
};

const std::string RunningText::kName = "Text";

// Only fonts whose file exists are handed to the library.
std::string usableFontFile(GlazeManager* g, const std::string& font) {
    std::string mapped = g->mapFont(font);
    if (mapped.find('/') != std::string::npos) return FileExists(mapped) ? mapped : "";
    return magickFontFile(font);
}

std::string defaultFont(GlazeManager* g) {
    for (const char* preferred : {"DejaVuSans", "FreeSans", "LiberationSans-Regular"}) {
        std::string f = usableFontFile(g, preferred);
        if (!f.empty()) return f;
    }
    for (const auto& f : g->fonts) {
        if (!f.second.empty() && FileExists(f.second)) return f.second;
    }
    const char* fallback = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    return FileExists(fallback) ? fallback : "";
}

std::string chooseFont(GlazeManager* g, const std::string& font) {
    if (font.empty()) return defaultFont(g);
    std::string file = usableFontFile(g, font);
    if (!file.empty()) return file;
    LogWarn(VB_CHANNELOUT, "Unknown font \"%s\"; using the default font\n", font.c_str());
    return defaultFont(g);
}

}  // namespace

GlazeTextEffect::GlazeTextEffect() : GlazeEffect("Text", "Show or scroll text") {
    Command::CommandArg color("Color", "color", "Color");
    color.defaultValue = "#FF0000";
    args.push_back(color);
    Command::CommandArg font("Font", "string", "Font");
    font.contentListUrl = "api/overlays/fonts";
    args.push_back(font);
    Command::CommandArg size("FontSize", "int", "FontSize");
    size.min = kMinSize;
    size.max = kMaxSize;
    size.defaultValue = "18";
    args.push_back(size);
    Command::CommandArg aa("FontAntiAlias", "bool", "Anti-Aliased");
    aa.defaultValue = "false";
    args.push_back(aa);
    Command::CommandArg pos("Position", "string", "Position");
    pos.allowableValues = {"Center", "Right to Left", "Left to Right", "Bottom to Top", "Top to Bottom"};
    args.push_back(pos);
    Command::CommandArg speed("Speed", "int", "Scroll Speed");
    speed.min = 0;
    speed.max = kMaxSpeed;
    speed.defaultValue = "10";
    args.push_back(speed);
    Command::CommandArg dur("Duration", "int", "Duration (s, 0: until scrolled off)");
    dur.min = 0;
    dur.max = kMaxDuration;
    dur.defaultValue = "0";
    args.push_back(dur);
    args.push_back(Command::CommandArg("Text", "string", "Text"));
}

bool GlazeTextEffect::render(const std::string& input, const std::string& fontPath, int pointSize,
                             bool antiAlias, unsigned color, Picture& out, std::string& failure) {
    std::string text = input;
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    if (text.size() > kMaxTextBytes) {
        LogWarn(VB_CHANNELOUT, "Overlay text of %zu bytes cut to %zu\n", text.size(), kMaxTextBytes);
        text = cutUtf8(text, kMaxTextBytes);
    }
    if (fontPath.empty()) {
        failure = "no usable font file";
        return false;
    }
    try {
        Magick::Image probe(Magick::Geometry(1, 1), Magick::Color("black"));
        probe.font(fontPath);
        probe.fontPointsize(pointSize);
        // Measuring with a font the library cannot read corrupts its heap,
        // while drawing fails cleanly: so draw once first.
        std::list<Magick::Drawable> check{Magick::DrawableText(0, 0, "x")};
        probe.draw(check);
        Magick::TypeMetric m;
        probe.fontTypeMetrics(text, &m);
        double w = std::ceil(m.textWidth()) + 2, h = std::ceil(m.textHeight());
        if (w * h > kMaxPixels) {
            size_t keep = (size_t)(text.size() * (kMaxPixels / (w * h)));
            LogWarn(VB_CHANNELOUT, "Overlay text too wide (%.0f pixels); cut to %zu bytes\n", w, keep);
            text = cutUtf8(text, keep);
            probe.fontTypeMetrics(text, &m);
            w = std::ceil(m.textWidth()) + 2;
        }
        out.width = std::max(1, (int)w);
        out.height = std::max(1, (int)h);
        Magick::Image img(Magick::Geometry(out.width, out.height), Magick::Color("black"));
        img.font(fontPath);
        img.fontPointsize(pointSize);
        img.antiAlias(antiAlias);
        img.fillColor(Magick::ColorRGB(((color >> 16) & 0xFF) / 255.0, ((color >> 8) & 0xFF) / 255.0,
                                       (color & 0xFF) / 255.0));
        std::list<Magick::Drawable> draw;
        draw.push_back(Magick::DrawableTextAntialias(antiAlias));
        draw.push_back(Magick::DrawableText(0, m.ascent(), text));
        img.draw(draw);
        out.rgb.resize((size_t)out.width * out.height * 3);
        img.write(0, 0, out.width, out.height, "RGB", Magick::CharPixel, out.rgb.data());
    } catch (const std::exception& ex) {
        failure = std::string("text rendering failed: ") + ex.what();
        return false;
    }
    return true;
}

bool GlazeTextEffect::apply(GlazeModel* model, const std::vector<std::string>& a, std::string& failure) {
    if (a.size() < 8) {
        failure =
            "needs 8 arguments (Color, Font, FontSize, FontAntiAlias, Position, Speed, Duration, Text), "
            "found " +
            std::to_string(a.size());
        return false;
    }
    unsigned color;
    if (!tryMapColor(a[0], color)) {
        failure = "invalid color \"" + a[0] + "\"";
        return false;
    }
    long size, speed, duration;
    if (!intArg(a[2], size) || !intArg(a[5], speed) || !intArg(a[6], duration)) {
        failure = "FontSize, Speed and Duration must be whole numbers";
        return false;
    }
    if (size < kMinSize || size > kMaxSize) {
        LogWarn(VB_CHANNELOUT, "Font size %ld clamped to %d..%d\n", size, kMinSize, kMaxSize);
        size = std::max<long>(kMinSize, std::min<long>(kMaxSize, size));
    }
    speed = std::max<long>(0, std::min<long>(kMaxSpeed, speed));
    duration = std::max<long>(0, std::min<long>(kMaxDuration, duration));
    Position pos;
    if (!parsePosition(a[4], pos)) {
        failure = "unknown position \"" + a[4] + "\"";
        return false;
    }
    GlazeManager* g = model->getManager() ? model->getManager() : &GlazeManager::INSTANCE;
    Picture pic;
    if (!render(a[7], chooseFont(g, a[1]), (int)size, a[3] == "true" || a[3] == "1", color, pic, failure)) {
        return false;
    }
    model->setRunningEffect(new RunningText(model, std::move(pic), pos, (int)speed, (int)duration), 1);
    return true;
}
