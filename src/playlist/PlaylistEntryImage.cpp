#include "playlist/PlaylistEntryImage.h"

#include <cmath>

#include "common.h"
#include "overlays/GlazeImage.h"
#include "overlays/Glaze.h"
#include "overlays/GlazeModel.h"
#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"

int64_t (*PlaylistEntryImage::clockMS)() = nullptr;

// A week, like pauses: longer is almost surely a unit typo.
static const double MAX_IMAGE_SECONDS = 7 * 24 * 3600.0;

PlaylistEntryImage::PlaylistEntryImage(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    type = "image";
}

PlaylistEntryImage::~PlaylistEntryImage() {
    release();
}

int64_t PlaylistEntryImage::NowMS() {
    return clockMS ? clockMS() : GetTimeMS();
}

bool PlaylistEntryImage::Init(Json::Value& config) {
    std::string where = "image entry";
    imagePath = PlaylistValues::Text(config, "imagePath", "", where);
    if (imagePath.empty()) {
        LogErr(VB_PLAYLIST, "Missing imagePath entry\n");
        return false;
    }
    if (ImagePath(imagePath).empty()) {
        LogErr(VB_PLAYLIST, "Image entry '%s' is not a file inside the images folder\n", imagePath.c_str());
        return false;
    }
    modelName = PlaylistValues::Text(config, "modelName", "", where);
    if (modelName.empty()) {
        LogErr(VB_PLAYLIST, "Image entry '%s' names no overlay model (modelName)\n", imagePath.c_str());
        return false;
    }
    duration = PlaylistValues::Double(config, "duration", 10, where);
    if (!std::isfinite(duration) || duration < 0) duration = 0;
    if (duration > MAX_IMAGE_SECONDS) duration = MAX_IMAGE_SECONDS;
    stateText = PlaylistValues::Text(config, "state", "Enabled", where);
    if (!GlazeState(stateText).isActive()) {
        LogErr(VB_PLAYLIST, "Image entry state '%s' is not Enabled, Transparent or TransparentRGB\n",
               stateText.c_str());
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
    startMS = NowMS();
    GlazeModel* model = GlazeManager::INSTANCE.getModel(modelName);
    if (!model) {
        LogErr(VB_PLAYLIST, "Image entry: no overlay model '%s'\n", modelName.c_str());
        FinishPlay();
        return 0;
    }
    std::string error;
    if (!ShowImageOnModel(model, ImagePath(imagePath), error)) {
        LogErr(VB_PLAYLIST, "Image entry '%s': %s\n", imagePath.c_str(), error.c_str());
        FinishPlay();
        return 0;
    }
    shownOn = model;
    previousState = model->getState();
    model->setState(GlazeState(stateText));
    LogDebug(VB_PLAYLIST, "Showing image '%s' on '%s' for %.3f seconds\n", imagePath.c_str(),
             modelName.c_str(), duration);
    return 1;
}

uint64_t PlaylistEntryImage::GetLengthInMS() {
    return uint64_t(std::llround(duration * 1000.0));
}

uint64_t PlaylistEntryImage::GetElapsedMS() {
    if (!isPlaying) return 0;
    int64_t e = NowMS() - startMS;
    return e < 0 ? 0 : std::min<uint64_t>(uint64_t(e), GetLengthInMS());
}

int PlaylistEntryImage::Process() {
    if (isPlaying && GetElapsedMS() >= GetLengthInMS()) {
        release();
        FinishPlay();
    }
    return PlaylistEntryBase::Process();
}

int PlaylistEntryImage::Stop() {
    release();
    return PlaylistEntryBase::Stop();
}

// The model is looked up again: a reloaded model map may have replaced it.
void PlaylistEntryImage::release() {
    if (!shownOn) return;
    shownOn = nullptr;
    GlazeModel* model = GlazeManager::INSTANCE.getModel(modelName);
    if (!model) return;
    model->clear();
    model->setState(previousState);
}

void PlaylistEntryImage::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "imagePath: %s, modelName: %s, duration: %.3f, state: %s\n", imagePath.c_str(),
             modelName.c_str(), duration, stateText.c_str());
}

Json::Value PlaylistEntryImage::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["imagePath"] = imagePath;
    result["modelName"] = modelName;
    result["duration"] = duration;
    result["state"] = stateText;
    return result;
}
