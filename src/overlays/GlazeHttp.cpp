#include "overlays/GlazeHttp.h"

#include <sys/stat.h>

#include <mutex>

#include "common.h"
#include "overlays/GlazeEffect.h"
#include "overlays/Glaze.h"
#include "overlays/GlazeModel.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"
#include "settings.h"

using httpserver::http_request;
using httpserver::string_response;
using Response = GlazeHttp::Response;

const char* const GlazeHttp::kOK = "{ \"Status\": \"OK\", \"Message\": \"\"}";

namespace {

Response text(int code, const std::string& body) {
    return std::make_shared<string_response>(body, code, "text/plain");
}
Response ok() {
    return text(200, GlazeHttp::kOK);
}
Response json(const Json::Value& v) {
    return std::make_shared<string_response>(SaveJsonToString(v), 200, "application/json");
}
Response jsonNull() {
    return json(Json::Value());
}

// Path segments below the resource; a leading "api" segment is dropped so
// the resource answers whether or not the server strips it.
std::vector<std::string> segments(const http_request& req) {
    std::vector<std::string> p = req.get_path_pieces();
    if (!p.empty() && p[0] == "api") p.erase(p.begin());
    while (p.size() < 6) p.push_back("");
    return p;
}

Json::Value overlayModelJson(GlazeModel* m) {
    Json::Value v = m->toJson();
    v["isActive"] = m->getState().getState();
    bool running = m->isEffectRunning();
    if (running) v["effectName"] = m->getRunningEffectName();
    v["isLocked"] = running;
    v["effectRunning"] = running;
    v["width"] = m->getWidth();
    v["height"] = m->getHeight();
    return v;
}

Response getModels(GlazeManager& g, const http_request& req, const std::vector<std::string>& s) {
    std::lock_guard<std::mutex> l(g.modelsLock);
    if (s[1].empty()) {
        if (g.modelNames.empty()) return std::make_shared<string_response>("[]", 200, "application/json");
        Json::Value list(Json::arrayValue);
        bool simple = req.get_arg("simple") == "true";
        for (const auto& n : g.modelNames) {
            GlazeModel* m = g.getModel(n);
            if (m) list.append(simple ? Json::Value(n) : m->toJson());
        }
        return json(list);
    }
    GlazeModel* m = g.getModel(s[1]);
    if (!m) return text(404, "Model not found: " + s[1]);
    return json(m->toJson());
}

Response getOverlayModel(GlazeManager& g, const std::vector<std::string>& s) {
    std::lock_guard<std::mutex> l(g.modelsLock);
    GlazeModel* m = g.getModel(s[2]);
    if (!m) return jsonNull();
    if (s[3].empty()) return json(overlayModelJson(m));
    if (s[3] == "data") {
        bool rle = s[4] == "rle";
        Json::Value v(Json::objectValue);
        m->getDataJson(v["data"], rle);
        v["rle"] = rle;
        bool running = m->isEffectRunning();
        v["isLocked"] = running;
        v["effectRunning"] = running;
        return json(v);
    }
    if (s[3] == "clear") {
        m->clear();
        return ok();
    }
    return jsonNull();
}

Response getOverlays(GlazeManager& g, const std::vector<std::string>& s) {
    if (s[1] == "fonts") {
        Json::Value list(Json::arrayValue);
        for (const auto& f : g.fonts) list.append(f.first);
        return json(list);
    }
    if (s[1] == "settings") {
        Json::Value v(Json::objectValue);
        v["autoCreate"] = g.getAutoCreate();
        return json(v);
    }
    if (s[1] == "models") {
        std::lock_guard<std::mutex> l(g.modelsLock);
        Json::Value list(Json::arrayValue);
        for (const auto& n : g.modelNames) {
            GlazeModel* m = g.getModel(n);
            if (m) list.append(overlayModelJson(m));
        }
        return json(list);
    }
    if (s[1] == "model") return getOverlayModel(g, s);
    if (s[1] == "effects") {
        if (s[2].empty()) {
            Json::Value list(Json::arrayValue);
            for (const auto& n : GlazeEffect::GetGlazeEffects()) list.append(n);
            return json(list);
        }
        GlazeEffect* e = GlazeEffect::GetGlazeEffect(s[2]);
        return e ? json(e->getDescription()) : jsonNull();
    }
    return jsonNull();
}

// A model map must be an object whose "models", when present, is an array
// of objects; anything else would load as no models and lose the old map.
bool isModelMap(const std::string& body, std::string& why) {
    Json::Value v;
    if (!LoadJsonFromString(body, v)) {
        why = "not valid JSON";
        return false;
    }
    if (!v.isObject()) {
        why = "not a JSON object";
        return false;
    }
    bool autoCreate = true;
    if (!GlazeManager::ReadAutoCreate(v, autoCreate)) {
        why = "\"autoCreate\" is not true or false";
        return false;
    }
    if (v.isMember("models")) {
        if (!v["models"].isArray()) {
            why = "\"models\" is not an array";
            return false;
        }
        for (const auto& m : v["models"]) {
            if (!m.isObject()) {
                why = "a model is not a JSON object";
                return false;
            }
        }
    }
    return true;
}

bool writeFile(const std::string& path, const std::string& content) {
    std::string dir = path.substr(0, path.rfind('/'));
    if (!dir.empty() && !DirectoryExists(dir)) mkdir(dir.c_str(), 0777);
    return PutFileContents(path, content);
}

// ---- PUT ----

int byteOf(const Json::Value& v) {
    if (!v.isNumeric()) return 0;
    double d = v.asDouble();
    return d < 0 ? 0 : d > 255 ? 255 : (int)d;
}

bool intMember(const Json::Value& v, const char* key, int& out) {
    if (!v.isMember(key) || !v[key].isNumeric()) return false;
    double d = v[key].asDouble();
    if (d < INT32_MIN || d > INT32_MAX) return false;
    out = (int)d;
    return true;
}

bool rgbMember(const Json::Value& v, int& r, int& g, int& b) {
    if (!v.isMember("RGB") || !v["RGB"].isArray() || v["RGB"].size() < 3) return false;
    r = byteOf(v["RGB"][0]);
    g = byteOf(v["RGB"][1]);
    b = byteOf(v["RGB"][2]);
    return true;
}

std::string textOr(const Json::Value& v, const char* key, const std::string& def) {
    if (!v.isMember(key)) return def;
    if (v[key].isString()) return v[key].asString();
    if (v[key].isNumeric() || v[key].isBool()) {
        std::string s = SaveJsonToString(v[key]);
        TrimWhiteSpace(s);
        return s;
    }
    return def;
}

bool boolOf(const Json::Value& v, const char* key) {
    if (!v.isMember(key)) return false;
    if (v[key].isBool()) return v[key].asBool();
    if (v[key].isNumeric()) return v[key].asDouble() != 0;
    if (v[key].isString()) return v[key].asString() == "true" || v[key].asString() == "1";
    return false;
}

Response putModelCommand(GlazeModel* m, const std::string& cmd, const Json::Value& body,
                         const std::string& content) {
    Response invalid = text(400, "Invalid request " + content);
    if (cmd == "state") {
        if (!body.isObject() || !body.isMember("State")) return text(500, "Invalid request " + content);
        const Json::Value& st = body["State"];
        if (st.isString()) {
            m->setState(GlazeState(st.asString()));
        } else if (st.isIntegral() && st.isInt() && GlazeState::isValidState(st.asInt())) {
            m->setState(GlazeState(st.asInt()));
        } else {
            return text(400, "Invalid state " + SaveJsonToString(st));
        }
        return ok();
    }
    if (cmd == "fill") {
        int r, gr, b, v;
        if (body.isObject() && rgbMember(body, r, gr, b)) {
            m->fill(r, gr, b);
        } else if (body.isObject() && body.isMember("Value") && body["Value"].isNumeric()) {
            v = byteOf(body["Value"]);
            m->fill(v, v, v);
        } else {
            return invalid;
        }
        return ok();
    }
    if (cmd == "pixel") {
        int x, y, r, gr, b;
        if (!body.isObject() || !intMember(body, "X", x) || !intMember(body, "Y", y) ||
            !rgbMember(body, r, gr, b)) {
            return invalid;
        }
        if (!m->setPixelValue(x, y, r, gr, b)) {
            return text(400,
                        "Pixel " + std::to_string(x) + "," + std::to_string(y) + " is outside the model");
        }
        return ok();
    }
    if (cmd == "save") {
        if (!body.isObject() || !body.isMember("File") || !body["File"].isString()) return invalid;
        std::string failure;
        if (!m->saveOverlayAsImage(body["File"].asString(), failure)) return text(400, failure);
        return ok();
    }
    if (cmd == "mmap") {
        m->getOverlayBuffer();
        return ok();
    }
    return text(404, "Model Command Not found " + cmd);
}

Response putOverlayModel(GlazeManager& g, const std::vector<std::string>& s, const std::string& content) {
    Json::Value body;
    if (!content.empty() && !LoadJsonFromString(content, body)) {
        return text(500, "Could not parse request " + content);
    }
    if (s[3] == "text") {
        // The effect command takes modelsLock itself.
        {
            std::lock_guard<std::mutex> l(g.modelsLock);
            if (!g.getModel(s[2])) return text(404, "Model Not found " + s[2]);
        }
        if (!body.isObject() || !body.isMember("Message") || !body["Message"].isString()) {
            return text(500, "Invalid request " + content);
        }
        std::vector<std::string> args{s[2],
                                      boolOf(body, "AutoEnable") ? "true" : "false",
                                      "Text",
                                      textOr(body, "Color", "#FF0000"),
                                      textOr(body, "Font", ""),
                                      textOr(body, "FontSize", "18"),
                                      boolOf(body, "AntiAlias") ? "true" : "false",
                                      textOr(body, "Position", "Center"),
                                      textOr(body, "PixelsPerSecond", "10"),
                                      "0",
                                      body["Message"].asString()};
        auto r = CommandManager::INSTANCE.run("Overlay Model Effect", args);
        if (r && r->isError()) return text(400, r->get());
        return ok();
    }
    std::lock_guard<std::mutex> l(g.modelsLock);
    GlazeModel* m = g.getModel(s[2]);
    if (!m) return text(404, "Model Not found " + s[2]);
    return putModelCommand(m, s[3], body, content);
}

bool parseChannel(const std::string& t, int& out) {
    if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || t.size() > 9) return false;
    out = std::stoi(t);
    return true;
}

