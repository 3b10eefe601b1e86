#include "playlist/PlaylistEntryRemap.h"

#include "common.h"
#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"

PlaylistEntryRemap::PlaylistEntryRemap(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    type = "remap";
}

PlaylistEntryRemap::~PlaylistEntryRemap() {}

bool PlaylistEntryRemap::Init(Json::Value& config) {
    action = toLowerCopy(PlaylistValues::Text(config, "action", "", "remap entry"));
    if (action.empty()) {
        LogErr(VB_PLAYLIST, "Missing action entry\n");
        return false;
    }
    if (action == "on") action = "enable";
    if (action == "off") action = "disable";
    name = PlaylistValues::Text(config, "name", "", "remap entry");
    if (action != "enable" && action != "disable" && action != "add" && action != "remove") {
        LogErr(VB_PLAYLIST, "Remap entry: unknown action '%s' (enable, disable, add or remove)\n",
               action.c_str());
        return false;
    }
    if (action == "add") {
        std::string why = ChannelRemaps::Parse(config, remap);
        if (!why.empty()) {
            LogErr(VB_PLAYLIST, "Remap entry: %s\n", why.c_str());
            return false;
        }
        remap.name = name;
        remap.active = true;
    } else if (name.empty()) {
        LogErr(VB_PLAYLIST, "Remap entry: action '%s' needs a \"name\"\n", action.c_str());
        return false;
    }
    return PlaylistEntryBase::Init(config);
}

void PlaylistEntryRemap::apply() {
    if (action == "add") {
        std::string error;
        if (AddChannelRemap(remap, error))
            LogInfo(VB_PLAYLIST, "Channel remap '%s' added: %u channels from %u to %u, %u time(s)\n",
                    name.c_str(), remap.count, remap.source, remap.destination, remap.loops);
        else
            LogErr(VB_PLAYLIST, "Channel remap '%s' refused: %s\n", name.c_str(), error.c_str());
        return;
    }
    int n = action == "remove" ? RemoveChannelRemap(name) : SetChannelRemapActive(name, action == "enable");
    if (n == 0)
        LogErr(VB_PLAYLIST, "Remap entry: no channel remap named '%s'\n", name.c_str());
    else
        LogInfo(VB_PLAYLIST, "Channel remap '%s': %s (%d)\n", name.c_str(), action.c_str(), n);
}

int PlaylistEntryRemap::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    PlaylistEntryBase::StartPlaying();
    apply();
    FinishPlay();
    return 1;
}

void PlaylistEntryRemap::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "action: %s, name: %s\n", action.c_str(), name.c_str());
}

Json::Value PlaylistEntryRemap::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["action"] = action;
    result["name"] = name;
    if (action == "add") {
        result["source"] = remap.source;
        result["destination"] = remap.destination;
        result["count"] = remap.count;
        result["loops"] = remap.loops;
    }
    return result;
}
