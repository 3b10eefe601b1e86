#include "http/AccessControl.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <vector>

#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;
using TimePoint = std::chrono::steady_clock::time_point;

namespace {

std::vector<std::string> pieces(const std::string& path) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string argOf(const std::map<std::string, std::string>& args, const char* name) {
    auto it = args.find(name);
    return it == args.end() ? std::string() : it->second;
}

// GET endpoints that act: the command resource runs its command, the
// status resource sets the volume or starts a statistic (sync, main loop)
// afresh, the overlay resource clears a model; and the page's settings,
// which are read only to be changed and hold secrets.
bool getActs(const std::vector<std::string>& p, const std::map<std::string, std::string>& args) {
    if (p.empty()) return false;
    if (p[0] == "command") return true;
    if (p[0] == "lyrd" && p.size() >= 2) {
        if (p[1] == "volume") return !argOf(args, "set").empty();
        // Statistics (sync, main loop) read with reset=1 start afresh.
        if (argOf(args, "reset") == "1") return true;
    }
    // The page's settings hold this token and the broker's password.
    if (p.size() == 3 && p[0] == "ui" && p[1] == "api" && p[2] == "settings") return true;
    size_t o = p.size() > 1 && p[0] == "api" ? 1 : 0;  // the overlay resource drops a leading "api"
    if (p.size() >= o + 4 && p[o] == "overlays" && p[o + 1] == "model" && p[o + 3] == "clear") return true;
    return false;
}

std::string cookieValue(const std::string& header, const std::string& name) {
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        if (end == std::string::npos) end = header.size();
        std::string part = header.substr(pos, end - pos);
        pos = end + 1;
        size_t b = part.find_first_not_of(' ');
        if (b == std::string::npos) continue;
        part.erase(0, b);
        size_t eq = part.find('=');
        if (eq != std::string::npos && part.compare(0, eq, name) == 0 && eq == name.size()) {
            std::string v = part.substr(eq + 1);
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            return httpserver::url_decode(v);
        }
    }
    return "";
}

// Cookie values may not hold separators or spaces; everything outside the
// unreserved URL characters is percent-encoded (and decoded on the way in).
std::string cookieEncode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::shared_ptr<http_response> jsonAnswer(const Json::Value& v, int code) {
    return std::make_shared<string_response>(SaveJsonToString(v, ""), code, "application/json");
}

std::shared_ptr<http_response> resultAnswer(int code, const std::string& message) {
    Json::Value v;
    v["Status"] = code == 200 ? "OK" : "ERROR";
    v["respCode"] = code;
    v["Message"] = message;
    return jsonAnswer(v, code);
}

}  // namespace

AccessControl::AccessControl()
    : AccessControl([] { return getSetting("APIToken"); }, [] { return std::chrono::steady_clock::now(); }) {}

AccessControl::AccessControl(TokenProvider token, Clock clock)
    : token(std::move(token)), clock(std::move(clock)) {}

AccessControl::Need AccessControl::Classify(const std::string& method, const std::string& path,
                                            const std::map<std::string, std::string>& args) {
    if (method == "GET" || method == "HEAD" || method == "OPTIONS") {
        return getActs(pieces(path), args) ? Need::Token : Need::Open;
    }
    // The login checks the token it is given itself; logging out only
    // clears the caller's own cookie.
    if (method == "POST" && (path == LOGIN_PATH || path == LOGOUT_PATH)) return Need::Open;
    return Need::Token;
}

bool AccessControl::ConstantTimeEquals(const std::string& a, const std::string& b) {
    size_t n = std::max(a.size(), b.size());
    volatile unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff = diff | (x ^ y);
    }
    return diff == 0;
}

