// The web page's live event stream at "/ui/events" (Server-Sent Events).
//
// Every open page is one parked connection with its own queue of bytes; no
// thread waits on it.  One publisher thread, running only while pages are
// open, sends:
//   event "status"   the status document whenever it changed (checked
//                    every 25 ms, so a change reaches the page within that)
//   event "log"      each new log line as {"n": number, "line": text}
//   event "channels" {"start": s, "values": [..]} ten times a second, for a
//                    page that asked with "?channels=START-END" (at most
//                    kMaxChannelsPerClient channels)
// plus a comment line every 10 s, which also finds pages that went away.
// A page that does not read (over 1 MiB queued) is dropped; at most
// maxClients pages at once, the next one is answered 503.
//
// Threading: render_GET on HTTP workers; the publisher on its own thread;
// publish() from any thread (never while holding a lock the sources take).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/httpserver.h"

class LogTail;

class EventHub : public httpserver::http_resource {
public:
    static constexpr uint32_t kMaxChannelsPerClient = 4096;
    static constexpr size_t kMaxQueuedBytes = 1 << 20;

    struct Sources {
        std::function<std::string()> status;  // the status document as JSON text
        LogTail* log = nullptr;
        std::function<std::vector<uint8_t>(uint32_t start, uint32_t count)> channels;
    };

    EventHub(size_t maxClients, Sources sources);
    ~EventHub() override;

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;

    // Something may have changed: the publisher looks now rather than at
    // its next poll.  Only signals; safe from any thread.
    void nudge();
    // Queues one event for every open page.
    void publish(const std::string& event, const std::string& data);
    size_t clientCount();
    // One round of the publisher's work (tests drive it without the thread).
    void publishRound(bool channelsDue, bool heartbeatDue);
    // Parses "START-END" (1-based, inclusive); false when malformed.
    static bool parseChannelRange(const std::string& text, uint32_t& start, uint32_t& count);
    // "event: E\ndata: D\n\n", one data line per line of D.
    static std::string formatEvent(const std::string& event, const std::string& data);

    class Client;

private:
    void run();
    void ensureThread();
    std::vector<std::shared_ptr<Client>> liveClients();

    const size_t maxClients;
    Sources sources;
    std::mutex lock;
    std::vector<std::weak_ptr<Client>> clients;
    uint64_t lastLog = 0;
    std::thread publisher;
    std::condition_variable wakeup;
    bool stopping = false;
    bool nudged = false;
};
