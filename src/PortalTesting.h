// HTTP front of the channel tester at "/lyrd/testing":
//   GET  the current test configuration (JSON)
//   POST a test configuration (see platform/ChannelTester.h); {"enabled": 0}
//        ends the test.  Answers the result document: OK, or 400 with the
//        tester's reason when it refuses the configuration.
//
// Threading: stateless; the tester has its own lock.
#pragma once

#include <memory>

#include "http/httpserver.h"

class TestingResource : public httpserver::http_resource {
public:
    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;
};
