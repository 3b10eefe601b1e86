#include "playlist/PlaylistEntryRemap.h"

#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"

PlaylistEntryRemap::PlaylistEntryRemap(Playlist* playlist, PlaylistEntryBase* parent) : PlaylistEntryBase(playlist, parent) {
    type = "remap";
}

PlaylistEntryRemap::~PlaylistEntryRemap() {}

bool PlaylistEntryRemap::Init(Json::Value& config) {
    action = PlaylistValues::Text(config, "action", "", "remap entry");
    if (action.empty()) {
        LogErr(VB_PLAYLIST, "Missing action entry\n");
        return false;
    }
    return PlaylistEntryBase::Init(config);
}

int PlaylistEntryRemap::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    PlaylistEntryBase::StartPlaying();
    LogInfo(VB_PLAYLIST, "Channel remap '%s' requested; the output map is fixed in this build\n", action.c_str());
    FinishPlay();
    return 1;
}

void PlaylistEntryRemap::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "action: %s\n", action.c_str());
}

Json::Value PlaylistEntryRemap::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["action"] = action;
    return result;
}
