#include "Portal.h"

#include <sys/resource.h>

#include <algorithm>
#include <stdexcept>
#include <type_traits>

#include "Player.h"
#include "PortalCommands.h"
#include "PortalRecording.h"
#include "PortalTesting.h"
#include "common.h"
#include "http/AccessControl.h"
#include "overlays/Glaze.h"
#include "platform/GPIO.h"
#include "platform/Logging.h"
#include "platform/PluginManager.h"
#include "settings.h"
#include "webpage/WebPage.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

void SetOKResult(Json::Value& result, const std::string& message) {
    result["Status"] = "OK";
    result["respCode"] = 200;
    result["Message"] = message;
}

void SetErrorResult(Json::Value& result, int code, const std::string& message) {
    result["Status"] = "ERROR";
    result["respCode"] = code;
    result["Message"] = message;
}

static void LogRequest(const http_request& req) {
    LogDebug(VB_HTTP, "API Req: %s%s\n", req.get_path().c_str(), req.get_querystring().c_str());
}

static void LogResponse(const http_request& req, int code, const std::string& body) {
    if (!WillLog(LOG_EXCESS, VB_HTTP)) return;
    LogExcess(VB_HTTP, "API Res: %s%s %d %s\n", req.get_path().c_str(), req.get_querystring().c_str(), code,
              body.c_str());
}

static std::string endpointOf(const http_request& req) {
    std::string url = req.get_path();
    replaceStart(url, "/lyrd/", "");
    return url;
}

static void SetUnknownEndpoint(Json::Value& result, const char* method, const std::string& endpoint) {
    LogErr(VB_HTTP, "API - Error unknown %s request: %s\n", method, endpoint.c_str());
    SetErrorResult(result, 404, "endpoint lyrd/" + endpoint + " does not exist");
}

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
static size_t Utf8SequenceLength(const std::string& s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    }
    unsigned char c1 = static_cast<unsigned char>(s[i + 1 < s.size() ? i + 1 : i]);
    if (n == 2 && c < 0xC2) return 0;                 // overlong
    if (n == 3 && c == 0xE0 && c1 < 0xA0) return 0;   // overlong
    if (n == 3 && c == 0xED && c1 >= 0xA0) return 0;  // surrogate
    if (n == 4 && (c > 0xF4 || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90))) return 0;
    return n;
}

// Text from clients or files may hold bytes that are not UTF-8; the JSON
// writer would garble them (and the characters after them), so they become
// U+FFFD first.
static void MakeValidUtf8(Json::Value& v) {
    if (v.isString()) {
        const std::string s = v.asString();
        std::string out;
        bool changed = false;
        for (size_t i = 0; i < s.size();) {
            size_t n = Utf8SequenceLength(s, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";
                changed = true;
                ++i;
            } else {
                out.append(s, i, n);
                i += n;
            }
        }
        if (changed) v = out;
    } else if (v.isArray() || v.isObject()) {
        for (auto& child : v) MakeValidUtf8(child);
    }
}

// Steps 5 to 9 of every handler: fill an unset result, serialise, pick the
// status and content type, log the answer.
static std::shared_ptr<http_response> FinishResult(const http_request& req, const char* method,
                                                   Json::Value& result, bool unset,
                                                   const std::string& contentType) {
    bool isGet = std::string(method) == "GET";
    if (unset) SetErrorResult(result, 400, std::string(method) + " endpoint helper did not set result JSON");
    MakeValidUtf8(result);
    std::string body = SaveJsonToString(result, "");
    int code = 200;
    if (!(isGet && unset) && result.isMember("respCode") && result["respCode"].isInt()) {
        code = result["respCode"].asInt();
    }
    LogResponse(req, code, body);
    return std::make_shared<string_response>(body, code, contentType);
}

