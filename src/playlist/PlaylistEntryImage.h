// Playlist entry "image": shows an image on an overlay model.  This build has no image output, so the request is logged.
// The "imagePath" key is required.  It logs what was asked and ends at once.
//
// Threading: playlist thread.
#pragma once

#include <string>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryImage : public PlaylistEntryBase {
public:
    PlaylistEntryImage(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryImage();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;

    std::string imagePath;
};
