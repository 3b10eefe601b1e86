// Effect sequences run beside playlists.  No effect files are played yet: every
// start is refused with a log line, so callers report "Invalid Effect".
#pragma once

#include <json/json.h>

#include <string>

void InitEffects();
void CloseEffects();
// Returns the effect id, or -1 when the effect cannot be started.
int StartEffect(const std::string& name, int startChannel, int loop, bool background);
bool StopEffect(const std::string& name);
bool StopEffect(int id);
void StopAllEffects();
// Running effects, one "\n"-prefixed "id,name" line each.
std::string GetRunningEffects();
// The effects now running, as a JSON array.
inline Json::Value GetRunningEffectsJson() { return Json::Value(Json::arrayValue); }
