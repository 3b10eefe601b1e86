// Playlist entry "both": a channel-data sequence played together with its
// audio or video file.  Both halves start together (honouring the sync
// open-to-start delay) and both end as soon as either ends.  Media that
// cannot be prepared leaves the sequence playing alone.
//
// Threading: `pairLock` (recursive) serialises the playlist thread with status
// readers (GetConfig, GetMqttStatus, GetLengthInMS, GetElapsedMS).
#pragma once

#include <mutex>
#include <string>

#include "playlist/PlaylistEntryBase.h"

class ClipEntry;
class PlaylistEntrySequence;

class PairedEntry : public PlaylistEntryBase {
public:
    PairedEntry(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PairedEntry();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual int Process() override;
    virtual int Stop() override;
    virtual void Pause() override;
    virtual bool IsPaused() override;
    virtual void Resume() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;
    virtual Json::Value GetMqttStatus() override;
    virtual uint64_t GetLengthInMS() override;
    virtual uint64_t GetElapsedMS() override;

    std::string sequenceName;
    std::string mediaName;
    ClipEntry* media = nullptr;
    PlaylistEntrySequence* sequence = nullptr;
    std::recursive_mutex pairLock;
};
