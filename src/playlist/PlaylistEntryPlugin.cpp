#include "playlist/PlaylistEntryPlugin.h"

#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"

PlaylistEntryPlugin::PlaylistEntryPlugin(Playlist* playlist, PlaylistEntryBase* parent) : PlaylistEntryBase(playlist, parent) {
    type = "plugin";
}

PlaylistEntryPlugin::~PlaylistEntryPlugin() {}

bool PlaylistEntryPlugin::Init(Json::Value& config) {
    plugin = PlaylistValues::Text(config, "plugin", "", "plugin entry");
    if (plugin.empty()) {
        LogErr(VB_PLAYLIST, "Missing plugin entry\n");
        return false;
    }
    return PlaylistEntryBase::Init(config);
}

int PlaylistEntryPlugin::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    PlaylistEntryBase::StartPlaying();
    LogInfo(VB_PLAYLIST, "Plug-in '%s' requested; no plug-ins are loaded\n", plugin.c_str());
    FinishPlay();
    return 1;
}

void PlaylistEntryPlugin::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "plugin: %s\n", plugin.c_str());
}

Json::Value PlaylistEntryPlugin::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["plugin"] = plugin;
    return result;
}
