// POST, PUT and DELETE side of PlayerResource.
#include <string>

#include "Portal.h"
#include "Scheduler.h"
#include "channeloutput/ChannelOutputs.h"
#include "channeloutput/ChannelRemaps.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/Bridge.h"
#include "platform/Logging.h"

using httpserver::http_request;

namespace {

bool commandMissing(const Json::Value& data, Json::Value& result) {
    if (data.isObject() && data.isMember("command")) return false;
    SetErrorResult(result, 400, "'command' field not specified");
    return true;
}

std::string commandOf(const Json::Value& data) {
    const Json::Value& c = data["command"];
    return c.isString() ? c.asString() : "";
}

// Splits "name/marker/arg" at the last marker: name and arg.
bool splitAtMarker(const std::string& rest, const std::string& marker, std::string& name, std::string& arg) {
    size_t at = rest.rfind(marker);
    if (at == std::string::npos) return false;
    name = rest.substr(0, at);
    arg = rest.substr(at + marker.size());
    return true;
}

}  // namespace

bool PlayerResource::HandlePostPlaylists(std::string rest, const std::string& body) {
    std::string name;
    std::string arg;
    if (rest == "stop") {
        LogDebug(VB_HTTP, "API - Stopping all running playlists w/ content '%s'\n", body.c_str());
    } else if (replaceEnd(rest, "/start", "")) {
        LogDebug(VB_HTTP, "API - Starting playlist '%s' w/ content '%s'\n", rest.c_str(), body.c_str());
    } else if (replaceEnd(rest, "/nextItem", "")) {
        LogDebug(VB_HTTP, "API - Skipping to next entry in playlist '%s'\n", rest.c_str());
    } else if (replaceEnd(rest, "/restartItem", "")) {
        LogDebug(VB_HTTP, "API - Restarting current item in playlist '%s'\n", rest.c_str());
    } else if (replaceEnd(rest, "/prevItem", "")) {
        LogDebug(VB_HTTP, "API - Skipping to prev entry in playlist '%s'\n", rest.c_str());
    } else if (splitAtMarker(rest, "/section/", name, arg)) {
        LogDebug(VB_HTTP, "API - Jumping to section '%s' in playlist '%s'\n", arg.c_str(), name.c_str());
    } else if (splitAtMarker(rest, "/item/", name, arg)) {
        int item = std::stoi(arg, nullptr, 10);
        LogDebug(VB_HTTP, "API - Jumping to item %d in playlist '%s'\n", item, name.c_str());
    } else if (replaceEnd(rest, "/stop", "")) {
        LogDebug(VB_HTTP, "API - Stopping playlist '%s' w/ content '%s'\n", rest.c_str(), body.c_str());
    } else {
        return false;
    }
    return true;
}

bool PlayerResource::HandlePostSequences(std::string rest) {
    std::string name;
    std::string arg;
    if (replaceEnd(rest, "/start", "")) {
        LogDebug(VB_HTTP, "API - Starting sequence '%s'\n", rest.c_str());
    } else if (replaceEnd(rest, "/stop", "")) {
        LogDebug(VB_HTTP, "API - Stopping sequence '%s'\n", rest.c_str());
    } else if (replaceEnd(rest, "/pause", "")) {
        LogDebug(VB_HTTP, "API - (un)Pausing sequence '%s'\n", rest.c_str());
    } else if (replaceEnd(rest, "/pause/0", "")) {
        LogDebug(VB_HTTP, "API - UnPausing sequence '%s'\n", rest.c_str());
    } else if (replaceEnd(rest, "/pause/1", "")) {
        LogDebug(VB_HTTP, "API - Pausing sequence '%s'\n", rest.c_str());
    } else if (replaceEnd(rest, "/step", "")) {
        LogDebug(VB_HTTP, "API - Stepping sequence '%s' by 1 frame\n", rest.c_str());
    } else if (replaceEnd(rest, "/back", "")) {
        LogDebug(VB_HTTP, "API - Stepping sequence '%s' BACK by 1 frame\n", rest.c_str());
    } else if (splitAtMarker(rest, "/step/", name, arg)) {
        int frames = std::stoi(arg, nullptr, 10);
        LogDebug(VB_HTTP, "API - Stepping sequence '%s' by %d frame(s)\n", name.c_str(), frames);
    } else if (splitAtMarker(rest, "/back/", name, arg)) {
        int frames = std::stoi(arg, nullptr, 10);
        LogDebug(VB_HTTP, "API - Stepping sequence '%s' BACK by %d frame(s)\n", name.c_str(), frames);
    } else {
        return false;
    }
    return true;
}

