#include "webpage/WebPage.h"

#include <dirent.h>
#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "channeloutput/ChannelOutputs.h"
#include "channeloutput/FrameSnapshot.h"
#include "common.h"
#include "http/ChangeHook.h"
#include "webpage/EventHub.h"
#include "webpage/FileStore.h"
#include "webpage/LogTail.h"
#include "webpage/SettingsApi.h"
#include "webpage/StaticFiles.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

static std::shared_ptr<http_response> json(const Json::Value& v, int code = 200) {
    auto r = std::make_shared<string_response>(SaveJsonToString(v, ""), code, "application/json");
    r->with_header("Cache-Control", "no-store");
    return r;
}

static long argNumber(const http_request& req, const std::string& name, long def, long lo, long hi) {
    std::string text = req.get_arg(name);
    if (text.empty()) return def;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (!end || *end) return def;
    return std::min(hi, std::max(lo, v));
}

namespace {
// The page whose event stream hears of changes made over HTTP.
std::atomic<EventHub*> nudgedHub{nullptr};
void nudgeHub() {
    if (EventHub* h = nudgedHub.load()) h->nudge();
}
}  // namespace

class WebPage::PageApi : public httpserver::http_resource {
public:
    PageApi(LogTail& tail, std::string mediaDir) : tail(tail), mediaDir(std::move(mediaDir)) {}

    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        const std::string& p = req.get_path();
        if (p == "/ui/api/log") return log(req);
        if (p == "/ui/api/outputs") return outputs();
        if (p == "/ui/api/channels") return channels(req);
        return std::make_shared<string_response>("Not Found", 404);
    }

private:
    std::shared_ptr<http_response> log(const http_request& req) {
        uint64_t after = static_cast<uint64_t>(argNumber(req, "after", 0, 0, 1L << 62));
        uint64_t last = 0;
        Json::Value out;
        Json::Value& lines = out["lines"] = Json::Value(Json::arrayValue);
        for (const auto& l : tail.since(after, 1000, last)) lines.append(l);
        out["last"] = Json::UInt64(last);
        return json(out);
    }

    std::shared_ptr<http_response> outputs() {
        Json::Value out;
        out["enabled"] = ChannelOutputEnabled();
        out["ranges"] = GetOutputRanges(true).toString();
        out["maxChannel"] = GetChannelOutputMaxChannel();
        Json::Value& configs = out["configs"] = Json::Value(Json::objectValue);
        std::string dir = mediaDir + "/config";
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string name = e->d_name;
                // Output configurations are the "co-*.json" files, plus the remaps.
                bool output =
                    name.rfind("co-", 0) == 0 && name.size() >= 8 && name.substr(name.size() - 5) == ".json";
                if (!output && name != "channelremap.json") continue;
                std::ifstream in(dir + "/" + name);
                std::stringstream ss;
                ss << in.rdbuf();
                Json::Value v;
                if (ss.str().size() < (1 << 20) && LoadJsonFromString(ss.str(), v))
                    configs[name] = v;
                else
                    configs[name] = "not readable as JSON";
            }
            closedir(d);
        }
        return json(out);
    }

    std::shared_ptr<http_response> channels(const http_request& req) {
        uint32_t start = static_cast<uint32_t>(argNumber(req, "start", 1, 1, 1 << 20));
        uint32_t count =
            static_cast<uint32_t>(argNumber(req, "count", 64, 1, EventHub::kMaxChannelsPerClient));
        Json::Value out;
        out["start"] = start;
        Json::Value& values = out["values"] = Json::Value(Json::arrayValue);
        for (uint8_t b : FrameSnapshot::read(start, count)) values.append(b);
        return json(out);
    }

    LogTail& tail;
    std::string mediaDir;
};

WebPage::WebPage(const std::string& pageDir, const std::string& mediaDir, std::function<std::string()> status)
    : mediaDir(mediaDir), tail(new LogTail(1000)) {
    files.reset(new StaticFiles(pageDir));
    root.reset(new RootRedirect());
    EventHub::Sources sources;
    sources.status = std::move(status);
    sources.log = tail.get();
    sources.channels = [](uint32_t start, uint32_t count) { return FrameSnapshot::read(start, count); };
    hub.reset(new EventHub(kMaxPages, std::move(sources)));
    store.reset(new FileStore(mediaDir));
    store->removeLeftovers();
    settingsApi.reset(new SettingsApi());
    api.reset(new PageApi(*tail, mediaDir));
    LogTail::attach(tail.get());
    nudgedHub.store(hub.get());
    httpserver::set_change_hook(nudgeHub);
}

WebPage::~WebPage() {
    httpserver::set_change_hook(nullptr);
    nudgedHub.store(nullptr);
    LogTail::attach(nullptr);
}

void WebPage::registerWith(httpserver::webserver& server) {
    server.register_resource("/", root.get(), false);
    server.register_resource("/ui", files.get(), true);
    server.register_resource("/ui/events", hub.get(), false);
    server.register_resource("/ui/api/files", store.get(), true);
    server.register_resource("/ui/api/settings", settingsApi.get(), false);
    server.register_resource("/ui/api/log", api.get(), false);
    server.register_resource("/ui/api/outputs", api.get(), false);
    server.register_resource("/ui/api/channels", api.get(), false);
}
