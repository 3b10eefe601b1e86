// Channel test patterns drawn over the outgoing channel data, so installers
// can check wiring without a sequence: solid colour, single-channel chase and
// RGB chase/cycle over chosen channel ranges.
//
// Test setup is JSON (command socket "SetTestMode", commands "Test Start" /
// "Test Stop"):
//   {"enabled": 1, "mode": "RGBFill" | "SingleChase" | "RGBChase" | "RGBCycle",
//    "channelSet": "1-512,1025-1536", "colorR": 255, "colorG": 0, "colorB": 0,
//    "chaseValue": 255, "chaseSize": 3, "cycleMS": 1000}
// Missing members keep their defaults; an unknown mode or bad channel set is
// refused and the running test is left as it was.
//
// Threading: SetupTest/GetConfig from any thread; OverlayTestData from the
// channel-output thread.  One mutex guards the configuration.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class ChannelTester {
public:
    static ChannelTester INSTANCE;

    void RegisterCommands();
    bool Testing();
    // The current test as JSON text.
    std::string GetConfig();
    // Applies a test; true when a test is now running.
    bool SetupTest(const std::string& json);
    bool SetupTest(const Json::Value& config);
    // Last SetupTest refusal, "" when it was accepted.
    std::string LastError();

    // Draws the test pattern for monotonic time `nowMS` into channels
    // (LYRD_MAX_CHANNELS bytes).  No-op when not testing.
    void OverlayTestData(uint8_t* channels, int64_t nowMS);

private:
    bool applyLocked(const Json::Value& config);

    std::mutex lock;
    bool testing = false;
    std::string mode = "SingleChase";
    std::vector<std::pair<uint32_t, uint32_t>> ranges;  // 0-based first, last inclusive
    std::string channelSet = "1-512";
    uint8_t color[3] = {255, 255, 255};
    uint8_t chaseValue = 255;
    int chaseSize = 3;
    int cycleMS = 1000;
    int64_t startMS = -1;  // first pattern frame, for the step count
    std::string lastError;
};