Response putRange(GlazeManager& g, const std::vector<std::string>& s, const std::string& content) {
    const std::string& spec = s[2];
    size_t dash = spec.find('-');
    int start, end;
    if (!parseChannel(spec.substr(0, dash), start) ||
        (dash != std::string::npos ? !parseChannel(spec.substr(dash + 1), end) : !(end = start, true))) {
        return text(400, "Invalid range " + spec);
    }
    if (start < 1 || end < start || start > GlazeMaxChannels()) return text(400, "Invalid range " + spec);
    start--;
    end--;
    bool remove = false, removeAll = false;
    int value = 0;
    if (!s[3].empty()) {
        if (s[3] == "delete") {
            remove = true;
        } else if (!parseChannel(s[3], value)) {
            return text(400, "Invalid range value " + s[3]);
        }
    } else {
        Json::Value body;
        if (!content.empty() && !LoadJsonFromString(content, body)) {
            return text(500, "Could not parse request " + content);
        }
        if (body.isObject() && boolOf(body, "deleteAll")) {
            removeAll = true;
        } else if (body.isObject() && boolOf(body, "delete")) {
            remove = true;
        } else if (body.isObject() && body.isMember("Value") && body["Value"].isNumeric()) {
            value = byteOf(body["Value"]);
        } else {
            return text(400, "Invalid request " + content);
        }
    }
    if (removeAll) {
        g.removeAllChannelRanges();
    } else if (remove) {
        g.removeChannelRange(start, end);
    } else {
        g.setChannelRange(start, end, value > 255 ? 255 : value);
    }
    return ok();
}

}  // namespace

