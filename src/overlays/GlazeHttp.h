// The HTTP answers of the overlay manager's resource ("/models",
// "/overlays"), kept apart from the manager's core.  See docs/overlays.md
// for the paths.  Every failure is answered (400/404/500 text/plain); none
// is thrown to the server.
//
// Threading: called on HTTP worker threads; model reads and edits take the
// manager's modelsLock, range edits its activeModelsLock.
#pragma once

#include <memory>

#include "http/httpserver.h"

class GlazeManager;

class GlazeHttp {
public:
    using Response = std::shared_ptr<httpserver::http_response>;
    static Response get(GlazeManager& manager, const httpserver::http_request& req);
    static Response post(GlazeManager& manager, const httpserver::http_request& req);
    static Response put(GlazeManager& manager, const httpserver::http_request& req);

    // The exact success text of write operations.
    static const char* const kOK;
};