// A bad number in a path or argument ("volume/abc") answers 400 instead of
// escaping the handler.
template <typename F>
static bool GuardNumbers(const http_request& req, Json::Value& result, F handler) {
    try {
        return handler();
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    LogErr(VB_HTTP, "API - Invalid number in request: %s%s\n", req.get_path().c_str(),
           req.get_querystring().c_str());
    result = Json::Value();
    SetErrorResult(result, 400, "Invalid number in request");
    return true;
}

PlayerResource::PlayerResource() : startTime(time(nullptr)) {}

std::shared_ptr<http_response> PlayerResource::render_GET(const http_request& req) {
    LogRequest(req);
    std::string endpoint = endpointOf(req);
    LogDebug(VB_HTTP, "URL: %s %s\n", endpoint.c_str(), req.get_querystring().c_str());
    Json::Value result;
    std::shared_ptr<http_response> direct;
    if (!GuardNumbers(req, result, [&] { return HandleGet(endpoint, req, result, direct); })) {
        SetUnknownEndpoint(result, "GET", endpoint);
    }
    if (direct) {
        LogResponse(req, direct->get_response_code(), direct->get_content());
        return direct;
    }
    bool unset = result.isNull() || (result.isObject() && result.empty());
    return FinishResult(req, "GET", result, unset, "application/json");
}

std::shared_ptr<http_response> PlayerResource::render_POST(const http_request& req) {
    LogRequest(req);
    std::string endpoint = endpointOf(req);
    LogDebug(VB_HTTP, "POST URL: %s %s\n", endpoint.c_str(), req.get_querystring().c_str());
    Json::Value data;
    if (!req.get_content().empty() && !LoadJsonFromString(req.get_content(), data)) {
        LogErr(VB_HTTP, "Error parsing POST content\n");
        LogResponse(req, 400, "Error parsing POST content");
        return std::make_shared<string_response>("Error parsing POST content", 400, "text/plain");
    }
    Json::Value result;
    if (!GuardNumbers(req, result, [&] { return HandlePost(endpoint, req, data, result); })) {
        SetUnknownEndpoint(result, "POST", endpoint);
    }
    return FinishResult(req, "POST", result, !result.isMember("Status"), "application/json");
}

std::shared_ptr<http_response> PlayerResource::render_PUT(const http_request& req) {
    LogRequest(req);
    std::string endpoint = endpointOf(req);
    LogDebug(VB_HTTP, "PUT URL: %s %s\n", endpoint.c_str(), req.get_querystring().c_str());
    Json::Value result;
    if (!HandlePut(endpoint, result)) SetUnknownEndpoint(result, "PUT", endpoint);
    return FinishResult(req, "PUT", result, !result.isMember("Status"), "text/plain");
}

std::shared_ptr<http_response> PlayerResource::render_DELETE(const http_request& req) {
    LogRequest(req);
    std::string endpoint = endpointOf(req);
    LogDebug(VB_HTTP, "DELETE URL: %s %s\n", endpoint.c_str(), req.get_querystring().c_str());
    Json::Value result;
    if (!HandleDelete(endpoint, result)) SetUnknownEndpoint(result, "DELETE", endpoint);
    return FinishResult(req, "DELETE", result, !result.isMember("Status"), "text/plain");
}

// ---- APIServer ----

APIServer::APIServer() : APIServer(32322, getSetting("APIListenAddress")) {}

APIServer::APIServer(uint16_t port, const std::string& bindAddress)
    : config(httpserver::create_webserver(port)
                 .max_threads(5)
                 .connection_timeout(180)
                 .worker_nice(5)
                 .bind_address(bindAddress)) {}

APIServer::~APIServer() {
    if (server) server->stop();
    server.reset();
}

// Each open connection is a descriptor; a low soft limit would refuse
// clients long before the server's own connection limit.
static void RaiseDescriptorLimit(int wanted) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    rlim_t target = static_cast<rlim_t>(wanted);
    if (rl.rlim_cur >= target) return;
    rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? target : std::min(target, rl.rlim_max);
    setrlimit(RLIMIT_NOFILE, &rl);
}

// Components that answer HTTP themselves are registered once they do.
template <typename T>
static void RegisterIfResource(httpserver::webserver& server, const std::string& path, T& component) {
    if constexpr (std::is_base_of_v<httpserver::http_resource, T>) {
        server.register_resource(path, &component, true);
    }
}

template <typename T, typename = void>
struct HasRegisterApis : std::false_type {};
template <typename T>
struct HasRegisterApis<
    T, std::void_t<decltype(std::declval<T&>().registerApis(std::declval<httpserver::webserver*>()))>>
    : std::true_type {};

template <typename T>
static void RegisterPluginApis(T& plugins, httpserver::webserver* server) {
    if constexpr (HasRegisterApis<T>::value) plugins.registerApis(server);
}

void APIServer::Init() {
    if (server) return;
    server.reset(new httpserver::webserver(config));
    playerResource.reset(new PlayerResource());
    commandResource.reset(new CommandResource());
    testingResource.reset(new TestingResource());
    recordingResource.reset(new RecordingResource());
    accessControl.reset(new AccessControl());
    server->set_guard([this](const http_request& req) { return accessControl->Check(req); });
    for (const char* p : {AccessControl::LOGIN_PATH, AccessControl::LOGOUT_PATH, AccessControl::AUTH_PATH})
        server->register_resource(p, accessControl.get());

    server->register_resource("/lyrd/testing", testingResource.get(), true);
    server->register_resource("/lyrd", playerResource.get(), true);
    RegisterIfResource(*server, "/models", GlazeManager::INSTANCE);
    RegisterIfResource(*server, "/overlays", GlazeManager::INSTANCE);
    server->register_resource("/command", commandResource.get(), true);
    server->register_resource("/commands", commandResource.get(), true);
    server->register_resource("/commandPresets", commandResource.get(), true);
    RegisterIfResource(*server, "/gpio", GPIOManager::INSTANCE);
    server->register_resource("/player", &Player::INSTANCE, true);
    server->register_resource("/recording", recordingResource.get(), true);
    RegisterPluginApis(PluginManager::INSTANCE, server.get());
    webPage.reset(new WebPage(getLyrDDir("/www/ui"), getLyrMediaDir(), [this] {
        Json::Value status;
        playerResource->BuildCurrentStatus(status);
        return SaveJsonToString(status, "");
    }));
    webPage->registerWith(*server);

    RaiseDescriptorLimit(config.connections_ + 256);
    if (!server->start(false)) {
        LogErr(VB_HTTP, "Unable to start the HTTP API on port %u\n", config.port_);
    }
}
