// Access control: which requests need the token, how it is compared and
// carried, the per-address cooldown on a clock seam, the login endpoints and
// the guard inside the server's request path.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <string>

#include "common.h"
#include "http/AccessControl.h"
#include "http/ListenSocket.h"
#include "http/httpserver.h"

using httpserver::http_request;
using Need = AccessControl::Need;
using namespace std::chrono;

namespace {

struct Fixture {
    std::string token = "s3cret-T0ken";
    steady_clock::time_point now = steady_clock::time_point() + hours(1);
    AccessControl ac{[this] { return token; }, [this] { return now; }};
};

http_request request(const std::string& method, const std::string& path,
                     const std::map<std::string, std::string>& headers = {},
                     const std::string& from = "10.0.0.5", const std::string& body = "") {
    http_request r(method, path, body, {}, headers);
    r.requestor = from;
    return r;
}

std::map<std::string, std::string> bearer(const std::string& t) {
    return {{"authorization", "Bearer " + t}};
}

Json::Value bodyJson(const std::shared_ptr<httpserver::http_response>& r) {
    Json::Value v;
    LoadJsonFromString(r->get_content(), v);
    return v;
}

}  // namespace

TEST(AccessControlClassify, DecisionTable) {
    struct Row {
        const char* method;
        const char* path;
        std::map<std::string, std::string> args;
        Need need;
    };
    const Row rows[] = {
        // Reads stay open: status, the sync system list other boards and
        // pages fetch, versions, playlists, the page itself.
        {"GET", "/lyrd/status", {}, Need::Open},
        {"GET", "/lyrd/lockstepSystems", {{"localOnly", "1"}}, Need::Open},
        {"GET", "/lyrd/lockstepStats", {}, Need::Open},
        {"GET", "/lyrd/version", {}, Need::Open},
        {"GET", "/lyrd/volume", {}, Need::Open},
        {"GET", "/lyrd/volume", {{"simple", "true"}}, Need::Open},
        {"GET", "/player/status", {}, Need::Open},
        {"GET", "/commands", {}, Need::Open},
        {"GET", "/commandPresets", {}, Need::Open},
        {"GET", "/overlays/models", {}, Need::Open},
        {"GET", "/overlays/model/Tree/data", {}, Need::Open},
        {"GET", "/ui/", {}, Need::Open},
        {"GET", "/ui/api/auth", {}, Need::Open},
        {"HEAD", "/lyrd/status", {}, Need::Open},
        {"OPTIONS", "/lyrd/status", {}, Need::Open},
        // GETs that act.
        {"GET", "/command/Stop Now", {}, Need::Token},
        {"GET", "/command", {}, Need::Token},
        {"GET", "//command/Stop Now", {}, Need::Token},
        {"HEAD", "/command/Stop Now", {}, Need::Token},
        {"GET", "/lyrd/volume", {{"set", "20"}}, Need::Token},
        {"GET", "/lyrd/lockstepStats", {{"reset", "1"}}, Need::Token},
        {"GET", "/lyrd/debug/mainLoop", {{"reset", "1"}}, Need::Token},
        {"GET", "/lyrd/debug/mainLoop", {}, Need::Open},
        {"GET", "/overlays/model/Tree/clear", {}, Need::Token},
        // The page's settings: the token itself and the broker password.
        {"GET", "/ui/api/settings", {}, Need::Token},
        {"GET", "/ui/api/files", {}, Need::Open},
        {"GET", "/ui/api/log", {{"after", "0"}}, Need::Open},
        {"GET", "/api/overlays/model/Tree/clear", {}, Need::Token},
        // Every other method changes something, known path or not...
        {"POST", "/command", {}, Need::Token},
        {"POST", "/lyrd/shutdown", {}, Need::Token},
        {"POST", "/lyrd/testing", {}, Need::Token},
        {"POST", "/models", {}, Need::Token},
        {"PUT", "/overlays/model/Tree/fill", {}, Need::Token},
        {"DELETE", "/lyrd/e131stats", {}, Need::Token},
        {"POST", "/ui/api/upload/sequences", {}, Need::Token},
        {"PUT", "/ui/api/settings/HostName", {}, Need::Token},
        {"PATCH", "/lyrd/status", {}, Need::Token},
        {"BREW", "/", {}, Need::Token},
        // ...except the login, which judges the token it is given, and the
        // logout, which only clears the caller's cookie.
        {"POST", "/ui/api/login", {}, Need::Open},
        {"POST", "/ui/api/logout", {}, Need::Open},
        {"PUT", "/ui/api/login", {}, Need::Token},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(AccessControl::Classify(r.method, r.path, r.args), r.need) << r.method << " " << r.path;
    }
}

