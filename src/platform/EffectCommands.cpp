#include "platform/EffectCommands.h"

#include "platform/CommandArgs.h"
#include "platform/CommandManager.h"
#include "platform/Effects.h"

using namespace CommandArgs;

namespace {

using Args = std::vector<std::string>;

std::unique_ptr<Command::Result> startEffect(const Args& a) {
    std::string name = At(a, 0);
    if (name.empty()) return Error("Effect Start needs an effect name");
    int startChannel = 0;
    bool loop = false, background = false;
    if (!At(a, 1).empty() && !ParseInt(a[1], startChannel))
        return Error("Effect Start: startChannel must be a channel number (0: the effect's own)");
    if (!ParseFlag(At(a, 2), loop)) return Error("Effect Start: loop must be true or false");
    if (!ParseFlag(At(a, 3), background)) return Error("Effect Start: background must be true or false");
    std::string error;
    int id = StartEffect(name, startChannel, loop ? 1 : 0, background, error);
    if (id < 0) return Error(error);
    return Ok("Effect '" + name + "' started with id " + std::to_string(id));
}

// A number is an id when an effect has it; otherwise the text is a name.
std::unique_ptr<Command::Result> stopEffect(const Args& a) {
    std::string which = At(a, 0);
    if (which.empty()) return Error("Effect Stop needs an effect name or id");
    int id;
    if (ParseInt(which, id) && StopEffect(id)) return Ok("Effect " + which + " stopped");
    if (StopEffect(which)) return Ok("Effect '" + which + "' stopped");
    return Error("No running effect '" + which + "'");
}

}  // namespace

void RegisterEffectCommands() {
    CommandManager& cm = CommandManager::INSTANCE;
    auto* start = new FunctionCommand("Effect Start", "Starts an effect sequence over the show", startEffect);
    start->arg("effect", "string", "Effect (a file of the effects folder)")
        .arg("startChannel", "int", "Start Channel (0: the effect's own)", true, "0")
        .arg("loop", "bool", "Loop", true, "false")
        .arg("background", "bool", "Background", true, "false");
    start->args[1].min = 0;
    cm.addCommand(start);

    auto* stop = new FunctionCommand("Effect Stop", "Stops a running effect by name or id", stopEffect);
    stop->arg("effect", "string", "Effect name or id");
    cm.addCommand(stop);

    cm.addCommand(new FunctionCommand("Effects Stop All", "Stops every running effect", [](const Args&) {
        StopAllEffects();
        return Ok("All effects stopped");
    }));
}
