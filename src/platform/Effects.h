// Effect sequences run beside playlists.
#pragma once

#include <json/json.h>

inline void InitEffects() {}
inline void CloseEffects() {}
// The effects now running; none until effect sequences are supported.
inline Json::Value GetRunningEffectsJson() { return Json::Value(Json::arrayValue); }
