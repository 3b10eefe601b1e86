// Shared set-up for the overlay tests: a private media directory, a real
// channel buffer of the output layer's size, GraphicsMagick initialised once,
// and small model definitions.
#pragma once

#include <Magick++.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "foundation/TestUtil.h"
#include "overlays/Glaze.h"
#include "overlays/GlazeModel.h"
#include "settings.h"

namespace overlaytest {

inline Json::Value channelModel(const std::string& name, int start, int count, int cpn = 3, int strings = 1,
                                int strands = 1, const std::string& orientation = "horizontal",
                                const std::string& corner = "TL") {
    Json::Value v(Json::objectValue);
    v["Name"] = name;
    v["Type"] = "Channel";
    v["StartChannel"] = start;
    v["ChannelCount"] = count;
    v["ChannelCountPerNode"] = cpn;
    v["StringCount"] = strings;
    v["StrandsPerString"] = strands;
    v["Orientation"] = orientation;
    v["StartCorner"] = corner;
    return v;
}

// A width x height RGB matrix, one row per strand.
inline Json::Value matrix(const std::string& name, int start, int width, int height) {
    return channelModel(name, start, width * height * 3, 3, height, 1);
}

inline bool waitFor(const std::function<bool()>& cond, int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}

class OverlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        static bool magick = [] {
            Magick::InitializeMagick(nullptr);
            return true;
        }();
        (void)magick;
        testutil::makeDir(media.sub("config"));
        testutil::makeDir(media.sub("images"));
        ResetLyrDirsForTesting(media.path(), media.path());
        buffer.assign(LYRD_MAX_CHANNELS, 0);
    }
    // Activating a model starts the real output thread; it must be gone
    // before the process exits.
    void TearDown() override { StopChannelOutputThread(); }
    std::string mapPath() { return media.sub("config/model-overlays.json"); }

    testutil::TempDir media;
    std::vector<uint8_t> buffer;
};

}  // namespace overlaytest
