// Helpers for the media tests: a scratch media directory, WAV files written
// on the spot, and libVLC's ALSA output pointed at ALSA's null device.
//
// Playback set-up: libVLC is started with "-A alsa"; ALSA_CONFIG_PATH names a
// one-line configuration, "pcm.!default { type null }", so nothing reaches a
// sound card.  libVLC paces the null device by its own clock, so playback
// runs in real time.  The null device finishes draining at once, so a file
// reports its end up to about a second before its last sample would have
// been heard.  The system tests start the daemon with the same variable.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "settings.h"

namespace mediatest {

inline void UseNullAudio() {
    static std::string path;
    if (!path.empty()) return;
    char tmpl[] = "/tmp/lyrd-alsa-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) return;
    const char conf[] = "pcm.!default { type null }\n";
    if (write(fd, conf, sizeof(conf) - 1) < 0) perror("write");
    close(fd);
    path = tmpl;
    setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
}

// A fresh media directory with music/, videos/ and config/.
inline std::string MakeMediaDir() {
    char tmpl[] = "/tmp/lyrd-media-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string cmd = "mkdir -p " + dir + "/music " + dir + "/videos " + dir + "/config " + dir + "/playlists";
    if (system(cmd.c_str()) != 0) return "";
    ResetLyrDirsForTesting(dir, dir);
    return dir;
}

inline void RemoveDir(const std::string& dir) {
    if (dir.rfind("/tmp/lyrd-media-", 0) == 0) {
        std::string cmd = "rm -rf " + dir;
        if (system(cmd.c_str()) != 0) perror("rm");
    }
}

// A 16-bit mono sine wave of `ms` milliseconds at `rate` samples a second.
inline bool WriteWav(const std::string& path, int ms, int rate = 8000) {
    uint32_t samples = static_cast<uint32_t>(static_cast<uint64_t>(rate) * ms / 1000);
    uint32_t dataBytes = samples * 2;
    std::vector<uint8_t> b;
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++) b.push_back((v >> (8 * i)) & 0xff);
    };
    auto u16 = [&](uint16_t v) {
        b.push_back(v & 0xff);
        b.push_back(v >> 8);
    };
    auto tag = [&](const char* t) { b.insert(b.end(), t, t + 4); };
    tag("RIFF");
    u32(36 + dataBytes);
    tag("WAVE");
    tag("fmt ");
    u32(16);
    u16(1);
    u16(1);
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    tag("data");
    u32(dataBytes);
    for (uint32_t i = 0; i < samples; i++) {
        int16_t s = static_cast<int16_t>(8000 * ((i / 10) % 2 ? 1 : -1));
        u16(static_cast<uint16_t>(s));
    }
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(b.data(), 1, b.size(), f) == b.size();
    return fclose(f) == 0 && ok;
}

inline bool WriteFile(const std::string& path, const std::string& content) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    return fclose(f) == 0 && ok;
}

inline int64_t SteadyMS() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline void SleepMS(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Calls poll() every 10 ms until it returns true or `timeoutMS` passes.
template <typename F>
bool PollUntil(F poll, int timeoutMS) {
    int64_t end = SteadyMS() + timeoutMS;
    while (SteadyMS() < end) {
        if (poll()) return true;
        SleepMS(10);
    }
    return false;
}

}  // namespace mediatest
