// Effect sequences played over the running show.  An effect is a ".lseq"
// file in the media directory's "effects" folder; its channels land from a
// start channel on: the one asked for, or (0 or less) the effect's own, which
// is its "sc" variable header (a decimal channel number) or channel 1.  Effects
// draw after the sequence and bridge data and before the overlays (the
// channel-output thread calls OverlayEffectData once per frame), and keep the
// output thread running while any runs.  Layout and examples: docs/effects.md.
//
// Names are file names inside the effects folder, with or without ".lseq";
// names with a path separator or ".." are refused.  A running effect is known
// by the name without ".lseq" and by its id.
//
// A missing, unreadable or broken file is refused with an error log line and
// -1; running effects and the show go on.
//
// Threading: every function may be called from any thread (EffectRunner).
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

void InitEffects();   // registers the effect commands
void CloseEffects();  // stops every effect

// Returns the effect id, or -1 (with an error log line) when the effect
// cannot be started.  loop non-zero repeats it until it is stopped.
// background only marks the effect in the list: a playlist entry that starts
// an effect in the background does not wait for it.
int StartEffect(const std::string& name, int startChannel, int loop, bool background);
// As StartEffect, with the reason for a refusal also in `error`.
int StartEffect(const std::string& name, int startChannel, int loop, bool background, std::string& error);
bool StopEffect(const std::string& name);
bool StopEffect(int id);
void StopAllEffects();
bool IsEffectRunning(int id);
bool EffectsRunning();
// Running effects, one "\n"-prefixed "id,name" line each.
std::string GetRunningEffects();
// The effects now running, as a JSON array of {"id", "name", "startChannel",
// "channelCount", "loop", "background", "frame", "frameCount", "stepTime"}.
Json::Value GetRunningEffectsJson();

// The channel-output thread: draws every running effect's frame due at `nowNS`
// (the output thread's monotonic clock) into channels (size bytes).
void OverlayEffectData(uint8_t* channels, uint32_t size, int64_t nowNS);

// The file an effect name stands for; "" when the name is refused.
std::string EffectPath(const std::string& name);
