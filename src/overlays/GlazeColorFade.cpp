#include "overlays/GlazeColorFade.h"

#include "common.h"
#include "overlays/GlazeModel.h"
#include "overlays/GlazeUtil.h"

namespace {

const int kStepMs = 25;
const int kMaxPhaseMs = 600000;

class RunningFade : public GlazeRunningEffect {
public:
    RunningFade(GlazeModel* m, unsigned color, int in, int hold, int out)
        : GlazeRunningEffect(m), color(color), in(in), hold(hold), out(out), start(GetTimeMS()) {}
    const std::string& name() const override { return kName; }

    int32_t update() override {
        int64_t t = GetTimeMS() - start;
        double level;
        if (t < in) {
            level = (double)t / in;
        } else if (t < in + hold) {
            level = 1.0;
        } else if (t < in + hold + out) {
            level = 1.0 - (double)(t - in - hold) / out;
        } else {
            model->clearOverlayBuffer();
            model->flushOverlayBuffer();
            return 0;
        }
        model->fillOverlayBuffer((int)(((color >> 16) & 0xFF) * level), (int)(((color >> 8) & 0xFF) * level),
                                 (int)((color & 0xFF) * level));
        return kStepMs;
    }

    static const std::string kName;

private:
    unsigned color;
    int in, hold, out;
    int64_t start;
};

const std::string RunningFade::kName = "Color Fade";

bool msArg(const std::vector<std::string>& args, size_t i, int& out, std::string& failure) {
    out = 1000;
    if (args.size() <= i || args[i].empty()) return true;
    try {
        size_t used;
        long v = std::stol(args[i], &used);
        if (used == args[i].size() && v >= 0 && v <= kMaxPhaseMs) {
            out = (int)v;
            return true;
        }
    } catch (const std::exception&) {
    }
    failure = "a fade time must be 0 to 600000 ms, not \"" + args[i] + "\"";
    return false;
}

}  // namespace

GlazeColorFade::GlazeColorFade() : GlazeEffect("Color Fade", "Fade the model in to a colour and out again") {
    Command::CommandArg color("Color", "color", "Color");
    color.defaultValue = "#FF0000";
    args.push_back(color);
    for (const char* n : {"FadeIn", "Hold", "FadeOut"}) {
        Command::CommandArg a(n, "int", std::string(n) + " (ms)");
        a.min = 0;
        a.max = kMaxPhaseMs;
        a.defaultValue = "1000";
        args.push_back(a);
    }
}

bool GlazeColorFade::apply(GlazeModel* model, const std::vector<std::string>& a, std::string& failure) {
    unsigned color = 0xFF0000;
    if (!a.empty() && !tryMapColor(a[0], color)) {
        failure = "invalid color \"" + a[0] + "\"";
        return false;
    }
    int in, hold, out;
    if (!msArg(a, 1, in, failure) || !msArg(a, 2, hold, failure) || !msArg(a, 3, out, failure)) return false;
    model->setRunningEffect(new RunningFade(model, color, in, hold, out), 1);
    return true;
}
