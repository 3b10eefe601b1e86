// Network bridge input: sACN and Art-Net received into the bridge buffer
// (see channelinput/ChannelInputs.h), configured by the media directory's
// "config/ci-universes.json".  Bridge_Initialize loads that file, opens the
// receive sockets and starts the receive thread, which reads every burst as
// it comes and, while no sequence plays, sends it on at once (live input
// leaves as soon as it arrives, not at the next tick, and a busy main loop
// holds nothing back).
//
// Threading: Bridge_Initialize/Bridge_Shutdown on the main thread (Shutdown
// joins the receive thread); everything else from any thread.
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
// True when no sequence plays and live input made the receive thread send a
// frame at or after `sinceNS` (monotonic): a paced frame would only repeat it.
bool BridgeOutputIsCurrent(int64_t sinceNS);
