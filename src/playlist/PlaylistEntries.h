// The entry kinds a playlist file may name, by their "type".
//
// Threading: stateless.
#pragma once

#include <string>

class Playlist;
class PlaylistEntryBase;

// A new, not yet initialised entry of `type` (exact, case-sensitive), or null
// when the type is unknown.
PlaylistEntryBase* CreatePlaylistEntry(const std::string& type, Playlist* playlist, PlaylistEntryBase* parent);

// The sequence and media file names of an entry: sequence entries give the
// sequence, media entries the media, paired entries both.  Others leave both
// strings unchanged.
void EntryFilenames(PlaylistEntryBase* entry, std::string& sequence, std::string& media);
