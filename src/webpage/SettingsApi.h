// The settings for the web page at "/ui/api/settings":
//   GET   {"settings": the descriptions of www/settings.json,
//          "values": every setting's current value, except that secrets
//          (isSecret) read "(set)" or "", "secret": their names}
//   POST  {"values": {NAME: VALUE, ...}}: every value is checked against
//         its description first; one bad value changes nothing and answers
//         400 with "errors": {NAME: reason}.  Good values are written to
//         the settings file; those marked "live" in their description take
//         effect at once, the others are listed in "restart" (they take
//         effect when the daemon starts again).
//
// Threading: HTTP workers; the settings store has its own lock.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>

#include "http/httpserver.h"

class SettingsApi : public httpserver::http_resource {
public:
    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;

    // Passwords and tokens: GET shows only "(set)" or "" for them.
    static bool isSecret(const std::string& name);
    // "" when value suits the description, else the reason.
    static std::string check(const Json::Value& description, const std::string& value);
};
