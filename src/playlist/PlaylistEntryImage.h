// Playlist entry "image": shows an image file of the media directory's
// "images" folder on an overlay model, scaled to fit and centred, for a time.
// Keys: "imagePath" (required; a name inside "images"), "modelName"
// (required), "duration" (seconds, default 10), "state" (how the model
// composes while the image shows: "Enabled" (default), "Transparent",
// "TransparentRGB").
//
// At the start the model's picture is replaced by the image and the model set
// to the state; at the end (or when stopped) it is cleared and its state put
// back.  A missing model or unreadable image is logged and the entry ends at
// once; the playlist goes on.
//
// Threading: playlist thread.
#pragma once

#include <cstdint>
#include <string>

#include "overlays/GlazeState.h"
#include "playlist/PlaylistEntryBase.h"

class GlazeModel;

class PlaylistEntryImage : public PlaylistEntryBase {
public:
    PlaylistEntryImage(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryImage();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual int Process() override;
    virtual int Stop() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;
    virtual uint64_t GetLengthInMS() override;
    virtual uint64_t GetElapsedMS() override;

    std::string imagePath;
    std::string modelName;
    double duration = 10;
    std::string stateText = "Enabled";

    // Test seam: the clock the duration is measured on (ms); null: GetTimeMS.
    static int64_t (*clockMS)();

private:
    static int64_t NowMS();
    void release();

    GlazeModel* shownOn = nullptr;
    GlazeState previousState;
    int64_t startMS = 0;
};
