// Cost of the per-frame overlay composition on a 170,000-channel show and
// of a running text effect's steps.  Prints:
//   - doOverlays with nothing active (target under 50 ns);
//   - four active 50x50 RGB models plus two fixed ranges, Enabled and
//     Transparent, and with every buffer redrawn (flushed) each frame
//     (target under 0.5 ms per frame);
//   - one scrolling text step on a 50x50 model (render once, then per step).
//
//   bench_overlays [frames, default 20000]
#include <Magick++.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench_result.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/Sequence.h"
#include "overlays/Glaze.h"
#include "overlays/GlazeModel.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

using Clock = std::chrono::steady_clock;

double nsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
}

Json::Value square(const std::string& name, int start) {
    Json::Value v(Json::objectValue);
    v["Name"] = name;
    v["StartChannel"] = start;
    v["ChannelCount"] = 50 * 50 * 3;
    v["StringCount"] = 50;
    return v;
}

void perFrame(GlazeManager& g, std::vector<uint8_t>& buf, int frames, const char* label, bool dirty = false) {
    std::vector<double> t(frames);
    for (int i = 0; i < frames; i++) {
        if (dirty) {
            for (GlazeModel* m : g.activeModels) m->setOverlayBufferDirty();
        }
        auto t0 = Clock::now();
        g.doOverlays(buf.data());
        t[i] = nsSince(t0);
    }
    std::sort(t.begin(), t.end());
    printf("%-44s p50 %8.1f us  p99 %8.1f us  max %8.1f us\n", label, t[frames / 2] / 1000,
           t[frames * 99 / 100] / 1000, t.back() / 1000);
    benchres::result((std::string("doOverlays p99, ") + label).c_str(), "< 0.5 ms per frame", "-",
                     "%.1f us (p50 %.1f)", t[frames * 99 / 100] / 1000, t[frames / 2] / 1000);
}

}  // namespace

int main(int argc, char** argv) {
    int frames = argc > 1 ? std::max(100, atoi(argv[1])) : 20000;
    SetLogLevelComplex("warn");
    Magick::InitializeMagick(nullptr);
    char tmpl[] = "/tmp/lyrd-bench-overlays-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) return 1;
    ResetLyrDirsForTesting(dir, dir);

    std::vector<uint8_t> buf(LYRD_MAX_CHANNELS, 1);
    GlazeManager g;

    const long idleCalls = 20000000;
    auto t0 = Clock::now();
    for (long i = 0; i < idleCalls; i++) g.doOverlays(buf.data());
    double idleNS = nsSince(t0) / idleCalls;
    printf("%-44s %8.2f ns per call\n", "doOverlays, nothing active", idleNS);
    benchres::result("doOverlays, nothing active", "< 50 ns", "-", "%.2f ns", idleNS);

    // Four squares spread over 170,000 channels, two ranges near the end.
    for (int i = 0; i < 4; i++) g.addModel(square("sq" + std::to_string(i), 1 + i * 40000));
    for (int i = 0; i < 4; i++) {
        GlazeModel* m = g.getModel("sq" + std::to_string(i));
        m->fill(10 * i, 200, 0);
        m->setOverlayPixelValue(3, 3, 0, 0, 0);
        m->setState(GlazeState(GlazeState::Enabled));
    }
    g.setChannelRange(169000, 169499, 255);
    g.setChannelRange(169500, 169999, 7);
    StopChannelOutputThread();  // the state changes started it; it is not measured
    perFrame(g, buf, frames, "4 x 50x50 RGB Enabled + 2 ranges");
    for (int i = 0; i < 4; i++)
        g.getModel("sq" + std::to_string(i))->setState(GlazeState(GlazeState::Transparent));
    StopChannelOutputThread();
    perFrame(g, buf, frames, "4 x 50x50 RGB Transparent + 2 ranges");
    perFrame(g, buf, frames, "same, every buffer flushed each frame", true);

    // Text: render once, then steps at 200 pixels per second.
    g.loadFonts();
    g.addModel(square("text", 160001));
    GlazeModel* tm = g.getModel("text");
    t0 = Clock::now();
    bool ok = tm->applyEffect("False", "Text",
                              {"#FFFFFF", "DejaVuSans", "24", "true", "Right to Left", "200", "0",
                               "Overlays scrolling across the matrix"});
    printf("%-44s %8.1f us (%s)\n", "text effect start (render)", nsSince(t0) / 1000, ok ? "ok" : "failed");
    g.removePeriodicUpdate(tm);  // stepped here instead of by the update thread
    std::vector<double> steps;
    for (int i = 0; i < 300 && tm->isEffectRunning(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        t0 = Clock::now();
        tm->updateRunningEffects();
        steps.push_back(nsSince(t0));
    }
    g.removePeriodicUpdate(tm);
    if (!steps.empty()) {
        std::sort(steps.begin(), steps.end());
        printf("%-44s p50 %8.1f us  p99 %8.1f us  (%zu steps)\n", "text step (clear + draw 50x50)",
               steps[steps.size() / 2] / 1000, steps[steps.size() * 99 / 100] / 1000, steps.size());
        benchres::result("text effect step (50x50)", "-", "-", "%.1f us p50 (p99 %.1f)",
                         steps[steps.size() / 2] / 1000, steps[steps.size() * 99 / 100] / 1000);
    }
    tm->stopRunningEffect();
    std::string rm = std::string("rm -rf '") + dir + "'";
    if (system(rm.c_str()) != 0) return 1;
    return 0;
}
