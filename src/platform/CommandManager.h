// The command registry: commands by name, run by name or from JSON, and
// presets (named lists of commands, optionally with a numeric slot).
//
// Presets live in the media directory's "config/commandPresets.json":
//   {"commands": [
//     {"name": "LYRD_STARTED", "presetSlot": 3,
//      "commands": [{"command": "Trigger Preset", "args": ["LIGHTS_ON"]}]}]}
// "presetSlot" is optional; slots are numbers from 1 (0 or absent: no slot).
// Several presets may share a name or a slot: all of them run, in file order.
// Arguments may hold %KEYWORD% markers, replaced when a preset runs from the
// keyword map and the built-in %TIME%, %DATE%, %LYR_VERSION%, ... keywords.
// See docs/commands.md.
//
// Failures never throw: an unknown command, bad JSON or a command that
// throws gives a Command::ErrorResult with a readable message.
//
// Threading: one mutex guards the registry; commands run without it held, so
// a command may run other commands, and a command replaced or removed while
// it runs stays alive until its run returns.
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

    // Registers the built-in commands and loads the presets.
    void Init();
    // Releases every command and forgets the presets.
    void Cleanup();

    // The registry owns cmd.  A command of the same name is replaced.
    void addCommand(Command* cmd);
    void removeCommand(const std::string& name);
    // nullptr when unknown.  The pointer is valid until the command is
    // removed or replaced.
    Command* getCommand(const std::string& name);
    // Descriptions (Command::getDescriptionJSON) of the visible commands, by name.
    Json::Value getDescriptions();

    // Never returns nullptr.
    std::unique_ptr<Command::Result> run(const std::string& name, const std::vector<std::string>& args);
    // Lets run("Name", {}) pick the by-name form rather than the JSON one.
    std::unique_ptr<Command::Result> run(const char* name, const std::vector<std::string>& args) {
        return run(std::string(name ? name : ""), args);
    }
    // cmd has "command" (name) and "args" (array of strings; numbers and
    // booleans are taken as their text).  No keyword replacement.
    std::unique_ptr<Command::Result> run(const Json::Value& cmd);
    // As above, with %KEYWORD% replacement in every argument.
    std::unique_ptr<Command::Result> run(const Json::Value& cmd,
                                         const std::map<std::string, std::string>& keywords);

    // Return the number of commands run (0 for a preset without commands);
    // -1 when no preset has that name or slot.
    int TriggerPreset(std::string name);
    int TriggerPreset(int slot);
    int TriggerPreset(std::string name, std::map<std::string, std::string> keywords);

    // (Re)reads the presets file; bad JSON is logged and leaves no presets.
    void LoadPresets();
    // The presets document as loaded: {"commands": [...]}.
    Json::Value getPresets();

private:
    std::vector<Json::Value> presetCommands(bool byName, const std::string& name, int slot, bool& found);
    int runPresetCommands(const std::string& label, const std::vector<Json::Value>& cmds,
                          const std::map<std::string, std::string>& keywords);

    std::recursive_mutex lock;
    std::map<std::string, std::shared_ptr<Command>> commands;
    Json::Value presets;
};