TEST(AccessControlCompare, EqualOnlyWhenEveryByteAndTheLengthMatch) {
    EXPECT_TRUE(AccessControl::ConstantTimeEquals("abc", "abc"));
    EXPECT_TRUE(AccessControl::ConstantTimeEquals("", ""));
    EXPECT_FALSE(AccessControl::ConstantTimeEquals("abc", "abd"));
    EXPECT_FALSE(AccessControl::ConstantTimeEquals("abc", "Abc"));
    EXPECT_FALSE(AccessControl::ConstantTimeEquals("abc", "abcd"));
    EXPECT_FALSE(AccessControl::ConstantTimeEquals("abcd", "abc"));
    EXPECT_FALSE(AccessControl::ConstantTimeEquals("", "a"));
    // A NUL inside is a byte like any other (no C-string shortcut).
    EXPECT_FALSE(AccessControl::ConstantTimeEquals(std::string("ab\0c", 4), std::string("ab\0d", 4)));
    EXPECT_FALSE(AccessControl::ConstantTimeEquals(std::string("ab\0", 3), "ab"));
}

TEST(AccessControlCredential, BearerWinsOverCookieAndCookiesAreParsed) {
    EXPECT_EQ(AccessControl::Credential(request("POST", "/x", bearer("tok"))), "tok");
    EXPECT_EQ(AccessControl::Credential(request("POST", "/x", {{"authorization", "bearer  tok "}})), "tok");
    EXPECT_EQ(AccessControl::Credential(request("POST", "/x", {{"authorization", "Basic dG9rOg=="}})), "");
    EXPECT_EQ(AccessControl::Credential(request("POST", "/x", {{"authorization", "Bearer"}})), "");
    EXPECT_EQ(AccessControl::Credential(
                  request("POST", "/x", {{"authorization", "Bearer a"}, {"cookie", "lyrdToken=b"}})),
              "a");
    EXPECT_EQ(
        AccessControl::Credential(request("POST", "/x", {{"cookie", "theme=dark; lyrdToken=a%3Bb; x=1"}})),
        "a;b");
    EXPECT_EQ(AccessControl::Credential(request("POST", "/x", {{"cookie", "xlyrdToken=a; lyrdTokens=b"}})),
              "");
    EXPECT_EQ(AccessControl::Credential(request("POST", "/x", {{"cookie", "lyrdToken=\"q\""}})), "q");
    EXPECT_EQ(AccessControl::Credential(request("POST", "/x")), "");
}

TEST(AccessControlCheck, WithoutATokenEverythingPasses) {
    Fixture f;
    f.token = "";
    EXPECT_EQ(f.ac.Check(request("POST", "/lyrd/shutdown")), nullptr);
    EXPECT_EQ(f.ac.Check(request("GET", "/command/Stop Now", bearer("anything"))), nullptr);
}

TEST(AccessControlCheck, WritesNeedTheTokenReadsDoNot) {
    Fixture f;
    EXPECT_EQ(f.ac.Check(request("GET", "/lyrd/status")), nullptr);
    // A read with a wrong token is not looked at either.
    EXPECT_EQ(f.ac.Check(request("GET", "/lyrd/status", bearer("nope"))), nullptr);

    auto missing = f.ac.Check(request("POST", "/lyrd/shutdown"));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->get_response_code(), 401);
    EXPECT_EQ(missing->get_headers().at("WWW-Authenticate"), "Bearer realm=\"lyrd\"");
    EXPECT_EQ(bodyJson(missing)["Status"].asString(), "ERROR");

    EXPECT_EQ(f.ac.Check(request("POST", "/lyrd/shutdown", bearer(f.token))), nullptr);
    EXPECT_EQ(f.ac.Check(request("DELETE", "/lyrd/e131stats", {{"cookie", "lyrdToken=" + f.token}})),
              nullptr);
    EXPECT_EQ(f.ac.Check(request("GET", "/command/Stop Now", bearer(f.token))), nullptr);
    // A missing token starts no cooldown: the next try with it passes.
    EXPECT_EQ(f.ac.Check(request("POST", "/lyrd/shutdown", bearer(f.token))), nullptr);
}

