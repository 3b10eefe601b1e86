// An "FB" overlay model: a pixel grid with its own RGB frame instead of
// channels.  Config: "Width", "Height" (1 to 4096 each) and optionally
// "Device", a Linux framebuffer device ("/dev/fb0") that each composed frame
// is written to (16, 24 or 32 bits per pixel; scaled by nearest pixel).
// Without a device, or when it cannot be opened (logged once), the frame is
// only kept in memory; getFrame() reads it.
//
// Threading: as GlazeModel; the frame and the device are touched only on
// the composing thread and under the frame lock.
#pragma once

#include <mutex>
#include <vector>

#include "overlays/GlazeModel.h"

class GlazeModelFB : public GlazeModel {
public:
    GlazeModelFB(const Json::Value& config, GlazeManager* manager);
    ~GlazeModelFB() override;

    void doOverlay(uint8_t* channels) override;
    uint8_t* outputBase(uint8_t* channels) override;
    std::mutex* outputLock() override { return &frameLock; }
    // A copy of the composed frame, width * height * 3 bytes.
    std::vector<uint8_t> getFrame();
    bool hasDevice() const { return fbMem != nullptr; }

private:
    void openDevice(const std::string& device);
    void writeDevice();

    std::mutex frameLock;
    std::vector<uint8_t> frame;
    int fbFd = -1;
    uint8_t* fbMem = nullptr;
    size_t fbSize = 0;
    int fbWidth = 0, fbHeight = 0, fbBpp = 0, fbStride = 0;
    int redOffset = 16, greenOffset = 8, blueOffset = 0;
};
