// Playlist entry "remap": changes the channel remapping ("action", "source", "destination", "count").  This build keeps its output map fixed, so the request is logged.
// The "action" key is required.  It logs what was asked and ends at once.
//
// Threading: playlist thread.
#pragma once

#include <string>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryRemap : public PlaylistEntryBase {
public:
    PlaylistEntryRemap(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryRemap();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;

    std::string action;
};
