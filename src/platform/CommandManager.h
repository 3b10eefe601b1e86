// The command registry: commands by name, run by name or from JSON, and
// presets (named lists of commands, optionally with a numeric slot).
//
// Presets live in the media directory's "config/commandPresets.json":
//   {"commands": [{"name": "LYRD_STARTED", "presetSlot": 0,
//                  "commands": [{"command": "Volume Set", "args": ["70"]}]}]}
// Arguments may hold %KEYWORD% markers replaced from the keyword map.
//
// Threading: one mutex guards the registry; commands run without it held, so
// a command may run other commands.
#pragma once

#include <json/json.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Command.h"

class CommandManager {
public:
    static CommandManager INSTANCE;

    void Init();
    void Cleanup();

    // The registry owns cmd.  A command of the same name is replaced.
    void addCommand(Command* cmd);
    void removeCommand(const std::string& name);
    Command* getCommand(const std::string& name);
    Json::Value getDescriptions();

    std::unique_ptr<Command::Result> run(const std::string& name, const std::vector<std::string>& args);
    // cmd has "command" (name) and "args" (array of strings).
    std::unique_ptr<Command::Result> run(const Json::Value& cmd);
    std::unique_ptr<Command::Result> run(const Json::Value& cmd, const std::map<std::string, std::string>& keywords);

    // Return the number of commands run; 0 when the preset is unknown.
    int TriggerPreset(std::string name);
    int TriggerPreset(int slot);
    int TriggerPreset(std::string name, std::map<std::string, std::string> keywords);

    // (Re)reads the presets file; bad JSON is logged and leaves no presets.
    void LoadPresets();
    Json::Value getPresets();

private:
    std::recursive_mutex lock;
    std::map<std::string, std::unique_ptr<Command>> commands;
    Json::Value presets;
};
