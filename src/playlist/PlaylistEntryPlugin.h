// Playlist entry "plugin": hands control to a plug-in.  No plug-ins are loaded by this build, so the request is logged.
// The "plugin" key is required.  It logs what was asked and ends at once.
//
// Threading: playlist thread.
#pragma once

#include <string>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryPlugin : public PlaylistEntryBase {
public:
    PlaylistEntryPlugin(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryPlugin();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;

    std::string plugin;
};
