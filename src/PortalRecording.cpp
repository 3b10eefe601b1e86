#include "PortalRecording.h"

#include <json/json.h>

#include <string>
#include <vector>

#include "Portal.h"
#include "channelinput/Recorder.h"
#include "channelinput/RecorderCommands.h"
#include "common.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

namespace {

std::shared_ptr<http_response> answer(const Json::Value& v, int code) {
    return std::make_shared<string_response>(SaveJsonToString(v, ""), code, "application/json");
}

std::shared_ptr<http_response> error(int code, const std::string& message) {
    Json::Value v;
    SetErrorResult(v, code, message);
    return answer(v, code);
}

// Numbers and text both read as text; anything else is refused.
bool argText(const Json::Value& body, const char* key, std::string& out) {
    const Json::Value& v = body[key];
    if (v.isNull()) return true;
    if (v.isString() || v.isNumeric()) {
        out = v.isString() ? v.asString() : v.isIntegral() ? std::to_string(v.asInt64()) : v.asString();
        return true;
    }
    return false;
}

std::shared_ptr<http_response> run(const char* command, const std::vector<std::string>& args) {
    std::unique_ptr<Command::Result> r = CommandManager::INSTANCE.run(command, args);
    Json::Value v;
    if (r->isError()) {
        SetErrorResult(v, 400, r->get());
    } else {
        SetOKResult(v, r->get());
    }
    if (Recorder* rec = GetRecorder()) v["recording"] = rec->statusJSON();
    return answer(v, r->isError() ? 400 : 200);
}

}  // namespace

std::shared_ptr<http_response> RecordingResource::render_GET(const http_request& req) {
    std::vector<std::string> pieces = req.get_path_pieces();
    if (pieces.size() != 1) return error(404, "Not Found");
    Recorder* rec = GetRecorder();
    return answer(rec ? rec->statusJSON() : Recorder::ToJSON(Recorder::Status()), 200);
}

std::shared_ptr<http_response> RecordingResource::render_POST(const http_request& req) {
    std::vector<std::string> pieces = req.get_path_pieces();
    if (pieces.size() != 2 || (pieces[1] != "start" && pieces[1] != "stop")) return error(404, "Not Found");
    if (!GetRecorder()) return error(503, "Recording is not available");
    if (pieces[1] == "stop") return run("Stop Recording", {});

    Json::Value body;
    if (!req.get_content().empty() && !LoadJsonFromString(req.get_content(), body)) {
        return error(400, "Error parsing POST content");
    }
    if (!body.isObject()) return error(400, "Expected {\"name\": ..., \"interval\": ..., \"media\": ...}");
    std::string name, interval, media;
    if (!argText(body, "name", name) || !argText(body, "interval", interval) ||
        !argText(body, "media", media)) {
        return error(400, "\"name\", \"interval\" and \"media\" must be text or numbers");
    }
    LogDebug(VB_HTTP, "API - Start recording '%s'\n", name.c_str());
    return run("Start Recording", {name, interval, media});
}
