// Plug-ins: none are loaded yet; the hooks the daemon calls exist.
#pragma once

#include "platform/Callbacks.h"

class PluginManager {
public:
    static PluginManager INSTANCE;
    void init() {}
    void loadUserPlugins() {}
    void Cleanup() {}
    void addControlCallbacks(CallbackMap& callbacks) {}
};