Response GlazeHttp::get(GlazeManager& g, const http_request& req) {
    auto s = segments(req);
    if (s[0] == "models") return getModels(g, req, s);
    if (s[0] == "overlays") return getOverlays(g, s);
    return text(404, "Not found: " + s[0]);
}

Response GlazeHttp::post(GlazeManager& g, const http_request& req) {
    auto s = segments(req);
    if (s[0] != "models" || (!s[1].empty() && s[1] != "raw"))
        return text(404, "POST Not found " + req.get_path());
    bool raw = s[1] == "raw";
    std::string why;
    if (!raw && !isModelMap(req.get_content(), why)) {
        LogWarn(VB_CHANNELOUT, "Model map upload refused: %s\n", why.c_str());
        return text(400, "Invalid model map: " + why);
    }
    std::string path =
        raw ? getLyrMediaDir("/channelmemorymaps") : getLyrMediaDir("/config") + "/model-overlays.json";
    std::lock_guard<std::mutex> l(g.modelsLock);
    if (!writeFile(path, req.get_content())) {
        LogErr(VB_CHANNELOUT, "Could not open Channel Memory Map config file %s\n", path.c_str());
        return text(500, "Could not open Channel Memory Map config file");
    }
    g.loadModelMap();
    return ok();
}

Response GlazeHttp::put(GlazeManager& g, const http_request& req) {
    auto s = segments(req);
    if (s[0] == "overlays" && s[1] == "model" && !s[2].empty() && !s[3].empty()) {
        return putOverlayModel(g, s, req.get_content());
    }
    if (s[0] == "overlays" && s[1] == "range" && !s[2].empty()) return putRange(g, s, req.get_content());
    return text(404, "PUT Not found " + req.get_path());
}
