// Network bridge input (channel data received from the LAN); none configured yet.
#pragma once

#include "platform/Callbacks.h"

inline void Bridge_Initialize(CallbackMap& callbacks) {}
inline void Bridge_Shutdown() {}