std::string AccessControl::Credential(const http_request& req) {
    std::string auth = req.get_header("Authorization");
    if (!auth.empty()) {
        const std::string scheme = "bearer ";
        if (auth.size() < scheme.size()) return "";
        std::string head = auth.substr(0, scheme.size());
        std::transform(head.begin(), head.end(), head.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (head != scheme) return "";
        std::string t = auth.substr(scheme.size());
        TrimWhiteSpace(t);
        return t;
    }
    return cookieValue(req.get_header("Cookie"), COOKIE);
}

void AccessControl::StartCooldown(const std::string& client, TimePoint now) {
    // Called with `lock` held.
    if (until.size() >= MAX_CLIENTS && until.find(client) == until.end()) {
        for (auto it = until.begin(); it != until.end();)
            it = it->second <= now ? until.erase(it) : std::next(it);
        if (until.size() >= MAX_CLIENTS) {
            auto oldest = std::min_element(until.begin(), until.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
            until.erase(oldest);
        }
    }
    until[client] = now + std::chrono::milliseconds(COOLDOWN_MS);
}

AccessControl::Verdict AccessControl::Judge(const std::string& client, const std::string& presented,
                                            long& remainingMs) {
    TimePoint now = clock();
    std::string expected = token();
    {
        std::lock_guard<std::mutex> l(lock);
        auto it = until.find(client);
        if (it != until.end()) {
            if (now < it->second) {
                remainingMs = static_cast<long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(it->second - now).count());
                return Verdict::CoolingDown;
            }
            until.erase(it);
        }
    }
    if (presented.empty()) return Verdict::Missing;
    if (ConstantTimeEquals(presented, expected)) return Verdict::Good;
    std::lock_guard<std::mutex> l(lock);
    StartCooldown(client, now);
    return Verdict::Wrong;
}

std::shared_ptr<http_response> AccessControl::Refusal(Verdict v, long remainingMs, const http_request& req) {
    if (v == Verdict::CoolingDown) {
        auto r = resultAnswer(429, "Too many wrong tokens from this address; try again in a few seconds");
        r->with_header("Retry-After", std::to_string((remainingMs + 999) / 1000));
        return r;
    }
    if (v == Verdict::Wrong) {
        LogWarn(VB_HTTP, "%s %s from %s: wrong access token; that address waits %d s\n",
                req.get_method().c_str(), req.get_path().c_str(), req.get_requestor().c_str(),
                COOLDOWN_MS / 1000);
    } else {
        LogInfo(VB_HTTP, "%s %s from %s refused: no access token\n", req.get_method().c_str(),
                req.get_path().c_str(), req.get_requestor().c_str());
    }
    auto r =
        resultAnswer(401, v == Verdict::Wrong ? "Wrong access token" : "This board needs its access token");
    r->with_header("WWW-Authenticate", "Bearer realm=\"lyrd\"");
    return r;
}

std::shared_ptr<http_response> AccessControl::Check(const http_request& req) {
    if (Classify(req.get_method(), req.get_path(), req.get_args()) == Need::Open) return nullptr;
    if (token().empty()) return nullptr;
    long remaining = 0;
    Verdict v = Judge(req.get_requestor(), Credential(req), remaining);
    return v == Verdict::Good ? nullptr : Refusal(v, remaining, req);
}

std::shared_ptr<http_response> AccessControl::render_GET(const http_request& req) {
    if (req.get_path() != AUTH_PATH) return std::make_shared<string_response>("Not Found", 404, "text/plain");
    Json::Value v;
    bool required = !token().empty();
    v["required"] = required;
    bool authorized = !required;
    if (required) {
        // Judged like any other try, so this cannot serve to guess the token
        // faster than the login can.
        std::string presented = Credential(req);
        long remaining = 0;
        authorized = !presented.empty() && Judge(req.get_requestor(), presented, remaining) == Verdict::Good;
    }
    v["authorized"] = authorized;
    return jsonAnswer(v, 200);
}

std::shared_ptr<http_response> AccessControl::render_POST(const http_request& req) {
    const std::string cookieTail = "; HttpOnly; SameSite=Strict; Path=/";
    if (req.get_path() == LOGOUT_PATH) {
        auto r = resultAnswer(200, "Logged out");
        r->with_header("Set-Cookie", std::string(COOKIE) + "=" + cookieTail + "; Max-Age=0");
        return r;
    }
    if (req.get_path() != LOGIN_PATH)
        return std::make_shared<string_response>("Not Found", 404, "text/plain");
    Json::Value body;
    if (!LoadJsonFromString(req.get_content(), body) || !body.isObject() || !body["token"].isString()) {
        return resultAnswer(400, "Expected {\"token\": \"...\"}");
    }
    std::string expected = token();
    if (expected.empty()) return resultAnswer(200, "This board has no access token");
    long remaining = 0;
    Verdict v = Judge(req.get_requestor(), body["token"].asString(), remaining);
    if (v != Verdict::Good) return Refusal(v == Verdict::Missing ? Verdict::Wrong : v, remaining, req);
    auto r = resultAnswer(200, "Logged in");
    r->with_header("Set-Cookie", std::string(COOKIE) + "=" + cookieEncode(expected) + cookieTail);
    return r;
}
