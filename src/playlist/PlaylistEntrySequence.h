// Playlist entry "sequence": plays one ".lseq" channel-data sequence through
// the sequence player (`sequence`).  Keys: "sequenceName" (required; a name
// in the sequences folder), "startSecond" (optional, default 0).
//
// The entry ends when the sequence player no longer plays its file (the end
// of the sequence, a stop from elsewhere, or a file that can no longer be
// read).  Length comes from the playing sequence, or from the file header
// when it is not playing (read once and kept).
//
// Threading: playlist thread, plus status readers through GetConfig,
// GetMqttStatus, GetLengthInMS and GetElapsedMS (which only read the
// sequence player, itself thread-safe, and atomics).
#pragma once

#include <atomic>
#include <string>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntrySequence : public PlaylistEntryBase {
public:
    PlaylistEntrySequence(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntrySequence();

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

    // Opens the sequence ready to start at `frame` (the "startSecond" key
    // when frame is 0); false when it cannot be opened or may not play.
    bool PreparePlay(int frame = 0);

    std::string sequenceName;
    int startSecond = 0;

private:
    bool OurSequenceRunning();

    bool opened = false;
    bool paused = false;
    std::atomic<uint64_t> lengthMS{0};
    std::atomic<bool> lengthRead{false};
    std::atomic<uint64_t> elapsedAtEndMS{0};
};
