#include "playlist/PlaylistEntryImage.h"

#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"

PlaylistEntryImage::PlaylistEntryImage(Playlist* playlist, PlaylistEntryBase* parent) : PlaylistEntryBase(playlist, parent) {
    type = "image";
}

PlaylistEntryImage::~PlaylistEntryImage() {}

bool PlaylistEntryImage::Init(Json::Value& config) {
    imagePath = PlaylistValues::Text(config, "imagePath", "", "image entry");
    if (imagePath.empty()) {
        LogErr(VB_PLAYLIST, "Missing imagePath entry\n");
        return false;
    }
    return PlaylistEntryBase::Init(config);
}

int PlaylistEntryImage::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    PlaylistEntryBase::StartPlaying();
    LogInfo(VB_PLAYLIST, "Image '%s' requested; this build shows no images\n", imagePath.c_str());
    FinishPlay();
    return 1;
}

void PlaylistEntryImage::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "imagePath: %s\n", imagePath.c_str());
}

Json::Value PlaylistEntryImage::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["imagePath"] = imagePath;
    return result;
}
