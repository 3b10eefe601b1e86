#include "webpage/EventHub.h"

#include <json/json.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "platform/Logging.h"
#include "webpage/LogTail.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

// One open page: bytes waiting to be sent, read by the server on a worker.
class EventHub::Client : public httpserver::stream_source {
public:
    uint32_t channelStart = 0;
    uint32_t channelCount = 0;
    std::string sentStatus;  // the last status document queued (publisher thread)

    // False when the page fell too far behind and was dropped.
    bool push(const std::string& bytes) {
        std::lock_guard<std::mutex> l(m);
        if (closed) return false;
        if (queued.size() - offset + bytes.size() > kMaxQueuedBytes) {
            closed = true;
            return false;
        }
        queued += bytes;
        return true;
    }

    ssize_t read(char* buf, size_t max) override {
        std::lock_guard<std::mutex> l(m);
        size_t avail = queued.size() - offset;
        if (avail == 0) return closed ? -1 : 0;
        size_t n = std::min(avail, max);
        memcpy(buf, queued.data() + offset, n);
        offset += n;
        if (offset == queued.size()) {
            queued.clear();
            offset = 0;
        } else if (offset > 65536) {
            queued.erase(0, offset);
            offset = 0;
        }
        return static_cast<ssize_t>(n);
    }

private:
    std::mutex m;
    std::string queued;
    size_t offset = 0;
    bool closed = false;
};

EventHub::EventHub(size_t maxClients, Sources sources)
    : maxClients(maxClients), sources(std::move(sources)) {}

EventHub::~EventHub() {
    {
        std::lock_guard<std::mutex> l(lock);
        stopping = true;
    }
    wakeup.notify_all();
    if (publisher.joinable()) publisher.join();
}

std::string EventHub::formatEvent(const std::string& event, const std::string& data) {
    std::string out = "event: " + event + "\n";
    size_t start = 0;
    while (true) {
        size_t end = data.find('\n', start);
        out +=
            "data: " + data.substr(start, end == std::string::npos ? std::string::npos : end - start) + "\n";
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out + "\n";
}

static bool parseNumber(const std::string& text, long& out) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    out = strtol(text.c_str(), nullptr, 10);
    return true;
}

bool EventHub::parseChannelRange(const std::string& text, uint32_t& start, uint32_t& count) {
    size_t dash = text.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 >= text.size()) return false;
    long a = 0, b = 0;
    if (!parseNumber(text.substr(0, dash), a) || !parseNumber(text.substr(dash + 1), b)) return false;
    if (a < 1 || b < a || a > (1 << 20)) return false;
    start = static_cast<uint32_t>(a);
    count = std::min<uint32_t>(static_cast<uint32_t>(b - a + 1), kMaxChannelsPerClient);
    return true;
}

std::vector<std::shared_ptr<EventHub::Client>> EventHub::liveClients() {
    std::lock_guard<std::mutex> l(lock);
    std::vector<std::shared_ptr<Client>> out;
    std::vector<std::weak_ptr<Client>> kept;
    for (auto& w : clients) {
        if (auto c = w.lock()) {
            out.push_back(c);
            kept.push_back(w);
        }
    }
    clients.swap(kept);
    return out;
}

size_t EventHub::clientCount() {
    return liveClients().size();
}

