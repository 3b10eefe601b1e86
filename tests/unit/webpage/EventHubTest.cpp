// The event stream over a real server: the first answer carries the state,
// changes arrive without polling by the client, the number of pages is
// bounded, and stopping the server ends parked streams instead of hanging.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "WebTestUtil.h"
#include "http/ChangeHook.h"
#include "webpage/EventHub.h"
#include "webpage/LogTail.h"

using namespace httpserver;
using namespace webtest;

namespace {

struct Fixture {
    std::mutex m;
    std::string status = "{\"status\":0}";
    LogTail tail{50};
    std::unique_ptr<EventHub> hub;
    webserver ws{create_webserver(0).max_threads(2)};

    explicit Fixture(size_t max) {
        EventHub::Sources s;
        s.status = [this] {
            std::lock_guard<std::mutex> l(m);
            return status;
        };
        s.log = &tail;
        s.channels = [](uint32_t start, uint32_t count) {
            std::vector<uint8_t> v(count);
            for (uint32_t i = 0; i < count; ++i) v[i] = static_cast<uint8_t>(start + i);
            return v;
        };
        hub.reset(new EventHub(max, s));
        ws.register_resource("/ui/events", hub.get());
        ws.start();
    }
    ~Fixture() { ws.stop(); }
    void setStatus(const std::string& s) {
        std::lock_guard<std::mutex> l(m);
        status = s;
    }
    int open(const std::string& query = "") {
        int fd = connectTo(ws.get_bound_port());
        sendAll(fd, "GET /ui/events" + query + " HTTP/1.1\r\nHost: x\r\n\r\n");
        return fd;
    }
};

}  // namespace

TEST(EventHubFormat, EventsAndRanges) {
    EXPECT_EQ(EventHub::formatEvent("log", "a\nb"), "event: log\ndata: a\ndata: b\n\n");
    EXPECT_EQ(EventHub::formatEvent("status", "{}"), "event: status\ndata: {}\n\n");
    uint32_t s = 0, c = 0;
    EXPECT_TRUE(EventHub::parseChannelRange("1-512", s, c));
    EXPECT_EQ(s, 1u);
    EXPECT_EQ(c, 512u);
    EXPECT_TRUE(EventHub::parseChannelRange("10-100000", s, c));
    EXPECT_EQ(c, EventHub::kMaxChannelsPerClient);  // capped
    for (const char* bad : {"", "5", "0-3", "9-2", "-4", "a-b", "1-", "1-2-3", "99999999999-1"})
        EXPECT_FALSE(EventHub::parseChannelRange(bad, s, c)) << bad;
}

TEST(EventHubStream, FirstAnswerCarriesStateAndLaterChangesArrive) {
    Fixture f(4);
    f.tail.append("old line\n");
    int fd = f.open("?channels=3-5");
    std::string got = readUntil(fd, "old line");
    EXPECT_NE(got.find("Content-Type: text/event-stream"), std::string::npos) << got;
    EXPECT_NE(got.find("event: status\ndata: {\"status\":0}"), std::string::npos) << got;
    EXPECT_NE(got.find("\"line\":\"old line\""), std::string::npos) << got;

    f.setStatus("{\"status\":1}");
    got = readUntil(fd, "{\"status\":1}");
    EXPECT_NE(got.find("event: status\ndata: {\"status\":1}"), std::string::npos) << got;

    f.tail.append("new line");
    got = readUntil(fd, "new line");
    EXPECT_NE(got.find("\"line\":\"new line\""), std::string::npos) << got;

    got = readUntil(fd, "event: channels");
    got += readUntil(fd, "]}");
    EXPECT_NE(got.find("{\"start\":3,\"values\":[3,4,5]}"), std::string::npos) << got;
    close(fd);
}

TEST(EventHubStream, UnchangedStatusIsNotSentAgain) {
    Fixture f(4);
    int fd = f.open();
    readUntil(fd, "{\"status\":0}");
    std::string more = readUntil(fd, "event: status", 400);
    EXPECT_EQ(more.find("event: status"), std::string::npos) << more;
    close(fd);
}

TEST(EventHubStream, PagesAreBoundedAndFreedWhenTheyLeave) {
    Fixture f(2);
    int a = f.open(), b = f.open();
    readUntil(a, "retry:");
    readUntil(b, "retry:");
    EXPECT_EQ(f.hub->clientCount(), 2u);
    std::string third = get(f.ws.get_bound_port(), "/ui/events");
    EXPECT_EQ(statusOf(third), 503) << third;
    EXPECT_NE(third.find("Too many open pages"), std::string::npos);
    close(a);
    // A parked page that left is found by the next bytes sent to it.
    EXPECT_TRUE(waitFor([&] {
        f.hub->publish("x", "y");
        return f.hub->clientCount() == 1;
    }));
    int c = f.open();
    EXPECT_NE(readUntil(c, "retry:").find("200 OK"), std::string::npos);
    close(b);
    close(c);
}

TEST(EventHubStream, BadChannelRangeIsRefused) {
    Fixture f(2);
    std::string r = get(f.ws.get_bound_port(), "/ui/events?channels=9-1");
    EXPECT_EQ(statusOf(r), 400);
    EXPECT_EQ(f.hub->clientCount(), 0u);
}

TEST(EventHubStream, StoppingTheServerEndsParkedStreams) {
    auto f = std::make_unique<Fixture>(8);
    std::vector<int> fds;
    for (int i = 0; i < 5; ++i) fds.push_back(f->open());
    for (int fd : fds) readUntil(fd, "retry:");
    auto t0 = std::chrono::steady_clock::now();
    f->ws.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    for (int fd : fds) {
        readUntil(fd, "never", 2000);  // ends at the close
        close(fd);
    }
}

TEST(LogTailTest, NumbersLinesAndKeepsTheNewest) {
    LogTail t(3);
    for (int i = 1; i <= 5; ++i) t.append("line " + std::to_string(i) + "\n");
    uint64_t last = 0;
    auto all = t.since(0, 100, last);
    EXPECT_EQ(last, 5u);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], "line 3");
    EXPECT_EQ(t.since(4, 100, last), std::vector<std::string>{"line 5"});
    EXPECT_TRUE(t.since(5, 100, last).empty());
    EXPECT_EQ(t.since(0, 1, last), std::vector<std::string>{"line 5"});
}

namespace {
std::atomic<int> changes{0};
void countChange() {
    changes++;
}
class Accepts : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request&) override {
        return std::make_shared<string_response>("g");
    }
    std::shared_ptr<http_response> render_POST(const http_request&) override {
        return std::make_shared<string_response>("p");
    }
};
}  // namespace

TEST(ChangeHookTest, WritesAreReportedReadsAreNot) {
    Accepts r;
    webserver ws(create_webserver(0).max_threads(1));
    ws.register_resource("/x", &r);
    ws.start();
    set_change_hook(countChange);
    changes = 0;
    EXPECT_EQ(bodyOf(get(ws.get_bound_port(), "/x")), "g");
    EXPECT_EQ(changes.load(), 0);
    roundTrip(ws.get_bound_port(),
              "POST /x HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}");
    EXPECT_EQ(changes.load(), 1);
    set_change_hook(nullptr);
    ws.stop();
}
