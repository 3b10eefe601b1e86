// Effect sequences run beside playlists.
#pragma once

inline void InitEffects() {}
inline void CloseEffects() {}