std::shared_ptr<http_response> EventHub::render_GET(const http_request& req) {
    if (req.get_path() != "/ui/events") return std::make_shared<string_response>("Not Found", 404);
    auto client = std::make_shared<Client>();
    std::string range = req.get_arg("channels");
    if (!range.empty() && !parseChannelRange(range, client->channelStart, client->channelCount)) {
        return std::make_shared<string_response>("channels must be START-END, e.g. 1-512", 400);
    }
    // The page starts from the current state and the recent log.
    std::string hello = "retry: 2000\n\n";
    if (sources.status) {
        client->sentStatus = sources.status();
        hello += formatEvent("status", client->sentStatus);
    }
    if (sources.log) {
        uint64_t last = 0;
        auto lines = sources.log->since(0, 200, last);
        uint64_t n = last - lines.size();
        for (const auto& line : lines) {
            Json::Value v;
            v["n"] = Json::UInt64(++n);
            v["line"] = line;
            hello += formatEvent("log", SaveJsonToString(v, ""));
        }
    }
    client->push(hello);
    {
        std::lock_guard<std::mutex> l(lock);
        clients.erase(std::remove_if(clients.begin(), clients.end(),
                                     [](const std::weak_ptr<Client>& w) { return w.expired(); }),
                      clients.end());
        if (clients.size() >= maxClients) {
            LogWarn(VB_HTTP, "Event stream refused: %zu pages already open\n", maxClients);
            return std::make_shared<string_response>(
                "Too many open pages (" + std::to_string(maxClients) + "); close one and reload", 503);
        }
        clients.push_back(client);
    }
    ensureThread();
    auto res = std::make_shared<httpserver::stream_response>(client, "text/event-stream");
    res->with_header("Cache-Control", "no-store");
    res->with_header("X-Accel-Buffering", "no");
    return res;
}

void EventHub::publish(const std::string& event, const std::string& data) {
    std::string bytes = formatEvent(event, data);
    for (auto& c : liveClients()) {
        c->push(bytes);
        c->wake();
    }
}

void EventHub::publishRound(bool channelsDue, bool heartbeatDue) {
    auto open = liveClients();
    if (open.empty()) return;
    std::string bytes;
    std::string status = sources.status ? sources.status() : "";
    std::string statusEvent;
    if (sources.log) {
        uint64_t last = 0;
        auto lines = sources.log->since(lastLog, 200, last);
        uint64_t n = last - lines.size();
        for (const auto& line : lines) {
            Json::Value v;
            v["n"] = Json::UInt64(++n);
            v["line"] = line;
            bytes += formatEvent("log", SaveJsonToString(v, ""));
        }
        lastLog = last;
    }
    if (heartbeatDue) bytes += ": ping\n\n";
    for (auto& c : open) {
        std::string mine;
        if (sources.status && c->sentStatus != status) {
            if (statusEvent.empty()) statusEvent = formatEvent("status", status);
            c->sentStatus = status;
            mine = statusEvent;
        }
        mine += bytes;
        if (channelsDue && c->channelCount && sources.channels) {
            Json::Value v;
            v["start"] = c->channelStart;
            Json::Value& values = v["values"] = Json::Value(Json::arrayValue);
            for (uint8_t b : sources.channels(c->channelStart, c->channelCount)) values.append(b);
            mine += formatEvent("channels", SaveJsonToString(v, ""));
        }
        if (mine.empty()) continue;
        c->push(mine);
        c->wake();
    }
}

void EventHub::nudge() {
    {
        std::lock_guard<std::mutex> l(lock);
        nudged = true;
    }
    wakeup.notify_all();
}

void EventHub::ensureThread() {
    std::lock_guard<std::mutex> l(lock);
    if (publisher.joinable() || stopping) return;
    publisher = std::thread([this] { run(); });
}

void EventHub::run() {
    pthread_setname_np(pthread_self(), "lyrd-events");
    using clock = std::chrono::steady_clock;
    auto nextChannels = clock::now();
    auto nextBeat = clock::now() + std::chrono::seconds(10);
    std::unique_lock<std::mutex> l(lock);
    while (!stopping) {
        // Sleep long while no page is open; a new page wakes nothing but
        // its own first answer carries the current state anyway.
        bool idle = clients.empty();
        wakeup.wait_for(l, idle ? std::chrono::milliseconds(250) : std::chrono::milliseconds(25),
                        [this] { return stopping || nudged; });
        if (stopping) break;
        nudged = false;
        l.unlock();
        auto now = clock::now();
        bool channelsDue = now >= nextChannels;
        if (channelsDue) nextChannels = now + std::chrono::milliseconds(100);
        bool beatDue = now >= nextBeat;
        if (beatDue) nextBeat = now + std::chrono::seconds(10);
        publishRound(channelsDue, beatDue);
        l.lock();
    }
}
