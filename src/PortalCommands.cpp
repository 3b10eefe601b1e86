#include "PortalCommands.h"

#include "common.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

static std::shared_ptr<http_response> textAnswer(const std::string& text, int code) {
    return std::make_shared<string_response>(text, code, "text/plain");
}

static std::shared_ptr<http_response> jsonAnswer(const Json::Value& v) {
    return std::make_shared<string_response>(SaveJsonToString(v, "  "), 200, "application/json");
}

std::shared_ptr<http_response> CommandResource::runCommand(const std::string& name,
                                                           const std::vector<std::string>& args) {
    if (name.empty()) return textAnswer("No command given", 400);
    if (!CommandManager::INSTANCE.getCommand(name)) {
        LogWarn(VB_COMMAND, "HTTP request for unknown command '%s'\n", name.c_str());
        return textAnswer("Unknown command: '" + name + "'", 404);
    }
    std::unique_ptr<Command::Result> r = CommandManager::INSTANCE.run(name, args);
    if (!r) return textAnswer("Command '" + name + "' gave no result", 500);
    if (r->isError()) return textAnswer(r->get(), 400);
    return std::make_shared<string_response>(r->get(), 200, r->contentType());
}

std::shared_ptr<http_response> CommandResource::render_GET(const http_request& req) {
    // Pieces are decoded one by one so an argument may hold an encoded "/".
    std::vector<std::string> pieces = req.get_decoded_raw_pieces();
    if (pieces.empty()) return textAnswer("Not Found", 404);
    const std::string& root = pieces[0];
    if (root == "commands") {
        Json::Value all = CommandManager::INSTANCE.getDescriptions();
        if (pieces.size() == 1) return jsonAnswer(all);
        Command* c = CommandManager::INSTANCE.getCommand(pieces[1]);
        if (!c || pieces.size() > 2) return textAnswer("Not Found", 404);
        return jsonAnswer(c->getDescriptionJSON());
    }
    if (root == "commandPresets") {
        if (pieces.size() == 1) return jsonAnswer(CommandManager::INSTANCE.getPresets());
        return textAnswer("Not Found", 404);
    }
    if (root == "command") {
        if (pieces.size() < 2) return textAnswer("No command given", 400);
        std::vector<std::string> args(pieces.begin() + 2, pieces.end());
        return runCommand(pieces[1], args);
    }
    return textAnswer("Not Found", 404);
}

std::shared_ptr<http_response> CommandResource::render_POST(const http_request& req) {
    std::vector<std::string> pieces = req.get_decoded_raw_pieces();
    if (pieces.empty() || pieces[0] != "command") return render(req);
    if (pieces.size() > 1) {
        // POST /command/NAME with a JSON array body of arguments, or none.
        std::vector<std::string> args(pieces.begin() + 2, pieces.end());
        if (!req.get_content().empty()) {
            Json::Value body;
            if (!LoadJsonFromString(req.get_content(), body) || !body.isArray()) {
                return textAnswer("Arguments must be a JSON array of strings", 400);
            }
            for (const auto& a : body) {
                if (!a.isConvertibleTo(Json::stringValue))
                    return textAnswer("Arguments must be strings", 400);
                args.push_back(a.asString());
            }
        }
        return runCommand(pieces[1], args);
    }
    Json::Value body;
    if (req.get_content().empty() || !LoadJsonFromString(req.get_content(), body) || !body.isObject()) {
        return textAnswer("Expected a JSON object with \"command\" and \"args\"", 400);
    }
    if (!body["command"].isString()) return textAnswer("'command' field not specified", 400);
    std::vector<std::string> args;
    const Json::Value& a = body["args"];
    if (!a.isNull() && !a.isArray()) return textAnswer("'args' must be an array", 400);
    for (const auto& v : a) {
        if (!v.isConvertibleTo(Json::stringValue) || v.isNull())
            return textAnswer("'args' must hold strings", 400);
        args.push_back(v.asString());
    }
    return runCommand(body["command"].asString(), args);
}
