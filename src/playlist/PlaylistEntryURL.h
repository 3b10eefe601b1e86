// Playlist entry "url": sends one HTTP request ("url", required; "method"
// "GET" (default) or "POST"; "data" the POST body) and ends when the answer
// is in or after "timeout" seconds (default 10).  The request runs on its own
// thread so the main loop never waits for a slow server; a failure is logged
// and the playlist goes on.
//
// Threading: playlist thread; the worker thread only touches the shared
// request state, which outlives the entry if it must.
#pragma once

#include <memory>
#include <string>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryURL : public PlaylistEntryBase {
public:
    PlaylistEntryURL(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryURL();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual int Process() override;
    virtual int Stop() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;

    std::string url;
    std::string method = "GET";
    std::string data;
    int timeoutSeconds = 10;
    std::string lastResponse;
    bool lastOk = false;

private:
    struct Request;
    std::shared_ptr<Request> request;
};
