#include "channeloutput/FrameSnapshot.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

namespace {
constexpr int64_t kWatchWindowMS = 3000;
constexpr uint32_t kMaxWatched = 1024 * 1024;

std::mutex lock;
std::vector<uint8_t> frame;           // the watched prefix of the last frame
std::atomic<uint32_t> watchedEnd{0};  // one past the highest channel asked for
std::atomic<int64_t> lastWatchMS{-kWatchWindowMS};

int64_t nowMS() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

namespace FrameSnapshot {

void offer(const uint8_t* channels, uint32_t size) {
    if (nowMS() - lastWatchMS.load(std::memory_order_relaxed) > kWatchWindowMS) return;
    std::unique_lock<std::mutex> l(lock, std::try_to_lock);
    if (!l.owns_lock()) return;  // a viewer is copying: skip this frame
    uint32_t n = std::min(size, watchedEnd.load(std::memory_order_relaxed));
    frame.resize(n);
    if (n) memcpy(frame.data(), channels, n);
}

std::vector<uint8_t> read(uint32_t start, uint32_t count) {
    std::vector<uint8_t> out(count, 0);
    if (start == 0 || count == 0) return out;
    uint64_t end = std::min<uint64_t>(uint64_t(start) - 1 + count, kMaxWatched);
    uint32_t seen = watchedEnd.load();
    while (seen < end && !watchedEnd.compare_exchange_weak(seen, static_cast<uint32_t>(end))) {
    }
    lastWatchMS.store(nowMS());
    std::lock_guard<std::mutex> l(lock);
    for (uint32_t i = 0; i < count; ++i) {
        size_t at = size_t(start) - 1 + i;
        if (at < frame.size()) out[i] = frame[at];
    }
    return out;
}

void resetForTesting() {
    std::lock_guard<std::mutex> l(lock);
    frame.clear();
    watchedEnd = 0;
    lastWatchMS = -kWatchWindowMS;
}

}  // namespace FrameSnapshot
