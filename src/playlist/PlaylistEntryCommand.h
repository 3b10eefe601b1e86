// Playlist entry "command": runs one command of the command registry with
// "command" (its name, required) and "args" (a list; numbers and booleans
// are passed as text) and ends at once.  A failing command is logged; the
// playlist goes on.
//
// Threading: playlist thread.
#pragma once

#include <string>
#include <vector>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryCommand : public PlaylistEntryBase {
public:
    PlaylistEntryCommand(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryCommand();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;

    std::string command;
    std::vector<std::string> args;
    std::string lastResult;
    bool lastFailed = false;
};
