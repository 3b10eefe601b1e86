// The five overlay commands of the command registry.  Each acts on models
// named in its first argument (several separated by commas, except "Overlay
// Model Text"), checks every name before touching any model, and runs under
// the manager's modelsLock (the text command hands over to the effect
// command, which takes it).
//
//   "Overlay Model State"  Model, State               -> "Model State Set"
//   "Overlay Model Fill"   Model, [State,] Color      -> "Models Filled"
//   "Overlay Model Text"   Model, Color, Font, FontSize, FontAntiAlias,
//                          Position, Speed, [AutoEnable,] Text (hidden)
//   "Overlay Model Clear"  Model                      -> "Models Cleared"
//   "Overlay Model Effect" Models, AutoEnable, Effect, effect args...
//                                                     -> "Model Effect Started"
#pragma once

#include "platform/Command.h"

class GlazeManager;

class OverlayCommand : public Command {
public:
    OverlayCommand(const std::string& name, GlazeManager* manager) : Command(name), manager(manager) {}
    GlazeManager* getManager() const { return manager; }
    // The five names, in registration order.
    static const std::vector<std::string>& names();

protected:
    // Adds the "Model(s)" argument every command starts with.
    void addModelArg(const std::string& argName, const std::string& type);
    GlazeManager* manager;
};

class EnableOverlayCommand : public OverlayCommand {
public:
    explicit EnableOverlayCommand(GlazeManager* manager);
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

class FillOverlayCommand : public OverlayCommand {
public:
    explicit FillOverlayCommand(GlazeManager* manager);
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

class TextOverlayCommand : public OverlayCommand {
public:
    explicit TextOverlayCommand(GlazeManager* manager);
    bool hidden() const override { return true; }
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

class ClearOverlayCommand : public OverlayCommand {
public:
    explicit ClearOverlayCommand(GlazeManager* manager);
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

class ApplyEffectOverlayCommand : public OverlayCommand {
public:
    explicit ApplyEffectOverlayCommand(GlazeManager* manager);
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
