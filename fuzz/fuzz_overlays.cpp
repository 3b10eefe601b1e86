// The overlay model map ("<media>/config/model-overlays.json") and, with
// byte 0 odd, the older channel-memory-map text file that is converted into
// it, through GlazeManager::loadModelMap; then every model that loaded is
// filled, enabled and composed into a full-size channel buffer, so a model
// whose geometry reaches outside the buffer shows.
//
// Neutralised: a manager of the fuzzer's own (not the daemon's), files in
// the sandbox; the channel-output thread that enabling starts is stopped
// before the input ends.
#include <Magick++.h>

#include <vector>

#include "FuzzSupport.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/Sequence.h"
#include "overlays/Glaze.h"
#include "overlays/GlazeModel.h"
#include "overlays/GlazeState.h"

namespace {

void setUp() {
    fuzz::MediaDir();
    Magick::InitializeMagick(nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (setUp(), true);
    (void)ready;
    if (size < 1) return 0;
    const std::string map = fuzz::MediaPath("/config/model-overlays.json");
    const std::string cmm = fuzz::MediaPath("/channelmemorymaps");
    fuzz::RemoveFile(map);
    fuzz::RemoveFile(cmm);
    fuzz::WriteFile((data[0] & 1) ? cmm : map, data + 1, size - 1);

    static std::vector<uint8_t> channels(LYRD_MAX_CHANNELS, 0);
    {
        GlazeManager manager;
        manager.loadModelMap();
        std::vector<std::string> names = manager.getModelNames();
        for (size_t i = 0; i < names.size() && i < 16; i++) {
            GlazeModel* m = manager.getModel(names[i]);
            if (!m) continue;
            m->fill(1, 2, 3);
            m->setState(GlazeState("Enabled"));
        }
        manager.doOverlays(channels.data());
        for (size_t i = 0; i < names.size() && i < 16; i++) {
            GlazeModel* m = manager.getModel(names[i]);
            if (m) m->setState(GlazeState("Disabled"));
        }
    }
    if (ChannelOutputThreadIsRunning()) StopChannelOutputThread();
    fuzz::RemoveFile(cmm);
    fuzz::ResetLogLevels();
    return 0;
}
