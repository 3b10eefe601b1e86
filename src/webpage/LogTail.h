// The last lines of the daemon's log, kept in memory for the web page (the
// console or the log file may be all there is otherwise).  Lines are
// numbered from 1 so a reader can ask for what came after the last one it
// saw.
//
// Threading: append() is called by the log's tap under the log's lock and
// only takes this object's own short lock; everything else from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

class LogTail {
public:
    explicit LogTail(size_t capacity = 1000) : capacity(capacity) {}

    void append(const std::string& line);
    // Lines numbered after `after` (at most `limit`, the newest ones);
    // `last` becomes the number of the newest line.
    std::vector<std::string> since(uint64_t after, size_t limit, uint64_t& last) const;
    uint64_t lastNumber() const;

    // Feeds the daemon's log into `tail` (nullptr detaches).
    static void attach(LogTail* tail);

private:
    const size_t capacity;
    mutable std::mutex lock;
    std::deque<std::string> lines;
    uint64_t newest = 0;
};
