// Network bridge input: sACN and Art-Net received into the bridge buffer
// (see channelinput/ChannelInputs.h), configured by the media directory's
// "config/ci-universes.json".  Bridge_Initialize loads that file, opens the
// receive sockets and puts them in the main loop's callbacks; a callback
// returns true (output now) when live data changed while no sequence plays,
// so live input leaves as soon as it arrives instead of at the next tick.
//
// Threading: Bridge_Initialize/Bridge_Shutdown and the callbacks on the main
// thread; everything else from any thread.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>

#include "platform/Callbacks.h"

void Bridge_Initialize(CallbackMap& callbacks);
void Bridge_Shutdown();
// True while any input universe holds data younger than 2.5 s.
bool HasBridgeData();
// Per-universe receive counters: {"universes": [...]}; empty while no
// universe is configured for input.
Json::Value GetE131UniverseBytesReceived();
void ResetBytesReceived();
// Copies the bridge buffer's channels 1..len (channel 1 at dst[0]) as they are
// now; channels no input covers read as 0.  Any thread.
void CopyBridgeData(uint8_t* dst, size_t len);
// Highest channel (1-based) any configured input universe fills; 0 with none.
uint32_t GetBridgeMaxChannel();

// ---- the channel-output layer's side ----

// Frame composition step: live input universes replace the channels they
// cover in buf (size bytes); the rest is left as it is.
void ApplyBridgeData(uint8_t* buf, size_t size);
// True when no sequence plays and live input made the main loop send a
// frame at or after `sinceNS` (monotonic): a paced frame would only repeat it.
bool BridgeOutputIsCurrent(int64_t sinceNS);
