// The HTTP control API: the server on port 32322 and the daemon's own
// resource below "/lyrd".
//
// APIServer is built by the main loop before it enters its loop and deleted
// after; Init() registers the resources and starts the server's worker
// threads without blocking.  PlayerResource handlers run on those worker
// threads (up to five at once) while the main loop runs; they read player,
// scheduler, sync and settings state through those components' own locking.
//
// Every PlayerResource answer is a result document: "Status" ("OK" or
// "ERROR"), "respCode" (the HTTP status intended) and "Message", plus the
// endpoint's data.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "http/httpserver.h"

void SetOKResult(Json::Value& result, const std::string& message);
void SetErrorResult(Json::Value& result, int code, const std::string& message);

// Text form of a duration: "00:59", "60:00", "01:01:01", "1 day, 01:01:01".
std::string secondsToTime(int secs);

// The playing members of the status document from the player's info
// document (GetInfo), its position and the sequence player's counters.
void FillPlayingStatus(Json::Value& result, const Json::Value& info, int position, uint64_t seqElapsedMS,
                       uint64_t seqRemainingMS);
// The remote-mode members from what the sequence player and the media
// output report; the media output's times win when one exists.
void FillRemoteStatus(Json::Value& result, const std::string& seqName, int seqElapsed, int seqRemaining,
                      bool hasMedia, const std::string& mediaName, int mediaElapsed, int mediaRemaining);

class PlayerResource : public httpserver::http_resource {
public:
    PlayerResource();

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_PUT(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_DELETE(const httpserver::http_request& req) override;

    // The status document of "/lyrd/status".
    void GetCurrentStatus(Json::Value& result);
    // The same document without the request log line, for the web page's
    // event stream, which builds it many times a second.
    void BuildCurrentStatus(Json::Value& result);

    // Uptime in seconds; resets the start time when the wall clock has been
    // set forward past the system's own uptime.  systemUptime < 0 reads it
    // from the kernel.
    long GetUptime(time_t now, long systemUptime = -1);
    time_t GetStartTime() const { return startTime; }
    void SetStartTimeForTesting(time_t t) { startTime = t; }

private:
    // Each returns false when no endpoint matched.
    bool HandleGet(const std::string& endpoint, const httpserver::http_request& req, Json::Value& result,
                   std::shared_ptr<httpserver::http_response>& direct);
    bool HandlePost(const std::string& endpoint, const httpserver::http_request& req, const Json::Value& data,
                    Json::Value& result);
    bool HandlePostPlaylists(std::string rest, const std::string& body);
    bool HandlePostSequences(std::string rest);
    bool HandlePut(const std::string& endpoint, Json::Value& result);
    bool HandleDelete(const std::string& endpoint, Json::Value& result);

    void AddPlayingStatus(Json::Value& result);
    void AddRemoteStatus(Json::Value& result);

    std::atomic<time_t> startTime;
};

class AccessControl;
class CommandResource;
class RecordingResource;
class TestingResource;
class WebPage;

class APIServer {
public:
    APIServer();
    // For tests: another port (0 picks a free one) and listen address (an
    // address or interface; the default reads the "APIListenAddress" setting).
    APIServer(uint16_t port, const std::string& bindAddress);
    ~APIServer();

    void Init();

    httpserver::webserver* GetServer() { return server.get(); }
    PlayerResource* GetPlayerResource() { return playerResource.get(); }

private:
    httpserver::create_webserver config;
    std::unique_ptr<httpserver::webserver> server;
    std::unique_ptr<PlayerResource> playerResource;
    std::unique_ptr<CommandResource> commandResource;
    std::unique_ptr<TestingResource> testingResource;
    std::unique_ptr<RecordingResource> recordingResource;
    std::unique_ptr<WebPage> webPage;
    std::unique_ptr<AccessControl> accessControl;
};