TEST(AccessControlCheck, AWrongTokenCoolsThatAddressDownForThreeSeconds) {
    Fixture f;
    auto wrong = f.ac.Check(request("POST", "/command", bearer("guess1")));
    ASSERT_NE(wrong, nullptr);
    EXPECT_EQ(wrong->get_response_code(), 401);

    // Within the cooldown even the right token is not looked at.
    f.now += milliseconds(1200);
    auto cooling = f.ac.Check(request("POST", "/command", bearer(f.token)));
    ASSERT_NE(cooling, nullptr);
    EXPECT_EQ(cooling->get_response_code(), 429);
    EXPECT_EQ(cooling->get_headers().at("Retry-After"), "2");
    // Reads of that address stay open; other addresses are not held up.
    EXPECT_EQ(f.ac.Check(request("GET", "/lyrd/status")), nullptr);
    EXPECT_EQ(f.ac.Check(request("POST", "/command", bearer(f.token), "10.0.0.6")), nullptr);
    // A try during the cooldown does not extend it.
    f.now += milliseconds(1799);
    EXPECT_EQ(f.ac.Check(request("POST", "/command", bearer(f.token)))->get_response_code(), 429);
    f.now += milliseconds(1);
    EXPECT_EQ(f.ac.Check(request("POST", "/command", bearer(f.token))), nullptr);
    // Another wrong try starts a new one.
    EXPECT_EQ(f.ac.Check(request("POST", "/command", bearer("guess2")))->get_response_code(), 401);
    EXPECT_EQ(f.ac.Check(request("POST", "/command", bearer(f.token)))->get_response_code(), 429);
}

TEST(AccessControlCheck, TheCooldownTableStaysBounded) {
    Fixture f;
    for (size_t i = 0; i < AccessControl::MAX_CLIENTS + 50; ++i) {
        f.ac.Check(request("POST", "/command", bearer("x"), "c" + std::to_string(i)));
        f.now += microseconds(1);
    }
    // The newest addresses still cool down; the oldest were let go.
    std::string newest = "c" + std::to_string(AccessControl::MAX_CLIENTS + 49);
    EXPECT_EQ(f.ac.Check(request("POST", "/command", bearer(f.token), newest))->get_response_code(), 429);
    EXPECT_EQ(f.ac.Check(request("POST", "/command", bearer(f.token), "c0")), nullptr);
}

TEST(AccessControlLogin, RightTokenSetsTheCookieWrongOneCoolsDown) {
    Fixture f;
    f.token = "a b;c";
    auto ok = f.ac.render_POST(request("POST", "/ui/api/login", {}, "10.0.0.5", "{\"token\": \"a b;c\"}"));
    EXPECT_EQ(ok->get_response_code(), 200);
    const std::string cookie = ok->get_headers().at("Set-Cookie");
    EXPECT_EQ(cookie, "lyrdToken=a%20b%3Bc; HttpOnly; SameSite=Strict; Path=/");
    // The cookie the browser sends back opens writes.
    std::string sent = cookie.substr(0, cookie.find("; HttpOnly"));
    EXPECT_EQ(f.ac.Check(request("POST", "/lyrd/shutdown", {{"cookie", sent}})), nullptr);

    auto bad = f.ac.render_POST(request("POST", "/ui/api/login", {}, "10.0.0.5", "{\"token\": \"nope\"}"));
    EXPECT_EQ(bad->get_response_code(), 401);
    EXPECT_EQ(bad->get_headers().count("Set-Cookie"), 0u);
    auto again = f.ac.render_POST(request("POST", "/ui/api/login", {}, "10.0.0.5", "{\"token\": \"a b;c\"}"));
    EXPECT_EQ(again->get_response_code(), 429);

    EXPECT_EQ(f.ac.render_POST(request("POST", "/ui/api/login", {}, "10.0.0.7", "[1]"))->get_response_code(),
              400);
    EXPECT_EQ(f.ac.render_POST(request("POST", "/ui/api/login", {}, "10.0.0.7", "{\"token\": 5}"))
                  ->get_response_code(),
              400);
    auto out = f.ac.render_POST(request("POST", "/ui/api/logout"));
    EXPECT_EQ(out->get_response_code(), 200);
    EXPECT_NE(out->get_headers().at("Set-Cookie").find("Max-Age=0"), std::string::npos);
}

