#include "webpage/LogTail.h"

#include <atomic>

#include "platform/Logging.h"

namespace {
std::atomic<LogTail*> attached{nullptr};

void tap(const std::string& line) {
    if (LogTail* t = attached.load()) t->append(line);
}
}  // namespace

void LogTail::append(const std::string& line) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::lock_guard<std::mutex> l(lock);
    lines.push_back(std::move(text));
    ++newest;
    while (lines.size() > capacity) lines.pop_front();
}

std::vector<std::string> LogTail::since(uint64_t after, size_t limit, uint64_t& last) const {
    std::lock_guard<std::mutex> l(lock);
    last = newest;
    std::vector<std::string> out;
    if (after >= newest) return out;
    uint64_t wanted = newest - after;
    if (wanted > lines.size()) wanted = lines.size();
    if (wanted > limit) wanted = limit;
    out.assign(lines.end() - static_cast<long>(wanted), lines.end());
    return out;
}

uint64_t LogTail::lastNumber() const {
    std::lock_guard<std::mutex> l(lock);
    return newest;
}

void LogTail::attach(LogTail* tail) {
    attached.store(tail);
    SetLogTap(tail ? tap : nullptr);
}
