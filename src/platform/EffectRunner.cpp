#include "platform/EffectRunner.h"

#include <algorithm>

#include "channeloutput/LSEQFile.h"

struct EffectRunner::Running {
    Info info;
    std::unique_ptr<LSEQFile> file;
    int64_t startNS = 0;
};

EffectRunner::EffectRunner(Clock clock) : clock(std::move(clock)) {}

EffectRunner::~EffectRunner() = default;

int EffectRunner::start(std::unique_ptr<LSEQFile> file, const std::string& name, int startChannel, bool loop,
                        bool background) {
    auto r = std::make_unique<Running>();
    r->info.name = name;
    r->info.startChannel = std::max(1, startChannel);
    r->info.channelCount = file->getChannelCount();
    r->info.loop = loop;
    r->info.background = background;
    r->info.frameCount = file->getNumFrames();
    r->info.stepMS = file->getStepTime();
    r->file = std::move(file);
    r->startNS = clock();
    std::lock_guard<std::mutex> l(lock);
    r->info.id = nextId++;
    int id = r->info.id;
    effects.push_back(std::move(r));
    count = (int)effects.size();
    return id;
}

bool EffectRunner::frameAt(const Running& r, int64_t now, uint32_t& frame) {
    if (r.info.frameCount == 0) return false;
    int64_t elapsed = std::max<int64_t>(0, now - r.startNS);
    int64_t index = elapsed / (int64_t(r.info.stepMS) * 1000000);
    if (index >= int64_t(r.info.frameCount)) {
        if (!r.info.loop) return false;
        index %= r.info.frameCount;
    }
    frame = uint32_t(index);
    return true;
}

void EffectRunner::pruneLocked(int64_t now) {
    uint32_t frame;
    effects.erase(std::remove_if(effects.begin(), effects.end(),
                                 [&](const std::unique_ptr<Running>& r) { return !frameAt(*r, now, frame); }),
                  effects.end());
    count = (int)effects.size();
}

bool EffectRunner::stop(const std::string& name) {
    std::lock_guard<std::mutex> l(lock);
    size_t before = effects.size();
    effects.erase(std::remove_if(effects.begin(), effects.end(),
                                 [&](const std::unique_ptr<Running>& r) { return r->info.name == name; }),
                  effects.end());
    count = (int)effects.size();
    return effects.size() != before;
}

bool EffectRunner::stop(int id) {
    std::lock_guard<std::mutex> l(lock);
    size_t before = effects.size();
    effects.erase(std::remove_if(effects.begin(), effects.end(),
                                 [&](const std::unique_ptr<Running>& r) { return r->info.id == id; }),
                  effects.end());
    count = (int)effects.size();
    return effects.size() != before;
}

void EffectRunner::stopAll() {
    std::lock_guard<std::mutex> l(lock);
    effects.clear();
    count = 0;
}

bool EffectRunner::isRunning(int id) {
    std::lock_guard<std::mutex> l(lock);
    pruneLocked(clock());
    for (const auto& r : effects)
        if (r->info.id == id) return true;
    return false;
}

std::vector<EffectRunner::Info> EffectRunner::list() {
    std::lock_guard<std::mutex> l(lock);
    int64_t now = clock();
    pruneLocked(now);
    std::vector<Info> out;
    for (const auto& r : effects) {
        Info i = r->info;
        frameAt(*r, now, i.frame);
        out.push_back(i);
    }
    return out;
}

void EffectRunner::draw(uint8_t* channels, uint32_t size, int64_t now) {
    if (!anyRunning()) return;
    std::lock_guard<std::mutex> l(lock);
    pruneLocked(now);
    for (const auto& r : effects) {
        uint32_t frame = 0;
        frameAt(*r, now, frame);
        uint32_t first = uint32_t(r->info.startChannel - 1);
        if (first >= size) continue;
        uint32_t n = std::min(r->info.channelCount, size - first);
        // A file that can no longer be read gives zeros for its channels.
        r->file->readFrame(frame, channels + first, n);
    }
}
