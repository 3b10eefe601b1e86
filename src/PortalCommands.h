// HTTP front of the command registry, for the web front end and scripts:
//   GET  /commands               descriptions of the visible commands
//   GET  /commands/NAME          one command's description (404 when unknown)
//   POST /command                runs {"command": NAME, "args": [..]}
//   POST /command/NAME[/A1..]    runs NAME; a JSON array body adds arguments
//   GET  /command/NAME/A1/A2...  runs NAME with the URL-decoded path pieces
//   GET  /commandPresets         the stored presets
// A command's result comes back with its own content type; an error result
// comes back as its text with status 400 (404 for an unknown command), and
// an unparsable body as "Error parsing POST content" with 400.
//
// Threading: stateless; the registry has its own lock.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

#include "http/httpserver.h"

class CommandResource : public httpserver::http_resource {
public:
    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;

private:
    std::shared_ptr<httpserver::http_response> runCommand(const std::string& name,
                                                          const std::vector<std::string>& args);
};