TEST(AccessControlLogin, AuthReportsWhetherATokenIsNeededAndHeld) {
    Fixture f;
    Json::Value v = bodyJson(f.ac.render_GET(request("GET", "/ui/api/auth")));
    EXPECT_TRUE(v["required"].asBool());
    EXPECT_FALSE(v["authorized"].asBool());
    v = bodyJson(f.ac.render_GET(request("GET", "/ui/api/auth", {{"cookie", "lyrdToken=" + f.token}})));
    EXPECT_TRUE(v["authorized"].asBool());
    // Guessing through it costs the same cooldown as anywhere else.
    v = bodyJson(f.ac.render_GET(request("GET", "/ui/api/auth", bearer("guess"))));
    EXPECT_FALSE(v["authorized"].asBool());
    v = bodyJson(f.ac.render_GET(request("GET", "/ui/api/auth", bearer(f.token))));
    EXPECT_FALSE(v["authorized"].asBool());

    f.token = "";
    v = bodyJson(f.ac.render_GET(request("GET", "/ui/api/auth")));
    EXPECT_FALSE(v["required"].asBool());
    EXPECT_TRUE(v["authorized"].asBool());
    EXPECT_EQ(
        f.ac.render_POST(request("POST", "/ui/api/login", {}, "x", "{\"token\": \"\"}"))->get_response_code(),
        200);
}

namespace {
class Echo : public httpserver::http_resource {
public:
    int calls = 0;
    std::shared_ptr<httpserver::http_response> render(const http_request&) override {
        ++calls;
        return std::make_shared<httpserver::string_response>("ran", 200);
    }
};
}  // namespace

TEST(AccessControlGuard, RefusedRequestsNeverReachTheResource) {
    Fixture f;
    Echo echo;
    httpserver::webserver ws(httpserver::create_webserver(0));
    ws.register_resource("/command", &echo, true);
    ws.register_resource(AccessControl::LOGIN_PATH, &f.ac);
    ws.set_guard([&f](const http_request& r) { return f.ac.Check(r); });

    EXPECT_EQ(ws.answer(request("GET", "/command/Stop Now"))->get_response_code(), 401);
    EXPECT_EQ(ws.answer(request("POST", "/command"))->get_response_code(), 401);
    EXPECT_EQ(echo.calls, 0);
    EXPECT_EQ(ws.answer(request("POST", "/command", bearer(f.token)))->get_content(), "ran");
    EXPECT_EQ(echo.calls, 1);
    // The login itself is reachable without a token.
    EXPECT_EQ(ws.answer(request("POST", "/ui/api/login", {}, "x", "{\"token\": \"s3cret-T0ken\"}"))
                  ->get_response_code(),
              200);
}

TEST(ListenSocketTest, NamesAddressesAndInterfaces) {
    EXPECT_EQ(ListenSocket::Classify("127.0.0.1"), ListenSocket::Kind::Address);
    EXPECT_EQ(ListenSocket::Classify("10.1.2.3"), ListenSocket::Kind::Address);
    EXPECT_EQ(ListenSocket::Classify("lo"), ListenSocket::Kind::Interface);
    EXPECT_EQ(ListenSocket::Classify("10.1.2"), ListenSocket::Kind::Invalid);
    EXPECT_EQ(ListenSocket::Classify("no-such-if0"), ListenSocket::Kind::Invalid);
    EXPECT_EQ(ListenSocket::Classify("::1"), ListenSocket::Kind::Invalid);
}

TEST(ListenSocketTest, AServerOnOneAddressAnswersThere) {
    httpserver::webserver ws(httpserver::create_webserver(0).bind_address("127.0.0.1"));
    ASSERT_TRUE(ws.start());
    EXPECT_NE(ws.get_bound_port(), 0);
    ws.stop();
}
