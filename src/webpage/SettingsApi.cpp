#include "webpage/SettingsApi.h"

#include <cstdlib>
#include <map>

#include "Portal.h"
#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

static std::shared_ptr<http_response> json(const Json::Value& v, int code = 200) {
    return std::make_shared<string_response>(SaveJsonToString(v, ""), code, "application/json");
}

static const Json::Value& descriptions() {
    return settings.settingsInfo["settings"];
}

bool SettingsApi::isSecret(const std::string& name) {
    auto endsWith = [&](const std::string& tail) {
        return name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    return endsWith("Password") || endsWith("Token") ||
           descriptions()[name].get("type", "").asString() == "password";
}

std::string SettingsApi::check(const Json::Value& d, const std::string& value) {
    if (!d.isObject()) return "unknown setting";
    std::string type = d.get("type", "text").asString();
    if (value.size() > 1024) return "longer than 1024 characters";
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7f) return "control characters are not allowed";
    // The settings file cannot hold these (its lines are name = "value").
    if (value.find('=') != std::string::npos) return "'=' cannot be stored in a setting";
    if (!value.empty() && (value.front() == '"' || value.back() == '"'))
        return "cannot start or end with a quote";
    if (type == "checkbox") {
        if (value != "0" && value != "1") return "must be 0 or 1";
    } else if (type == "number") {
        char* end = nullptr;
        double v = strtod(value.c_str(), &end);
        if (value.empty() || !end || *end || value.find_first_of("xXeEnN") != std::string::npos)
            return "must be a number";
        if (d.isMember("min") && v < atof(d["min"].asString().c_str()))
            return "must be at least " + d["min"].asString();
        if (d.isMember("max") && v > atof(d["max"].asString().c_str()))
            return "must be at most " + d["max"].asString();
    } else if (type == "select") {
        const Json::Value& options = d["options"];
        bool found = false;
        if (options.isArray())
            for (const auto& o : options) found = found || o.asString() == value;
        if (options.isObject())
            for (const auto& key : options.getMemberNames())
                found = found || options[key].asString() == value;
        if (!found) return "must be one of the listed choices";
    }
    return "";
}

std::shared_ptr<http_response> SettingsApi::render_GET(const http_request& req) {
    if (req.get_path() != "/ui/api/settings") return std::make_shared<string_response>("Not Found", 404);
    Json::Value out;
    out["settings"] = descriptions();
    Json::Value& values = out["values"] = Json::Value(Json::objectValue);
    Json::Value& secret = out["secret"] = Json::Value(Json::arrayValue);
    for (const auto& name : descriptions().getMemberNames()) {
        // Reads are open to anyone on the network: passwords and the API
        // token are never sent back, only whether one is set.
        if (isSecret(name)) {
            secret.append(name);
            values[name] = getSetting(name.c_str(), "").empty() ? "" : "(set)";
            continue;
        }
        values[name] = getSetting(name.c_str(), "");
    }
    return json(out);
}

std::shared_ptr<http_response> SettingsApi::render_POST(const http_request& req) {
    if (req.get_path() != "/ui/api/settings") return std::make_shared<string_response>("Not Found", 404);
    Json::Value body, result;
    if (!LoadJsonFromString(req.get_content(), body) || !body.isObject() || !body["values"].isObject()) {
        SetErrorResult(result, 400, "Send {\"values\": {\"NAME\": \"VALUE\"}}");
        return json(result, 400);
    }
    const Json::Value& values = body["values"];
    std::map<std::string, std::string> accepted;
    Json::Value errors(Json::objectValue);
    for (const auto& name : values.getMemberNames()) {
        const Json::Value& v = values[name];
        if (!v.isString() && !v.isNumeric() && !v.isBool()) {
            errors[name] = "must be a text or a number";
            continue;
        }
        std::string text = v.isBool() ? (v.asBool() ? "1" : "0") : v.asString();
        std::string why = check(descriptions()[name], text);
        if (why.empty())
            accepted[name] = text;
        else
            errors[name] = why;
    }
    if (!errors.empty()) {
        SetErrorResult(result, 400,
                       "Nothing saved: " + std::to_string(errors.size()) + " value(s) not valid");
        result["errors"] = errors;
        return json(result, 400);
    }
    if (accepted.empty()) {
        SetOKResult(result, "Nothing to save");
        return json(result);
    }
    if (!WriteSettingsFile(accepted)) {
        SetErrorResult(result, 500, "The settings file could not be written; nothing changed");
        return json(result, 500);
    }
    Json::Value& restart = result["restart"] = Json::Value(Json::arrayValue);
    for (const auto& a : accepted) {
        if (descriptions()[a.first].get("live", false).asBool())
            SetSetting(a.first, a.second);
        else
            restart.append(a.first);
        LogInfo(VB_SETTING, "Setting %s saved from the web page\n", a.first.c_str());
    }
    SetOKResult(result, restart.empty() ? "Saved" : "Saved; restart lyrd for some to take effect");
    return json(result);
}
