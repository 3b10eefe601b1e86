#include "overlays/OverlayCommands.h"

#include <mutex>

#include "common.h"
#include "overlays/GlazeManager.h"
#include "overlays/GlazeModel.h"
#include "overlays/GlazeUtil.h"
#include "platform/CommandManager.h"

namespace {

const char* kModelsUrl = "api/models?simple=true";

std::unique_ptr<Command::Result> error(const std::string& text) {
    return std::make_unique<Command::ErrorResult>(text);
}

std::unique_ptr<Command::Result> countError(const std::string& message, size_t count) {
    return error(message + std::to_string(count));
}

// All listed models, or the first missing name.
bool findModels(GlazeManager* manager, const std::string& list, std::vector<GlazeModel*>& found,
                std::string& missing) {
    for (const auto& n : split(list, ',')) {
        GlazeModel* m = manager->getModel(n);
        if (!m) {
            missing = n;
            return false;
        }
        found.push_back(m);
    }
    if (found.empty()) {
        missing = list;
        return false;
    }
    return true;
}

Command::CommandArg arg(const std::string& name, const std::string& type, const std::string& description,
                        const std::vector<std::string>& choices = {}, const std::string& def = "") {
    Command::CommandArg a(name, type, description);
    a.allowableValues = choices;
    a.defaultValue = def;
    return a;
}

}  // namespace

const std::vector<std::string>& OverlayCommand::names() {
    static const std::vector<std::string> n{"Overlay Model State", "Overlay Model Fill", "Overlay Model Text",
                                            "Overlay Model Clear", "Overlay Model Effect"};
    return n;
}

void OverlayCommand::addModelArg(const std::string& argName, const std::string& type) {
    CommandArg a(argName, type, argName);
    a.contentListUrl = kModelsUrl;
    args.push_back(a);
}

EnableOverlayCommand::EnableOverlayCommand(GlazeManager* m) : OverlayCommand("Overlay Model State", m) {
    addModelArg("Model", "multistring");
    args.push_back(arg("State", "string", "State", {"Disabled", "Enabled", "Transparent", "TransparentRGB"}));
}

std::unique_ptr<Command::Result> EnableOverlayCommand::run(const std::vector<std::string>& a) {
    if (a.size() != 2) return countError("Command needs 2 arguments, found ", a.size());
    std::lock_guard<std::mutex> l(manager->modelsLock);
    std::vector<GlazeModel*> models;
    std::string missing;
    if (!findModels(manager, a[0], models, missing)) return error("No model found: " + missing);
    for (GlazeModel* m : models) m->setState(GlazeState(a[1]));
    return std::make_unique<Result>("Model State Set");
}

FillOverlayCommand::FillOverlayCommand(GlazeManager* m) : OverlayCommand("Overlay Model Fill", m) {
    addModelArg("Model", "multistring");
    args.push_back(
        arg("State", "string", "State", {"Don't Set", "Enabled", "Transparent", "TransparentRGB"}));
    args.push_back(arg("Color", "color", "Color", {}, "#FF0000"));
}

std::unique_ptr<Command::Result> FillOverlayCommand::run(const std::vector<std::string>& a) {
    if (a.size() != 2 && a.size() != 3) return countError("Command needs 2 or 3 arguments, found ", a.size());
    std::string state = a.size() == 3 ? a[1] : "Don't Set";
    const std::string& color = a.size() == 3 ? a[2] : a[1];
    // The colour is read before any model changes, so a bad one leaves the
    // models as they were.
    unsigned c;
    if (!tryMapColor(color, c)) return error("Invalid color: " + color);
    std::lock_guard<std::mutex> l(manager->modelsLock);
    std::vector<GlazeModel*> models;
    std::string missing;
    if (!findModels(manager, a[0], models, missing)) return error("No model found: " + missing);
    for (GlazeModel* m : models) {
        if (state != "Don't Set") m->setState(GlazeState(state));
        m->fillOverlayBuffer((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
        m->flushOverlayBuffer();
    }
    return std::make_unique<Result>("Models Filled");
}

TextOverlayCommand::TextOverlayCommand(GlazeManager* m) : OverlayCommand("Overlay Model Text", m) {
    addModelArg("Model", "string");
    args.push_back(arg("Color", "color", "Color", {}, "#FF0000"));
    CommandArg font("Font", "string", "Font");
    font.contentListUrl = "api/overlays/fonts";
    args.push_back(font);
    CommandArg size = arg("FontSize", "int", "FontSize", {}, "18");
    size.min = 4;
    size.max = 100;
    args.push_back(size);
    args.push_back(arg("FontAntiAlias", "bool", "Anti-Aliased", {}, "false"));
    args.push_back(arg("Position", "string", "Position",
                       {"Center", "Right to Left", "Left to Right", "Bottom to Top", "Top to Bottom"}));
    CommandArg speed = arg("Speed", "int", "Scroll Speed", {}, "10");
    speed.min = 0;
    speed.max = 200;
    args.push_back(speed);
    args.push_back(arg("AutoEnable", "bool", "Auto Enable/Disable Model", {}, "false"));
    args.push_back(arg("Text", "string", "Text"));
}

std::unique_ptr<Command::Result> TextOverlayCommand::run(const std::vector<std::string>& a) {
    if (a.size() < 8) return countError("Command needs 9 arguments, found ", a.size());
    bool nine = a.size() == 9;
    std::vector<std::string> effectArgs{a[0], nine ? a[7] : "true", "Text"};
    for (size_t i = 1; i <= 6; i++) effectArgs.push_back(a[i]);
    effectArgs.push_back("0");
    effectArgs.push_back(nine ? a[8] : a[7]);
    return CommandManager::INSTANCE.run("Overlay Model Effect", effectArgs);
}

ClearOverlayCommand::ClearOverlayCommand(GlazeManager* m) : OverlayCommand("Overlay Model Clear", m) {
    addModelArg("Model", "multistring");
}

std::unique_ptr<Command::Result> ClearOverlayCommand::run(const std::vector<std::string>& a) {
    if (a.size() != 1) return countError("Command needs 1 argument, found ", a.size());
    std::lock_guard<std::mutex> l(manager->modelsLock);
    std::vector<GlazeModel*> models;
    std::string missing;
    if (!findModels(manager, a[0], models, missing)) return error("No model found: " + missing);
    for (GlazeModel* m : models) m->clear();
    return std::make_unique<Result>("Models Cleared");
}

ApplyEffectOverlayCommand::ApplyEffectOverlayCommand(GlazeManager* m)
    : OverlayCommand("Overlay Model Effect", m) {
    addModelArg("Models", "multistring");
    args.push_back(arg("AutoEnable", "string", "Auto Enable/Disable",
                       {"False", "Enabled", "Transparent", "Transparent RGB"}, "Enabled"));
    CommandArg effect("Effect", "subcommand", "Effect");
    effect.contentListUrl = "api/overlays/effects/";
    args.push_back(effect);
}

std::unique_ptr<Command::Result> ApplyEffectOverlayCommand::run(const std::vector<std::string>& a) {
    if (a.size() < 3) return countError("Command needs at least 3 arguments, found ", a.size());
    std::lock_guard<std::mutex> l(manager->modelsLock);
    std::vector<GlazeModel*> models;
    std::string missing;
    if (!findModels(manager, a[0], models, missing)) return error("No model found: " + missing);
    std::vector<std::string> effectArgs(a.begin() + 3, a.end());
    for (GlazeModel* m : models) {
        if (!m->applyEffect(a[1], a[2], effectArgs)) return error("Could not start effect: " + a[2]);
    }
    return std::make_unique<Result>("Model Effect Started");
}
