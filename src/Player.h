// Stand-in player front: replaced by the playlist player.
#pragma once

#include <json/json.h>
#include <string>

#include "http/httpserver.h"

class Player : public httpserver::http_resource {
public:
    static Player INSTANCE;
    void Init() {}
    bool IsPlaying() { return false; }
    int GetStatus() { return 0; }
    int Process() { return 0; }
    void Cleanup() {}
    void ProcessMedia() {}
    int GetScheduleEntry() { return -1; }
    bool WasScheduled() { return false; }
    std::string GetPlaylistName() { return ""; }
    int GetPosition() { return 0; }
    bool forceStopped = false;
};
