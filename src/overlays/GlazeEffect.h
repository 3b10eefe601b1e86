// Overlay effects: named recipes that start a running effect on a model.
//
// The registry is fixed at build time ("Text", "Color Fade"); its names and
// descriptions are served at "overlays/effects" for the "subcommand"
// argument of the "Overlay Model Effect" command.  A description has the
// shape of a command description: {"name", "description", "args": [...]}.
//
// A running effect belongs to one model (GlazeModel::setRunningEffect) and is
// stepped through GlazeModel::updateRunningEffects, always under the model's
// effect lock, so update() never runs twice at once.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "platform/Command.h"

class GlazeModel;

class GlazeRunningEffect {
public:
    explicit GlazeRunningEffect(GlazeModel* model) : model(model) {}
    virtual ~GlazeRunningEffect() {}
    virtual const std::string& name() const = 0;
    // One step: ms until the next one, 0 when the effect has finished, < 0
    // for right after the next frame.
    virtual int32_t update() = 0;

protected:
    GlazeModel* model;
};

class GlazeEffect {
public:
    GlazeEffect(const std::string& name, const std::string& description)
        : name(name), description(description) {}
    virtual ~GlazeEffect() {}

    const std::string name;
    const std::string description;
    std::vector<Command::CommandArg> args;

    virtual Json::Value getDescription() const;
    // Checks the arguments and starts the effect on the model (which then
    // owns it).  On bad arguments returns false with failure set and leaves
    // the model as it was.
    virtual bool apply(GlazeModel* model, const std::vector<std::string>& args, std::string& failure) = 0;

    // Names in registry order.
    static std::list<std::string> GetGlazeEffects();
    // Null when unknown.
    static GlazeEffect* GetGlazeEffect(const std::string& name);
};
