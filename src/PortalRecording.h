// HTTP front of the recorder, for scripts and the web page:
//   GET  /recording        the recording document (as "recording" in /lyrd/status)
//   POST /recording/start  {"name": "show", "interval": 25, "media": "show.mp3"}
//                          ("interval" and "media" optional) starts a recording
//   POST /recording/stop   ends it and saves the sequence
// POST answers are result documents: "Status" "OK" or "ERROR", "Message",
// and "recording"; bad requests answer 400 with the reason, 503 when the
// daemon has no recorder.  The same runs through "Start Recording" and
// "Stop Recording" of the command registry, so both check the same way.
//
// Threading: stateless; the recorder has its own locks.
#pragma once

#include <memory>

#include "http/httpserver.h"

class RecordingResource : public httpserver::http_resource {
public:
    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;
};
