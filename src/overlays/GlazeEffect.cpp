#include "overlays/GlazeEffect.h"

#include <memory>

#include "overlays/GlazeColorFade.h"
#include "overlays/GlazeTextEffect.h"

namespace {
// Effects are stateless recipes, so one fixed set serves every model.
const std::vector<std::unique_ptr<GlazeEffect>>& registry() {
    static const std::vector<std::unique_ptr<GlazeEffect>> effects = [] {
        std::vector<std::unique_ptr<GlazeEffect>> v;
        v.emplace_back(new GlazeTextEffect());
        v.emplace_back(new GlazeColorFade());
        return v;
    }();
    return effects;
}
}  // namespace

Json::Value GlazeEffect::getDescription() const {
    // Same shape as a command description, so clients build the effect's
    // argument form like a command's.
    struct Describer : public Command {
        Describer(const std::string& n, const std::string& d) : Command(n, d) {}
        std::unique_ptr<Result> run(const std::vector<std::string>&) override { return nullptr; }
    } d(name, description);
    d.args = args;
    Json::Value v = d.getDescriptionJSON();
    v.removeMember("hidden");
    return v;
}

std::list<std::string> GlazeEffect::GetGlazeEffects() {
    std::list<std::string> names;
    for (const auto& e : registry()) names.push_back(e->name);
    return names;
}

GlazeEffect* GlazeEffect::GetGlazeEffect(const std::string& name) {
    for (const auto& e : registry()) {
        if (e->name == name) return e.get();
    }
    return nullptr;
}
