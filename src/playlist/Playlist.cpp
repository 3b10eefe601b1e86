#include "playlist/Playlist.h"

// Placeholder: the engine lands next.
Playlist* playlist = nullptr;
std::list<Playlist*> PL_CLEANUPS;
