// Playlist entry "playlist": plays another playlist ("name", required) in
// place of this entry, then the owning playlist carries on after it.  Inside
// playlist files such elements are inlined at load time instead; this entry
// exists for entries built at run time (dynamic entries).
//
// Threading: playlist thread.
#pragma once

#include <string>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryPlaylist : public PlaylistEntryBase {
public:
    PlaylistEntryPlaylist(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryPlaylist();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;

    std::string playlistName;
};
