// Playlist entry "effect": starts an effect sequence.  This build has no effect player, so the request is logged.
// The "effectName" key is required.  It logs what was asked and ends at once.
//
// Threading: playlist thread.
#pragma once

#include <string>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryEffect : public PlaylistEntryBase {
public:
    PlaylistEntryEffect(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryEffect();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;

    std::string effectName;
};
