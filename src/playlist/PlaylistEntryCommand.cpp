#include "playlist/PlaylistEntryCommand.h"

#include "platform/CommandManager.h"
#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"

PlaylistEntryCommand::PlaylistEntryCommand(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    type = "command";
}

PlaylistEntryCommand::~PlaylistEntryCommand() {}

bool PlaylistEntryCommand::Init(Json::Value& config) {
    command = PlaylistValues::Text(config, "command", "", "command entry");
    if (command.empty()) {
        LogErr(VB_PLAYLIST, "Missing command entry\n");
        return false;
    }
    args.clear();
    if (config.isMember("args")) {
        const Json::Value& a = config["args"];
        if (!a.isArray()) {
            LogErr(VB_PLAYLIST, "Command entry '%s': \"args\" is not a list; no arguments used\n",
                   command.c_str());
        } else {
            for (const auto& v : a) {
                std::string text;
                if (!PlaylistValues::ArgText(v, text)) {
                    LogErr(VB_PLAYLIST, "Command entry '%s': an argument is not text; skipped\n",
                           command.c_str());
                    continue;
                }
                args.push_back(text);
            }
        }
    }
    return PlaylistEntryBase::Init(config);
}

int PlaylistEntryCommand::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    PlaylistEntryBase::StartPlaying();
    LogDebug(VB_PLAYLIST, "Running command '%s'\n", command.c_str());
    std::unique_ptr<Command::Result> result;
    try {
        result = CommandManager::INSTANCE.run(command, args);
    } catch (const std::exception& ex) {
        result = std::make_unique<Command::ErrorResult>(ex.what());
    }
    lastFailed = !result || result->isError();
    lastResult = result ? result->get() : "no result";
    if (lastFailed) {
        LogWarn(VB_PLAYLIST, "Playlist command '%s' failed: %s\n", command.c_str(), lastResult.c_str());
    }
    FinishPlay();
    return 1;
}

void PlaylistEntryCommand::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Command        : %s (%zu args)\n", command.c_str(), args.size());
}

Json::Value PlaylistEntryCommand::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["command"] = command;
    Json::Value a(Json::arrayValue);
    for (const auto& s : args) a.append(s);
    result["args"] = a;
    return result;
}
