#include "overlays/GlazeModelFB.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "platform/Logging.h"

namespace {
const int kMaxSide = 4096;
}

GlazeModelFB::GlazeModelFB(const Json::Value& cfg, GlazeManager* mgr) : GlazeModel(cfg, mgr, "FB") {
    if (!isValid()) return;
    const Json::Value& w = cfg["Width"];
    const Json::Value& h = cfg["Height"];
    if (!w.isInt() || !h.isInt() || w.asInt() < 1 || h.asInt() < 1 || w.asInt() > kMaxSide ||
        h.asInt() > kMaxSide) {
        {
            setError("\"Width\" and \"Height\" must be whole numbers from 1 to 4096");
            return;
        }
    }
    if (cfg.isMember("Device") && !cfg["Device"].isString()) {
        setError("\"Device\" must be a text");
        return;
    }
    setGeometry(w.asInt(), h.asInt(), 3);
    frame.assign((size_t)width * height * 3, 0);
    std::string device = cfg.get("Device", "").asString();
    if (!device.empty()) openDevice(device);
}

GlazeModelFB::~GlazeModelFB() {
    if (fbMem) munmap(fbMem, fbSize);
    if (fbFd >= 0) close(fbFd);
}

void GlazeModelFB::openDevice(const std::string& device) {
    fbFd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fbFd < 0) {
        LogErr(VB_CHANNELOUT, "Overlay model %s: cannot open framebuffer %s: %s; kept in memory\n",
               name.c_str(), device.c_str(), strerror(errno));
        return;
    }
    fb_var_screeninfo var;
    fb_fix_screeninfo fix;
    if (ioctl(fbFd, FBIOGET_VSCREENINFO, &var) < 0 || ioctl(fbFd, FBIOGET_FSCREENINFO, &fix) < 0 ||
        (var.bits_per_pixel != 16 && var.bits_per_pixel != 24 && var.bits_per_pixel != 32)) {
        LogErr(VB_CHANNELOUT, "Overlay model %s: %s is not a usable framebuffer; kept in memory\n",
               name.c_str(), device.c_str());
        close(fbFd);
        fbFd = -1;
        return;
    }
    fbWidth = var.xres;
    fbHeight = var.yres;
    fbBpp = var.bits_per_pixel;
    fbStride = fix.line_length;
    redOffset = var.red.offset;
    greenOffset = var.green.offset;
    blueOffset = var.blue.offset;
    fbSize = (size_t)fbStride * fbHeight;
    void* mem = mmap(nullptr, fbSize, PROT_READ | PROT_WRITE, MAP_SHARED, fbFd, 0);
    if (mem == MAP_FAILED) {
        LogErr(VB_CHANNELOUT, "Overlay model %s: cannot map %s; kept in memory\n", name.c_str(),
               device.c_str());
        close(fbFd);
        fbFd = -1;
        return;
    }
    fbMem = (uint8_t*)mem;
}

uint8_t* GlazeModelFB::outputBase(uint8_t*) {
    return frame.data();
}

void GlazeModelFB::doOverlay(uint8_t*) {
    std::lock_guard<std::mutex> l(frameLock);
    composeInto(frame.data(), pixelMap);
    if (fbMem) writeDevice();
}

void GlazeModelFB::writeDevice() {
    for (int y = 0; y < fbHeight; y++) {
        const uint8_t* row = &frame[(size_t)(y * height / fbHeight) * width * 3];
        uint8_t* out = fbMem + (size_t)y * fbStride;
        for (int x = 0; x < fbWidth; x++) {
            const uint8_t* p = row + (size_t)(x * width / fbWidth) * 3;
            if (fbBpp == 16) {
                uint16_t v = (uint16_t)(((p[0] >> 3) << 11) | ((p[1] >> 2) << 5) | (p[2] >> 3));
                memcpy(out + x * 2, &v, 2);
            } else {
                uint32_t v = ((uint32_t)p[0] << redOffset) | ((uint32_t)p[1] << greenOffset) |
                             ((uint32_t)p[2] << blueOffset);
                memcpy(out + x * (fbBpp / 8), &v, fbBpp / 8);
            }
        }
    }
}

std::vector<uint8_t> GlazeModelFB::getFrame() {
    std::lock_guard<std::mutex> l(frameLock);
    return frame;
}
