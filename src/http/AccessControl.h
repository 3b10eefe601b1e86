// Access control of the HTTP API: with a token set (setting "APIToken"),
// every request that changes something needs it, as
// "Authorization: Bearer <token>" or as the "lyrdToken" cookie the web
// page's login sets.  Reads stay open, so the boards of a show, status
// pollers and the page itself keep working; without a token nothing is
// checked at all.
//
// A wrong token answers 401 and starts a cooldown for that client address:
// for COOLDOWN_MS its requests that need the token answer 429 at once
// (with Retry-After) without the token being looked at.  No thread waits.
//
// The object is also the resource of the page's login endpoints:
//   POST /ui/api/login  {"token": "..."} -> 200 + cookie, or 401 / 429
//   POST /ui/api/logout                  -> 200, cookie cleared
//   GET  /ui/api/auth   -> {"required": bool, "authorized": bool}
//
// Threading: Check and the render_* run on the HTTP worker threads, several
// at once; the cooldown table has its own lock.  The token is read through
// the provider on every request (a changed setting applies at once).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "http/httpserver.h"

class AccessControl : public httpserver::http_resource {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using TokenProvider = std::function<std::string()>;

    static constexpr int COOLDOWN_MS = 3000;
    // Addresses remembered at most; beyond that the oldest cooldowns go.
    static constexpr size_t MAX_CLIENTS = 4096;
    static constexpr const char* COOKIE = "lyrdToken";

    // Reads the "APIToken" setting and the steady clock.
    AccessControl();
    AccessControl(TokenProvider token, Clock clock);

    enum class Need { Open, Token };
    // Whether a request changes something (or reads the settings, which
    // hold the token).  Pure: method, decoded path and query arguments only.
    // HEAD and OPTIONS count as GET.
    static Need Classify(const std::string& method, const std::string& path,
                         const std::map<std::string, std::string>& args);

    // Equal texts; the time taken depends on the lengths only.
    static bool ConstantTimeEquals(const std::string& a, const std::string& b);

    // The credential a request carries: the Bearer token when there is an
    // Authorization header, else the cookie; "" when it has none.
    static std::string Credential(const httpserver::http_request& req);

    // The guard hooked into the server: null lets the request through,
    // otherwise the answer (401, 429) to send instead.
    std::shared_ptr<httpserver::http_response> Check(const httpserver::http_request& req);

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;

    // Paths of the login endpoints (registered by the API server).
    static constexpr const char* LOGIN_PATH = "/ui/api/login";
    static constexpr const char* LOGOUT_PATH = "/ui/api/logout";
    static constexpr const char* AUTH_PATH = "/ui/api/auth";

private:
    enum class Verdict { Good, Missing, Wrong, CoolingDown };
    // Looks at the presented credential unless the client cools down; a
    // wrong one starts its cooldown.  remainingMs is set for CoolingDown.
    Verdict Judge(const std::string& client, const std::string& presented, long& remainingMs);
    std::shared_ptr<httpserver::http_response> Refusal(Verdict v, long remainingMs,
                                                       const httpserver::http_request& req);
    void StartCooldown(const std::string& client, std::chrono::steady_clock::time_point now);

    TokenProvider token;
    Clock clock;
    std::mutex lock;  // guards until
    std::map<std::string, std::chrono::steady_clock::time_point> until;
};
