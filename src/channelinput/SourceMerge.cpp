#include "channelinput/SourceMerge.h"

#include <algorithm>
#include <cstring>

SourceMerge::SourceMerge(size_t max, int64_t timeoutNS) : maxSources(max), timeout(timeoutNS) {}

SourceMerge::Source* SourceMerge::find(const SourceKey& key) {
    for (auto& s : sources)
        if (s.key == key) return &s;
    return nullptr;
}

bool SourceMerge::inOrder(const Source& s, int sequence) const {
    if (sequence < 0 || s.lastSequence < 0) return true;
    int step = int8_t(uint8_t(sequence - s.lastSequence));
    return !(step <= 0 && step > -20);
}

SourceMerge::Result SourceMerge::Receive(const SourceKey& key, const std::string& name, uint8_t priority,
                                         int sequence, const uint8_t* slots, size_t count, int64_t now) {
    Expire(now);
    Source* s = find(key);
    if (s && !inOrder(*s, sequence)) return Result::OutOfOrder;
    if (!s) {
        if (sources.size() >= maxSources) return Result::SourceLimit;
        sources.emplace_back();
        s = &sources.back();
        s->key = key;
    }
    if (s->name != name) s->name = name;
    s->priority = priority;
    s->lastSequence = sequence;
    s->lastPacket = now;
    s->slotCount = uint16_t(std::min<size_t>(count, SOURCE_MERGE_SLOTS));
    memcpy(s->slots.data(), slots, s->slotCount);
    memset(s->slots.data() + s->slotCount, 0, SOURCE_MERGE_SLOTS - s->slotCount);
    remerge();
    return Result::Accepted;
}

SourceMerge::Result SourceMerge::Terminate(const SourceKey& key, int sequence, int64_t now) {
    Expire(now);
    Source* s = find(key);
    if (s && !inOrder(*s, sequence)) return Result::OutOfOrder;
    if (s) {
        sources.erase(sources.begin() + (s - sources.data()));
        remerge();
    }
    return Result::Terminated;
}

bool SourceMerge::Expire(int64_t now) {
    size_t before = sources.size();
    sources.erase(std::remove_if(sources.begin(), sources.end(),
                                 [&](const Source& s) { return now - s.lastPacket >= timeout; }),
                  sources.end());
    if (sources.size() == before) return false;
    remerge();
    return true;
}

void SourceMerge::remerge() {
    merged.fill(0);
    int top = -1;
    for (const auto& s : sources) top = std::max(top, int(s.priority));
    for (const auto& s : sources) {
        if (s.priority != top) continue;
        for (size_t i = 0; i < s.slotCount; i++) merged[i] = std::max(merged[i], s.slots[i]);
    }
}

std::vector<SourceMerge::Source> SourceMerge::Sources(int64_t now) const {
    std::vector<Source> out;
    for (const auto& s : sources)
        if (now - s.lastPacket < timeout) out.push_back(s);
    return out;
}

int64_t SourceMerge::LastData() const {
    int64_t last = 0;
    for (const auto& s : sources) last = std::max(last, s.lastPacket);
    return last;
}
