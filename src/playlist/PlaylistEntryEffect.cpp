#include "playlist/PlaylistEntryEffect.h"

#include "platform/Effects.h"
#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"

PlaylistEntryEffect::PlaylistEntryEffect(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    type = "effect";
}

PlaylistEntryEffect::~PlaylistEntryEffect() {}

bool PlaylistEntryEffect::Init(Json::Value& config) {
    std::string where = "effect entry";
    effectName = PlaylistValues::Text(config, "effectName", "", where);
    if (effectName.empty()) {
        LogErr(VB_PLAYLIST, "Missing effectName entry\n");
        return false;
    }
    startChannel = PlaylistValues::Int(config, "startChannel", 0, where);
    loop = PlaylistValues::Bool(config, "loop", false, where);
    background = PlaylistValues::Bool(config, "background", false, where);
    return PlaylistEntryBase::Init(config);
}

int PlaylistEntryEffect::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    PlaylistEntryBase::StartPlaying();
    int id = StartEffect(effectName, startChannel, loop ? 1 : 0, background);
    if (id < 0 || background) {
        FinishPlay();
        return id < 0 ? 0 : 1;
    }
    effectId = id;
    return 1;
}

int PlaylistEntryEffect::Process() {
    if (isPlaying && effectId >= 0 && !IsEffectRunning(effectId)) {
        effectId = -1;
        FinishPlay();
    }
    return PlaylistEntryBase::Process();
}

int PlaylistEntryEffect::Stop() {
    if (effectId >= 0) StopEffect(effectId);
    effectId = -1;
    return PlaylistEntryBase::Stop();
}

void PlaylistEntryEffect::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "effectName: %s, startChannel: %d, loop: %d, background: %d\n", effectName.c_str(),
             startChannel, loop ? 1 : 0, background ? 1 : 0);
}

Json::Value PlaylistEntryEffect::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["effectName"] = effectName;
    result["startChannel"] = startChannel;
    result["loop"] = loop;
    result["background"] = background;
    return result;
}
