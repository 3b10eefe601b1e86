// Playlist entry "effect": starts an effect sequence over the show (see
// platform/Effects.h).  Keys: "effectName" (required), "startChannel"
// (default 0: the effect's own), "loop" (default false), "background"
// (default false).
//
// In the background the entry ends as soon as the effect runs.  Otherwise it
// holds the playlist until the effect ends (a looping one: until the
// playlist moves on), and stopping the entry stops the effect.  An effect
// that cannot start is logged and the playlist goes on.
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
    virtual int Process() override;
    virtual int Stop() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;

    std::string effectName;
    int startChannel = 0;
    bool loop = false;
    bool background = false;
    int effectId = -1;  // while the entry waits for its effect
};
