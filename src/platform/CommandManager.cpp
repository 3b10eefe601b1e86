#include "platform/CommandManager.h"

#include <cerrno>
#include <cstdlib>
#include <exception>

#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

// Commands are registered from other static objects' start-up code in some
// builds; construct the registry ahead of ordinary static objects.
CommandManager CommandManager::INSTANCE __attribute__((init_priority(102)));

namespace {

// A preset may trigger presets; a loop of them must end instead of
// exhausting the stack.
const int MAX_PRESET_DEPTH = 8;
thread_local int presetDepth = 0;

std::string presetsPath() {
    return getLyrMediaDir("/config/commandPresets.json");
}

class TriggerPresetCommand : public Command {
public:
    TriggerPresetCommand() : Command("Trigger Preset", "Runs the commands of a named preset") {
        args.push_back(CommandArg("name", "string", "Preset name"));
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.empty()) return std::make_unique<ErrorResult>("Trigger Preset needs a preset name");
        int n = CommandManager::INSTANCE.TriggerPreset(a[0]);
        if (n < 0)
            return std::make_unique<ErrorResult>("Preset '" + a[0] + "' not found (or nested too deeply)");
        return std::make_unique<Result>("Preset '" + a[0] + "' triggered");
    }
};

class TriggerPresetSlotCommand : public Command {
public:
    TriggerPresetSlotCommand()
        : Command("Trigger Preset Slot", "Runs the commands of the presets in a slot") {
        CommandArg slot("slot", "int", "Preset slot");
        slot.min = 1;
        slot.max = 255;
        args.push_back(slot);
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.empty()) return std::make_unique<ErrorResult>("Trigger Preset Slot needs a slot number");
        char* end = nullptr;
        errno = 0;
        long slot = strtol(a[0].c_str(), &end, 10);
        if (a[0].empty() || *end != '\0' || errno != 0 || slot < 1 || slot > 0x7fffffff) {
            return std::make_unique<ErrorResult>("Invalid preset slot '" + a[0] + "'");
        }
        int n = CommandManager::INSTANCE.TriggerPreset(static_cast<int>(slot));
        if (n < 0) return std::make_unique<ErrorResult>("No preset in slot " + a[0]);
        return std::make_unique<Result>("Preset slot " + a[0] + " triggered");
    }
};

// Text of one JSON argument; false for objects, arrays and null.
bool argText(const Json::Value& v, std::string& out) {
    return JsonArgText(v, out);
}

int presetSlotOf(const Json::Value& preset) {
    const Json::Value& s = preset["presetSlot"];
    if (s.isIntegral() && s.isInt()) return s.asInt();
    if (s.isString()) return atoi(s.asString().c_str());
    return 0;
}

}  // namespace

void CommandManager::Init() {
    addCommand(new TriggerPresetCommand());
    addCommand(new TriggerPresetSlotCommand());
    LoadPresets();
}

void CommandManager::Cleanup() {
    std::map<std::string, std::shared_ptr<Command>> old;
    {
        std::lock_guard<std::recursive_mutex> l(lock);
        old.swap(commands);
        presets = Json::Value();
    }
    // Destroyed outside the lock: a command's destructor may use the registry.
    old.clear();
}

void CommandManager::addCommand(Command* cmd) {
    if (!cmd) return;
    std::shared_ptr<Command> previous;
    {
        std::lock_guard<std::recursive_mutex> l(lock);
        auto it = commands.find(cmd->name);
        if (it != commands.end()) {
            if (it->second.get() == cmd) return;  // already ours; taking it twice would free it twice
            previous = it->second;
            LogDebug(VB_COMMAND, "Replacing command '%s'\n", cmd->name.c_str());
        }
        commands[cmd->name] = std::shared_ptr<Command>(cmd);
    }
}

void CommandManager::removeCommand(const std::string& name) {
    std::shared_ptr<Command> old;
    std::lock_guard<std::recursive_mutex> l(lock);
    auto it = commands.find(name);
    if (it == commands.end()) return;
    old = it->second;
    commands.erase(it);
}

