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

// Unknown names answer 404 before anything runs; the registry's own error
// texts (bad arguments, failures) answer 400.
template <typename F>
static std::shared_ptr<http_response> answerResult(const std::string& name, F run) {
    if (!name.empty() && !CommandManager::INSTANCE.getCommand(name)) {
        LogWarn(VB_COMMAND, "HTTP request for unknown command '%s'\n", name.c_str());
        return textAnswer("Unknown command: '" + name + "'", 404);
    }
    std::unique_ptr<Command::Result> r = run();
    if (!r) return textAnswer("Command '" + name + "' gave no result", 500);
    if (r->isError()) return textAnswer(r->get(), 400);
    return std::make_shared<string_response>(r->get(), 200, r->contentType());
}

std::shared_ptr<http_response> CommandResource::runCommand(const std::string& name,
                                                           const std::vector<std::string>& args) {
    if (name.empty()) return textAnswer("No command given", 400);
    return answerResult(name, [&] { return CommandManager::INSTANCE.run(name, args); });
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
    Json::Value body;
    if (!req.get_content().empty() && !LoadJsonFromString(req.get_content(), body)) {
        return textAnswer("Error parsing POST content", 400);
    }
    Json::Value cmd(Json::objectValue);
    if (pieces.size() > 1) {
        // POST /command/NAME[/ARG..] with an optional JSON array of more arguments.
        if (!body.isNull() && !body.isArray()) return textAnswer("Arguments must be a JSON array", 400);
        cmd["command"] = pieces[1];
        cmd["args"] = Json::Value(Json::arrayValue);
        for (size_t i = 2; i < pieces.size(); ++i) cmd["args"].append(pieces[i]);
        for (const auto& a : body) cmd["args"].append(a);
    } else if (body.isObject()) {
        cmd = body;
    }
    std::string name = cmd["command"].isString() ? cmd["command"].asString() : "";
    return answerResult(name, [&] { return CommandManager::INSTANCE.run(cmd); });
}
