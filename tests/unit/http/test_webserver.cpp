// The server layer on loopback with an ephemeral port, and its routing
// without the network.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http/httpserver.h"

using namespace httpserver;

namespace {

// Answers with the resource's name, the path and everything it was given.
class Echo : public http_resource {
public:
    explicit Echo(std::string name) : name(std::move(name)) {}
    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        std::string out = name + " " + req.get_path() + " q=" + req.get_querystring();
        for (const auto& a : req.get_args()) out += " [" + a.first + "=" + a.second + "]";
        for (const auto& p : req.get_decoded_raw_pieces()) out += " <" + p + ">";
        return std::make_shared<string_response>(out, 200, "text/plain");
    }
    std::shared_ptr<http_response> render_POST(const http_request& req) override {
        return std::make_shared<string_response>(std::to_string(req.get_content().size()), 201, "text/plain");
    }
    std::string name;
};

class Throws : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        if (req.get_path() == "/t/num") (void)std::stoi("abc");
        if (req.get_path() == "/t/range") (void)std::stoi("99999999999999999");
        if (req.get_path() == "/t/null") return nullptr;
        throw std::runtime_error("boom");
    }
};

std::string body(const std::shared_ptr<http_response>& r) {
    return r ? r->get_content() : "<null>";
}

int connectTo(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void sendAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

// Reads until the peer closes (requests carry "Connection: close").
std::string readAll(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

std::string roundTrip(uint16_t port, const std::string& request) {
    int fd = connectTo(port);
    if (fd < 0) return "<no connection>";
    sendAll(fd, request);
    std::string out = readAll(fd);
    close(fd);
    return out;
}

std::string get(uint16_t port, const std::string& target) {
    return roundTrip(port, "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
}

std::string bodyOf(const std::string& response) {
    size_t at = response.find("\r\n\r\n");
    return at == std::string::npos ? "" : response.substr(at + 4);
}

}  // namespace

TEST(UrlDecode, DecodesValidEscapesAndKeepsOddOnes) {
    EXPECT_EQ(url_decode("a%20b%2Fc"), "a b/c");
    EXPECT_EQ(url_decode("100%"), "100%");
    EXPECT_EQ(url_decode("%4"), "%4");
    EXPECT_EQ(url_decode("%zz%4g"), "%zz%4g");
    EXPECT_EQ(url_decode("a+b"), "a+b");
    EXPECT_EQ(url_decode("a+b", true), "a b");
    EXPECT_EQ(url_decode("%e2%82%ac"), "\xe2\x82\xac");
}

TEST(Routing, LongestRegisteredPrefixWinsByWholeComponents) {
    webserver ws(create_webserver(0));
    Echo lyrd("lyrd"), testing("testing"), command("command"), commands("commands"), exact("exact");
    ws.register_resource("/lyrd/testing", &testing, true);
    ws.register_resource("/lyrd", &lyrd, true);
    ws.register_resource("/command", &command, true);
    ws.register_resource("/commands", &commands, true);
    ws.register_resource("/exact", &exact, false);

    auto route = [&](const std::string& path) { return body(ws.answer(http_request("GET", path))); };
    EXPECT_EQ(route("/lyrd").substr(0, 5), "lyrd ");
    EXPECT_EQ(route("/lyrd/status").substr(0, 5), "lyrd ");
    EXPECT_EQ(route("/lyrd/").substr(0, 5), "lyrd ");
    EXPECT_EQ(route("/lyrd/testing/x/y").substr(0, 8), "testing ");
    EXPECT_EQ(route("/lyrd/testingX").substr(0, 5), "lyrd ");
    EXPECT_EQ(route("/commands").substr(0, 9), "commands ");
    EXPECT_EQ(route("/command/Volume Set/5").substr(0, 8), "command ");
    EXPECT_EQ(route("/commandsX"), "Not Found");
    EXPECT_EQ(route("/lyr"), "Not Found");
    EXPECT_EQ(route("/exact").substr(0, 6), "exact ");
    EXPECT_EQ(route("/exact/below"), "Not Found");
    EXPECT_EQ(route("/"), "Not Found");
    EXPECT_EQ(ws.answer(http_request("GET", "/nothing"))->get_response_code(), 404);

    ws.unregister_resource("/lyrd/testing");
    EXPECT_EQ(route("/lyrd/testing/x").substr(0, 5), "lyrd ");
}

TEST(Routing, ResourceFailuresBecomeAnswers) {
    webserver ws(create_webserver(0));
    Throws t;
    ws.register_resource("/t", &t, true);
    EXPECT_EQ(ws.answer(http_request("GET", "/t/num"))->get_response_code(), 400);
    EXPECT_EQ(ws.answer(http_request("GET", "/t/range"))->get_response_code(), 400);
    EXPECT_EQ(ws.answer(http_request("GET", "/t/other"))->get_response_code(), 500);
    EXPECT_EQ(ws.answer(http_request("GET", "/t/null"))->get_response_code(), 500);
    EXPECT_EQ(ws.answer(http_request("GET", std::string("/t/a\0b", 6)))->get_response_code(), 400);
    // Methods the resource does not override keep the default answer.
    EXPECT_EQ(ws.answer(http_request("PUT", "/t/x"))->get_response_code(), 405);
}

class LiveServer : public ::testing::Test {
protected:
    void SetUp() override {
        ws.reset(new webserver(create_webserver(0).bind_address("127.0.0.1").content_size_limit(1 << 20)));
        ws->register_resource("/echo", &echo, true);
        ws->register_resource("/t", &thrower, true);
        ASSERT_TRUE(ws->start(false));
        port = ws->get_bound_port();
        ASSERT_NE(port, 0);
    }
    void TearDown() override { ws->stop(); }

    Echo echo{"echo"};
    Throws thrower;
    std::unique_ptr<webserver> ws;
    uint16_t port = 0;
};

TEST_F(LiveServer, QueryAndPathAreDecodedOnce) {
    std::string r = get(port, "/echo/a%2Fb/c%20d?x=1+2&y=%41%zz&flag");
    EXPECT_NE(r.find("HTTP/1.1 200"), std::string::npos) << r;
    std::string b = bodyOf(r);
    EXPECT_NE(b.find("echo /echo/a/b/c d"), std::string::npos) << b;
    EXPECT_NE(b.find("[x=1 2]"), std::string::npos) << b;
    EXPECT_NE(b.find("[y=A%zz]"), std::string::npos) << b;
    EXPECT_NE(b.find("[flag=]"), std::string::npos) << b;
    // Pieces decoded one by one keep an encoded slash inside its piece.
    EXPECT_NE(b.find("<a/b> <c d>"), std::string::npos) << b;
    EXPECT_NE(b.find("q=?x=1 2&y=%41%zz&flag"), std::string::npos) << b;
}

TEST_F(LiveServer, BodiesArriveWholeUpToTheCap) {
    std::string payload(1 << 20, 'x');
    std::string r =
        roundTrip(port, "POST /echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                            std::to_string(payload.size()) + "\r\n\r\n" + payload);
    EXPECT_NE(r.find("HTTP/1.1 201"), std::string::npos) << r.substr(0, 200);
    EXPECT_EQ(bodyOf(r), std::to_string(payload.size()));
}

TEST_F(LiveServer, DeclaredOversizedBodyIsRefusedWith413) {
    std::string r =
        roundTrip(port, "POST /echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                            std::to_string((1 << 20) + 1) + "\r\n\r\nabc");
    EXPECT_NE(r.find("HTTP/1.1 413"), std::string::npos) << r;
    EXPECT_NE(get(port, "/echo/ok").find("200"), std::string::npos);
}

TEST_F(LiveServer, ChunkedBodyGrowingPastTheCapIsDropped) {
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    sendAll(fd, "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n");
    std::string chunk(64 * 1024, 'y');
    char head[32];
    snprintf(head, sizeof(head), "%zx\r\n", chunk.size());
    for (int i = 0; i < 20; ++i) sendAll(fd, head + chunk + "\r\n");
    std::string r = readAll(fd);
    close(fd);
    EXPECT_EQ(r.find("HTTP/1.1 201"), std::string::npos) << r;
    EXPECT_NE(get(port, "/echo/ok").find("200"), std::string::npos);
}

TEST_F(LiveServer, ConversionErrorsAnswer400AndWorkersSurvive) {
    for (int i = 0; i < 20; ++i) EXPECT_NE(get(port, "/t/num").find("HTTP/1.1 400"), std::string::npos);
    EXPECT_NE(get(port, "/t/other").find("HTTP/1.1 500"), std::string::npos);
    EXPECT_NE(get(port, "/echo/still").find("200"), std::string::npos);
}

TEST_F(LiveServer, StalledHalfRequestsDoNotBlockOthersOrStop) {
    std::vector<int> stalled;
    for (int i = 0; i < 20; ++i) {
        int fd = connectTo(port);
        ASSERT_GE(fd, 0);
        sendAll(fd, i % 2 ? "GET /echo/x HTTP/1.1\r\nHo"
                          : "POST /echo HTTP/1.1\r\nContent-Length: 100\r\n\r\nab");
        stalled.push_back(fd);
    }
    EXPECT_NE(get(port, "/echo/other").find("200"), std::string::npos);
    auto t0 = std::chrono::steady_clock::now();
    ws->stop();
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(took).count(), 5);
    for (int fd : stalled) close(fd);
}

TEST_F(LiveServer, HeadAnswersLikeGetWithoutBody) {
    std::string r = roundTrip(port, "HEAD /echo/x HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_NE(r.find("HTTP/1.1 200"), std::string::npos) << r;
    EXPECT_EQ(bodyOf(r), "");
}

TEST(Server, SecondServerOnTheSamePortFailsToStart) {
    webserver a(create_webserver(0).bind_address("127.0.0.1"));
    ASSERT_TRUE(a.start());
    webserver b(create_webserver(a.get_bound_port()).bind_address("127.0.0.1"));
    // A second daemon must not silently share the port (no SO_REUSEPORT).
    EXPECT_FALSE(b.start());
    EXPECT_FALSE(b.is_running());
    a.stop();
    a.stop();  // twice is harmless
    EXPECT_FALSE(a.is_running());
}
