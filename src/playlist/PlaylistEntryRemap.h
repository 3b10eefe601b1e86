// Playlist entry "remap": changes the live channel remaps
// (channeloutput/ChannelRemaps.h) and ends at once.
//
//   {"type": "remap", "action": "enable", "name": "garage"}
//   {"type": "remap", "action": "add", "name": "porch", "source": 1,
//    "destination": 601, "count": 150, "loops": 1}
//
// "action" (required): "enable" / "disable" switch the remaps of that
// "name" on or off ("on" / "off" too); "add" adds a remap from "source",
// "destination", "count" and "loops" (checked like the file's); "remove"
// removes the remaps of that name.  The changes last until the remaps are
// reloaded.  A name that matches nothing, or a refused remap, is logged.
//
// Threading: playlist thread.
#pragma once

#include <string>

#include "channeloutput/ChannelRemaps.h"
#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryRemap : public PlaylistEntryBase {
public:
    PlaylistEntryRemap(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryRemap();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;

    std::string action;  // normalised: "enable", "disable", "add" or "remove"
    std::string name;
    ChannelRemap remap;  // for "add"

private:
    void apply();
};
