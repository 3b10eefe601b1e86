#include "PortalTesting.h"

#include <json/json.h>

#include "Portal.h"
#include "common.h"
#include "platform/ChannelTester.h"
#include "platform/Logging.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

std::shared_ptr<http_response> TestingResource::render_GET(const http_request& req) {
    if (req.get_path() != "/lyrd/testing") return std::make_shared<string_response>("Not Found", 404);
    return std::make_shared<string_response>(ChannelTester::INSTANCE.GetConfig(), 200, "application/json");
}

std::shared_ptr<http_response> TestingResource::render_POST(const http_request& req) {
    if (req.get_path() != "/lyrd/testing") return std::make_shared<string_response>("Not Found", 404);
    Json::Value config;
    Json::Value result;
    if (!LoadJsonFromString(req.get_content(), config) || !config.isObject()) {
        SetErrorResult(result, 400, "Expected a JSON object with the test configuration");
    } else {
        bool running = ChannelTester::INSTANCE.SetupTest(config);
        std::string refusal = ChannelTester::INSTANCE.LastError();
        if (!refusal.empty()) {
            LogWarn(VB_HTTP, "Channel test refused: %s\n", refusal.c_str());
            SetErrorResult(result, 400, refusal);
        } else {
            SetOKResult(result, running ? "Test running" : "Test stopped");
        }
    }
    return std::make_shared<string_response>(SaveJsonToString(result, ""), result["respCode"].asInt(),
                                             "application/json");
}
