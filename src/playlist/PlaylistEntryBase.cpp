#include "playlist/PlaylistEntryBase.h"

#include "common.h"
#include "platform/Logging.h"

PlaylistEntryBase::PlaylistEntryBase(Playlist* playlist, PlaylistEntryBase* parent)
    : type("base"), playlist(playlist), parent(parent) {}

PlaylistEntryBase::~PlaylistEntryBase() {}

bool PlaylistEntryBase::Init(Json::Value& cfg) {
    config = cfg;
    if (cfg.isMember("enabled")) enabled = cfg["enabled"].asBool();
    if (cfg.isMember("playOnce")) playOnce = cfg["playOnce"].asBool();
    return true;
}

bool PlaylistEntryBase::CanPlay() {
    if (!enabled) return false;
    if (playOnce && playCount > 0) return false;
    return true;
}

int PlaylistEntryBase::StartPlaying() {
    isStarted = 1;
    isPlaying = 1;
    isFinished = 0;
    playCount++;
    return 1;
}

int PlaylistEntryBase::IsStarted() { return isStarted; }
int PlaylistEntryBase::IsPlaying() { return isPlaying; }
int PlaylistEntryBase::IsFinished() { return isFinished; }
int PlaylistEntryBase::Prep() { return 1; }
int PlaylistEntryBase::Process() { return 1; }

int PlaylistEntryBase::Stop() {
    FinishPlay();
    return 1;
}

void PlaylistEntryBase::FinishPlay() {
    isStarted = 1;
    isPlaying = 0;
    isFinished = 1;
}

void PlaylistEntryBase::Dump() {
    LogDebug(VB_PLAYLIST, "---- Playlist Entry ----\n");
    LogDebug(VB_PLAYLIST, "Entry Type: %s\n", type.c_str());
    LogDebug(VB_PLAYLIST, "Enabled   : %d, Play Once: %d\n", enabled ? 1 : 0, playOnce ? 1 : 0);
}

Json::Value PlaylistEntryBase::GetConfig() {
    Json::Value result = config;
    result["type"] = type;
    result["enabled"] = enabled ? 1 : 0;
    result["playOnce"] = playOnce ? 1 : 0;
    result["isStarted"] = isStarted;
    result["isPlaying"] = isPlaying;
    result["isFinished"] = isFinished;
    result["playlistPosition"] = playlistPosition;
    return result;
}

Json::Value PlaylistEntryBase::GetMqttStatus() {
    Json::Value result;
    result["type"] = type;
    result["playlistPosition"] = playlistPosition;
    return result;
}

std::string PlaylistEntryBase::ReplaceMatches(std::string in) {
    std::map<std::string, std::string> keywords;
    return ReplaceKeywords(in, keywords);
}
