#include "playlist/PlaylistEntryEffect.h"

#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"

PlaylistEntryEffect::PlaylistEntryEffect(Playlist* playlist, PlaylistEntryBase* parent) : PlaylistEntryBase(playlist, parent) {
    type = "effect";
}

PlaylistEntryEffect::~PlaylistEntryEffect() {}

bool PlaylistEntryEffect::Init(Json::Value& config) {
    effectName = PlaylistValues::Text(config, "effectName", "", "effect entry");
    if (effectName.empty()) {
        LogErr(VB_PLAYLIST, "Missing effectName entry\n");
        return false;
    }
    return PlaylistEntryBase::Init(config);
}

int PlaylistEntryEffect::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    PlaylistEntryBase::StartPlaying();
    LogInfo(VB_PLAYLIST, "Effect '%s' requested; this build plays no effect sequences\n", effectName.c_str());
    FinishPlay();
    return 1;
}

void PlaylistEntryEffect::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "effectName: %s\n", effectName.c_str());
}

Json::Value PlaylistEntryEffect::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["effectName"] = effectName;
    return result;
}
