// Network bridge input (channel data received from the LAN); none configured yet.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

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
// Copies the bridge buffer's channels 1..len (channel 1 at dst[0]) as they are
// now; channels no input covers read as 0.  Any thread.
inline void CopyBridgeData(uint8_t* dst, size_t len) { memset(dst, 0, len); }
// Highest channel (1-based) any configured input universe fills; 0 with none.
inline uint32_t GetBridgeMaxChannel() { return 0; }
