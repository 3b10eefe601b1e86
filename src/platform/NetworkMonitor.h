// Watches network address and link changes; replaced by the rtnetlink monitor.
#pragma once

#include "platform/Callbacks.h"

class NetworkMonitor {
public:
    static NetworkMonitor INSTANCE;
    void Init(CallbackMap& callbacks) {}
};