Command* CommandManager::getCommand(const std::string& name) {
    std::lock_guard<std::recursive_mutex> l(lock);
    auto it = commands.find(name);
    return it == commands.end() ? nullptr : it->second.get();
}

Json::Value CommandManager::getDescriptions() {
    std::vector<std::shared_ptr<Command>> all;
    {
        std::lock_guard<std::recursive_mutex> l(lock);
        for (auto& c : commands) all.push_back(c.second);
    }
    Json::Value out(Json::arrayValue);
    for (auto& c : all) {
        if (!c->hidden()) out.append(c->getDescriptionJSON());
    }
    return out;
}

std::unique_ptr<Command::Result> CommandManager::run(const std::string& name,
                                                     const std::vector<std::string>& args) {
    std::shared_ptr<Command> cmd;
    {
        std::lock_guard<std::recursive_mutex> l(lock);
        auto it = commands.find(name);
        if (it != commands.end()) cmd = it->second;
    }
    if (!cmd) {
        LogWarn(VB_COMMAND, "Unknown command '%s'\n", name.c_str());
        return std::make_unique<Command::ErrorResult>("Unknown command: '" + name + "'");
    }
    if (WillLog(LOG_DEBUG, VB_COMMAND)) {
        std::string joined;
        for (const auto& a : args) joined += (joined.empty() ? "" : ", ") + a;
        LogDebug(VB_COMMAND, "Running command '%s' (%s)\n", name.c_str(), joined.c_str());
    }
    try {
        std::unique_ptr<Command::Result> r = cmd->run(args);
        if (!r) return std::make_unique<Command::Result>("");
        return r;
    } catch (const std::exception& e) {
        LogErr(VB_COMMAND, "Command '%s' failed: %s\n", name.c_str(), e.what());
        return std::make_unique<Command::ErrorResult>("Error running command '" + name + "': " + e.what());
    } catch (...) {
        LogErr(VB_COMMAND, "Command '%s' failed with an unknown exception\n", name.c_str());
        return std::make_unique<Command::ErrorResult>("Error running command '" + name + "'");
    }
}

std::unique_ptr<Command::Result> CommandManager::run(const Json::Value& cmd) {
    if (!cmd.isObject() || !cmd["command"].isString() || cmd["command"].asString().empty()) {
        std::string text = SaveJsonToString(cmd);
        LogWarn(VB_COMMAND, "Invalid command JSON: %s\n", text.c_str());
        return std::make_unique<Command::ErrorResult>("Invalid command: a \"command\" name is required");
    }
    std::string name = cmd["command"].asString();
    std::vector<std::string> args;
    const Json::Value& list = cmd["args"];
    if (!list.isNull() && !list.isArray()) {
        LogWarn(VB_COMMAND, "Invalid \"args\" for command '%s'\n", name.c_str());
        return std::make_unique<Command::ErrorResult>("Invalid command '" + name +
                                                      "': \"args\" must be an array");
    }
    for (const auto& a : list) {
        std::string text;
        if (!argText(a, text)) {
            LogWarn(VB_COMMAND, "Invalid argument for command '%s'\n", name.c_str());
            return std::make_unique<Command::ErrorResult>("Invalid command '" + name +
                                                          "': arguments must be strings or numbers");
        }
        args.push_back(text);
    }
    return run(name, args);
}

std::unique_ptr<Command::Result> CommandManager::run(const Json::Value& cmd,
                                                     const std::map<std::string, std::string>& keywords) {
    if (!cmd.isObject() || !cmd["args"].isArray()) return run(cmd);
    Json::Value replaced = cmd;
    std::map<std::string, std::string> kw = keywords;
    for (auto& a : replaced["args"]) {
        if (a.isString()) a = ReplaceKeywords(a.asString(), kw);
    }
    return run(replaced);
}

