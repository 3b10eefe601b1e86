// urlHelper against a real HTTP server on the loopback interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "common.h"
#include "foundation/TestUtil.h"
#include "platform/Version.h"

using testutil::LogCapture;

namespace {

struct Request {
    std::string method, url, body, accept, contentType, userAgent;
};

// A one-route server bound to 127.0.0.1 on a free port.  Paths:
//   /stall  answers only when released (or after 10 s)
//   /error  answers 500 with a body
//   other   answers 200 "reply"
class LoopbackServer {
public:
    LoopbackServer() {
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_port = 0;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        daemon_ = MHD_start_daemon(MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD, 0,
                                   nullptr, nullptr, &LoopbackServer::handle, this, MHD_OPTION_SOCK_ADDR,
                                   &addr, MHD_OPTION_END);
        if (daemon_) port_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
    }
    ~LoopbackServer() {
        release();
        if (daemon_) MHD_stop_daemon(daemon_);
    }
    bool ok() const { return daemon_ && port_; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    void release() {
        std::lock_guard<std::mutex> l(lock_);
        released_ = true;
        cv_.notify_all();
    }
    std::vector<Request> requests() {
        std::lock_guard<std::mutex> l(lock_);
        return requests_;
    }

private:
    static std::string header(struct MHD_Connection* c, const char* name) {
        const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
        return v ? v : "";
    }

    static MHD_Result handle(void* cls, struct MHD_Connection* c, const char* url, const char* method,
                             const char*, const char* upload, size_t* uploadSize, void** state) {
        auto* self = static_cast<LoopbackServer*>(cls);
        if (!*state) {
            *state = new std::string();
            return MHD_YES;
        }
        auto* body = static_cast<std::string*>(*state);
        if (*uploadSize) {
            body->append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        Request r{
            method, url, *body, header(c, "Accept"), header(c, "Content-Type"), header(c, "User-Agent")};
        delete body;
        *state = nullptr;
        {
            std::unique_lock<std::mutex> l(self->lock_);
            self->requests_.push_back(r);
            if (r.url == "/stall") {
                self->cv_.wait_for(l, std::chrono::seconds(10), [self] { return self->released_; });
            }
        }
        std::string text = r.url == "/error" ? "failed" : (r.url == "/stall" ? "late" : "reply");
        struct MHD_Response* resp = MHD_create_response_from_buffer(
            text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
        MHD_Result ret = MHD_queue_response(c, r.url == "/error" ? 500 : 200, resp);
        MHD_destroy_response(resp);
        return ret;
    }

    struct MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
    std::mutex lock_;
    std::condition_variable cv_;
    bool released_ = false;
    std::vector<Request> requests_;
};

class Url : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.ok()); }
    LoopbackServer server;
};

TEST_F(Url, GetSendsNoBodyAndNoJsonHeaders) {
    std::string resp = "stale";
    ASSERT_TRUE(urlGet(server.url("/a"), resp));
    EXPECT_EQ("reply", resp);
    auto reqs = server.requests();
    ASSERT_EQ(1u, reqs.size());
    EXPECT_EQ("GET", reqs[0].method);
    EXPECT_EQ("/a", reqs[0].url);
    EXPECT_EQ("", reqs[0].body);
    EXPECT_EQ(std::string::npos, reqs[0].accept.find("application/json"));
    EXPECT_EQ("", reqs[0].contentType);
    EXPECT_EQ("LYR/" + getLyrVersionTriplet(), reqs[0].userAgent);
}

TEST_F(Url, JsonHeadersOnlyForBracedBodies) {
    std::string resp;
    ASSERT_TRUE(urlPost(server.url("/json"), "{\"a\":1}", resp));
    ASSERT_TRUE(urlPost(server.url("/form"), "a=1", resp));
    ASSERT_TRUE(urlPost(server.url("/half"), "{\"a\":1", resp));
    auto reqs = server.requests();
    ASSERT_EQ(3u, reqs.size());
    EXPECT_EQ("POST", reqs[0].method);
    EXPECT_EQ("{\"a\":1}", reqs[0].body);
    EXPECT_EQ("application/json", reqs[0].accept);
    EXPECT_EQ("application/json", reqs[0].contentType);
    for (int i : {1, 2}) {
        EXPECT_EQ("POST", reqs[i].method);
        EXPECT_NE("application/json", reqs[i].accept) << reqs[i].url;
        EXPECT_NE("application/json", reqs[i].contentType) << reqs[i].url;
    }
    EXPECT_EQ("a=1", reqs[1].body);
}

TEST_F(Url, PutAndDeleteUseTheirMethods) {
    std::string resp;
    ASSERT_TRUE(urlPut(server.url("/put"), "{\"v\":2}", resp));
    ASSERT_TRUE(urlDelete(server.url("/del"), resp));
    ASSERT_TRUE(urlDelete(server.url("/del2"), "x=1", resp));
    ASSERT_TRUE(urlHelper("POST", server.url("/empty"), "", resp, 5));
    auto reqs = server.requests();
    ASSERT_EQ(4u, reqs.size());
    EXPECT_EQ("PUT", reqs[0].method);
    EXPECT_EQ("{\"v\":2}", reqs[0].body);
    EXPECT_EQ("application/json", reqs[0].contentType);
    EXPECT_EQ("DELETE", reqs[1].method);
    EXPECT_EQ("", reqs[1].body);
    EXPECT_EQ("DELETE", reqs[2].method);
    EXPECT_EQ("POST", reqs[3].method);
    EXPECT_EQ("", reqs[3].body);
}

TEST_F(Url, HttpErrorStatusStillCountsAsAnAnswer) {
    std::string resp;
    EXPECT_TRUE(urlGet(server.url("/error"), resp));
    EXPECT_EQ("failed", resp);
}

TEST_F(Url, TimeoutIsHonoured) {
    LogCapture log;
    std::string resp;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(urlHelper("GET", server.url("/stall"), "", resp, 1));
    auto waited = std::chrono::steady_clock::now() - start;
    // The server holds the answer for 10 s; returning at all before that
    // means the timeout cut the request off.
    EXPECT_LT(waited, std::chrono::seconds(9));
    EXPECT_EQ(std::string::npos, resp.find("late"));
    EXPECT_TRUE(log.containsAt(LOG_ERR, "curl_easy_perform() failed: "));
    server.release();
}

TEST(UrlFailures, RefusedAndMalformedUrlsFailWithALogLine) {
    LogCapture log;
    std::string resp = "old";
    // Port 9 on loopback: nothing listens there in the test environment.
    EXPECT_FALSE(urlGet("http://127.0.0.1:9/", resp));
    EXPECT_EQ("", resp);
    EXPECT_FALSE(urlGet("notascheme://x", resp));
    EXPECT_TRUE(log.containsAt(LOG_ERR, "curl_easy_perform() failed: "));
}

}  // namespace