bool PlayerResource::HandlePost(const std::string& endpoint, const http_request& req, const Json::Value& data,
                                Json::Value& result) {
    std::string rest = endpoint;
    if (replaceStart(rest, "effects/", "")) {
        if (commandMissing(data, result)) return true;
        LogDebug(VB_HTTP, "API - PostEffect(%s) cmd: %s\n", rest.c_str(), commandOf(data).c_str());
        SetOKResult(result, "PostEffect result would go here");
    } else if (startsWith(endpoint, "tamrin/hardware")) {
        LogDebug(VB_HTTP, "API - Reloading hardware config\n");
        SetOKResult(result, "PostTamrinHardware result would go here");
    } else if (startsWith(endpoint, "gpio/ext")) {
        if (!data.isObject() || !data.isMember("config")) {
            SetErrorResult(result, 400, "'config' field not specified");
            return true;
        }
        LogDebug(VB_HTTP, "API - Doing something with gpio\n");
    } else if (replaceStart(rest, "log/level/", "")) {
        if (SetLogLevelComplex(rest)) {
            SetOKResult(result, "Log Level Updated");
        } else {
            // An unparsable level changed nothing; saying "updated" would lie.
            SetErrorResult(result, 400, "Invalid log level: " + rest);
        }
    } else if (endpoint == "outputs") {
        if (commandMissing(data, result)) return true;
        std::string command = commandOf(data);
        if (command == "enable") {
            EnableChannelOutput();
            SetOKResult(result, "channel output enabled");
        } else if (command == "disable") {
            DisableChannelOutput();
            SetOKResult(result, "channel output disabled");
        }
    } else if (endpoint == "outputs/remap") {
        if (commandMissing(data, result)) return true;
        if (commandOf(data) == "reload") {
            std::string error;
            if (LoadChannelRemaps(error)) SetOKResult(result, "channel remaps reloaded");
            else SetErrorResult(result, 400, "channel remaps not reloaded: " + error);
        }
    } else if (replaceStart(rest, "playlists/", "")) {
        if (!HandlePostPlaylists(rest, req.get_content())) return false;
    } else if (endpoint == "schedule") {
        if (commandMissing(data, result)) return true;
        if (commandOf(data) == "reload") {
            if (scheduler) scheduler->ReloadScheduleFile();
            SetOKResult(result, "Schedule reload triggered");
        }
    } else if (replaceStart(rest, "volume/", "")) {
        int volume = std::stoi(rest, nullptr, 10);
        // Report what is now in effect: the output layer clamps to 0..100.
        int applied = setVolume(volume);
        SetOKResult(result, "Volume set");
        result["volume"] = applied;
    } else if (replaceStart(rest, "sequences/", "")) {
        if (!HandlePostSequences(rest)) return false;
    } else if (endpoint == "settings/reload") {
        LogDebug(VB_HTTP, "API - Reloading all settings\n");
    } else if (replaceStart(rest, "settings/reload/", "")) {
        LogDebug(VB_HTTP, "API - Reloading setting: %s\n", rest.c_str());
    } else if (endpoint == "restart") {
        LogDebug(VB_HTTP, "API - Restarting lyrd daemon\n");
    } else if (endpoint == "shutdown") {
        SetOKResult(result, "Shutting down lyrd");
        ShutdownLYRD(false);
    } else {
        return false;
    }
    return true;
}

bool PlayerResource::HandlePut(const std::string& endpoint, Json::Value& result) {
    std::string rest = endpoint;
    if (replaceStart(rest, "playlists/", "") && replaceEnd(rest, "/settings", "")) {
        LogDebug(VB_HTTP, "API - Updating runtime settings for playlist '%s'\n", rest.c_str());
        return true;
    }
    return false;
}

bool PlayerResource::HandleDelete(const std::string& endpoint, Json::Value& result) {
    if (endpoint != "e131stats") return false;
    LogInfo(VB_HTTP, "Resetting E131 Statistics\n");
    ResetBytesReceived();
    SetOKResult(result, "Stats Cleared");
    return true;
}