std::vector<Json::Value> CommandManager::presetCommands(bool byName, const std::string& name, int slot,
                                                        bool& found) {
    std::vector<Json::Value> out;
    found = false;
    std::lock_guard<std::recursive_mutex> l(lock);
    const Json::Value& doc = presets;
    const Json::Value& all = doc["commands"];
    if (!all.isArray()) return out;
    for (const auto& p : all) {
        bool match = byName ? (p["name"].asString() == name) : (slot > 0 && presetSlotOf(p) == slot);
        if (!match) continue;
        found = true;
        for (const auto& c : p["commands"]) out.push_back(c);
    }
    return out;
}

int CommandManager::runPresetCommands(const std::string& label, const std::vector<Json::Value>& cmds,
                                      const std::map<std::string, std::string>& keywords) {
    if (presetDepth >= MAX_PRESET_DEPTH) {
        LogErr(VB_COMMAND, "Not running preset %s: presets nested more than %d deep\n", label.c_str(),
               MAX_PRESET_DEPTH);
        return -1;
    }
    presetDepth++;
    int count = 0;
    for (const auto& c : cmds) {
        std::unique_ptr<Command::Result> r = run(c, keywords);
        if (r->isError()) LogWarn(VB_COMMAND, "Preset %s: %s\n", label.c_str(), r->get().c_str());
        count++;
    }
    presetDepth--;
    return count;
}

int CommandManager::TriggerPreset(std::string name) {
    return TriggerPreset(name, {});
}

int CommandManager::TriggerPreset(int slot) {
    bool found = false;
    std::vector<Json::Value> cmds = presetCommands(false, "", slot, found);
    if (!found) {
        LogDebug(VB_COMMAND, "No preset in slot %d\n", slot);
        return -1;
    }
    LogDebug(VB_COMMAND, "Triggering preset slot %d\n", slot);
    return runPresetCommands("slot " + std::to_string(slot), cmds, {});
}

int CommandManager::TriggerPreset(std::string name, std::map<std::string, std::string> keywords) {
    bool found = false;
    std::vector<Json::Value> cmds = presetCommands(true, name, 0, found);
    if (!found) {
        LogDebug(VB_COMMAND, "No preset named '%s'\n", name.c_str());
        return -1;
    }
    LogDebug(VB_COMMAND, "Triggering preset '%s'\n", name.c_str());
    return runPresetCommands("'" + name + "'", cmds, keywords);
}

void CommandManager::LoadPresets() {
    std::string path = presetsPath();
    Json::Value loaded(Json::objectValue);
    loaded["commands"] = Json::Value(Json::arrayValue);
    if (!FileExists(path)) {
        LogDebug(VB_COMMAND, "No command presets file %s\n", path.c_str());
    } else {
        Json::Value doc;
        if (!LoadJsonFromString(GetFileContents(path), doc)) {
            LogErr(VB_COMMAND, "Unable to parse command presets file %s; no presets loaded\n", path.c_str());
        } else if (!doc.isObject() || !doc["commands"].isArray()) {
            LogErr(VB_COMMAND, "Command presets file %s has no \"commands\" list; no presets loaded\n",
                   path.c_str());
        } else {
            for (const auto& p : doc["commands"]) {
                if (!p.isObject() || !p["name"].isString() || p["name"].asString().empty() ||
                    !(p["commands"].isArray() || p["commands"].isNull())) {
                    LogWarn(VB_COMMAND, "Skipping invalid preset in %s: %s\n", path.c_str(),
                            SaveJsonToString(p).c_str());
                    continue;
                }
                loaded["commands"].append(p);
            }
        }
    }
    LogDebug(VB_COMMAND, "Loaded %u command presets\n", loaded["commands"].size());
    std::lock_guard<std::recursive_mutex> l(lock);
    presets = loaded;
}

Json::Value CommandManager::getPresets() {
    std::lock_guard<std::recursive_mutex> l(lock);
    if (presets.isNull()) {
        Json::Value empty(Json::objectValue);
        empty["commands"] = Json::Value(Json::arrayValue);
        return empty;
    }
    return presets;
}
