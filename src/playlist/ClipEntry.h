// Playlist entry "media": plays one audio or video file, named or picked at
// random from the music or videos folder, through an output of the
// media-output layer.  A master announces open, start and stop to remotes.
//
// Pause closes the output and Resume reopens it at the saved position.
//
// Threading: `entryLock` guards `mediaOutput`; it is taken on the playlist
// thread (Process, StartPlaying), the child-exit path (HandleSigChild) and by
// status readers.  An output's Stop() with a child process is called without
// the lock, because stopping waits for the child whose exit takes it too.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "mediaoutput/MediaOutputBase.h"
#include "playlist/PlaylistEntryBase.h"

class ClipEntry : public PlaylistEntryBase {
public:
    ClipEntry(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~ClipEntry();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual int Process() override;
    virtual int Stop() override;
    virtual void Pause() override;
    virtual bool IsPaused() override;
    virtual void Resume() override;
    virtual bool HandleSigChild(int pid) override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;
    virtual Json::Value GetMqttStatus() override;
    virtual uint64_t GetLengthInMS() override;
    virtual uint64_t GetElapsedMS() override;

    // Opens the output (picking the next random file first in random mode)
    // and announces it; false, with the entry finished, when it cannot play.
    virtual bool PreparePlay();

    // Milliseconds between open and start while this system sends sync;
    // -1 until the first entry reads setting "openStartDelay".
    static int m_openStartDelay;

    std::string mediaName;
    std::string videoOut = "--Default--";
    std::string fileMode = "single";
    std::vector<std::string> fileList;

    MediaOutputBase* mediaOutput = nullptr;
    std::mutex entryLock;

    uint64_t mediaLengthMS = 0;
    int pausedAtMS = -1;
    MediaOutputStatus pausedStatus;
    uint64_t openTimeMS = 0;
    unsigned randomSeed;

private:
    bool OpenMediaOutput();
    bool CloseMediaOutput();
    // Opens the current mediaName and tells remotes and MQTT.
    bool OpenAndAnnounce();
    int GetFileList();
    std::string GetNextRandomFile();
    void ClearMqttMedia();
    const MediaOutputStatus& ShownStatus();
};
