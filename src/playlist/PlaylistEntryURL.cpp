#include "playlist/PlaylistEntryURL.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "common.h"
#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"

struct PlaylistEntryURL::Request {
    std::atomic<bool> done{false};
    std::mutex lock;  // guards ok and response
    bool ok = false;
    std::string response;
};

PlaylistEntryURL::PlaylistEntryURL(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    type = "url";
}

PlaylistEntryURL::~PlaylistEntryURL() {}

bool PlaylistEntryURL::Init(Json::Value& config) {
    std::string where = "url entry";
    url = PlaylistValues::Text(config, "url", "", where);
    if (url.empty()) {
        LogErr(VB_PLAYLIST, "Missing url entry\n");
        return false;
    }
    if (!startsWith(toLowerCopy(url), "http://") && !startsWith(toLowerCopy(url), "https://")) {
        LogErr(VB_PLAYLIST, "URL entry '%s' is not an http:// or https:// address\n", url.c_str());
        return false;
    }
    method = toUpperCopy(PlaylistValues::Text(config, "method", "GET", where));
    if (method != "GET" && method != "POST") {
        LogErr(VB_PLAYLIST, "URL entry method '%s' is not GET or POST\n", method.c_str());
        return false;
    }
    data = PlaylistValues::Text(config, "data", "", where);
    timeoutSeconds = PlaylistValues::Int(config, "timeout", 10, where);
    if (timeoutSeconds < 1) timeoutSeconds = 1;
    if (timeoutSeconds > 300) timeoutSeconds = 300;
    return PlaylistEntryBase::Init(config);
}

int PlaylistEntryURL::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    LogDebug(VB_PLAYLIST, "URL entry: %s %s\n", method.c_str(), url.c_str());
    auto req = std::make_shared<Request>();
    request = req;
    std::string m = method, u = url, d = data;
    unsigned timeout = (unsigned)timeoutSeconds;
    try {
        std::thread([req, m, u, d, timeout] {
            std::string resp;
            bool ok = urlHelper(m, u, d, resp, timeout);
            {
                std::lock_guard<std::mutex> l(req->lock);
                req->ok = ok;
                req->response = resp;
            }
            req->done = true;
        }).detach();
    } catch (const std::exception& ex) {
        LogErr(VB_PLAYLIST, "URL entry could not start its request: %s\n", ex.what());
        request.reset();
        FinishPlay();
        return 0;
    }
    return PlaylistEntryBase::StartPlaying();
}

int PlaylistEntryURL::Process() {
    if (isPlaying && request && request->done) {
        {
            std::lock_guard<std::mutex> l(request->lock);
            lastOk = request->ok;
            lastResponse = request->response;
        }
        if (!lastOk) LogWarn(VB_PLAYLIST, "URL entry request to %s failed\n", url.c_str());
        request.reset();
        FinishPlay();
    }
    return PlaylistEntryBase::Process();
}

int PlaylistEntryURL::Stop() {
    // The worker finishes on its own (bounded by the timeout) and frees the
    // shared state then.
    request.reset();
    return PlaylistEntryBase::Stop();
}

void PlaylistEntryURL::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "URL            : %s %s\n", method.c_str(), url.c_str());
}

Json::Value PlaylistEntryURL::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["url"] = url;
    result["method"] = method;
    result["data"] = data;
    return result;
}
