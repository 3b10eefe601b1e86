// Network bridge input (channel data received from the LAN); none configured yet.
#pragma once

#include <json/json.h>

#include "platform/Callbacks.h"

inline void Bridge_Initialize(CallbackMap& callbacks) {}
inline void Bridge_Shutdown() {}
// True while bridge input holds recent channel data.
inline bool HasBridgeData() { return false; }
// Per-universe receive counters: {"universes": [...]}; empty while no
// universe is configured for input.
inline Json::Value GetE131UniverseBytesReceived() {
    Json::Value result;
    result["universes"] = Json::Value(Json::arrayValue);
    return result;
}
inline void ResetBytesReceived() {}
