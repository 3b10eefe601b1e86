// Plug-ins: none are loaded yet; the hooks the daemon calls exist.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Callbacks.h"

class PluginManager {
public:
    static PluginManager INSTANCE;
    void init() {}
    void loadUserPlugins() {}
    void Cleanup() {}
    void addControlCallbacks(CallbackMap& callbacks) {}
    // Sync payload another system sent to the plug-in `name`.
    void lockstepData(const std::string& name, const uint8_t* data, int len) {}
};
