// The base of every playlist entry.
//
// Life of an entry: new, Init(json) (false: discarded), StartPlaying() when
// reached, Process() every playlist tick while IsPlaying(), and the playlist
// advances once IsFinished().  Stop() is only called while playing.
// Subclasses call the base StartPlaying()/Process() last on success.
//
// Base keys read by Init: "enabled" (default true) and "playOnce" (default
// false).  A disabled entry never plays; a play-once entry plays once per
// playlist load.  CanPlay() applies both.
//
// Threading: entries are used under their playlist's lock.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

class Playlist;

class PlaylistEntryBase {
public:
    PlaylistEntryBase(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryBase();

    virtual bool Init(Json::Value& config);
    virtual int StartPlaying();
    virtual int IsStarted();
    virtual int IsPlaying();
    virtual int IsFinished();
    virtual int Prep();
    virtual int Process();
    virtual int Stop();
    virtual void Pause() {}
    virtual bool IsPaused() { return false; }
    virtual void Resume() {}
    virtual bool HandleSigChild(int pid) { return false; }
    virtual void Dump();
    virtual Json::Value GetConfig();
    virtual Json::Value GetMqttStatus();
    virtual std::string ReplaceMatches(std::string in);
    virtual uint64_t GetLengthInMS() { return 0; }
    virtual uint64_t GetElapsedMS() { return 0; }
    virtual int GetNextBranchType() { return 0; }
    virtual std::string GetNextSection() { return ""; }
    virtual int GetNextItem() { return 0; }
    virtual std::string GetNextData() { return ""; }

    bool CanPlay();
    void FinishPlay();

    std::string type;
    int playlistPosition = 0;
    Playlist* playlist;
    PlaylistEntryBase* parent;
    bool prepared = false;

protected:
    int isStarted = 0;
    int isPlaying = 0;
    int isFinished = 0;
    bool enabled = true;
    bool playOnce = false;
    int playCount = 0;
    Json::Value config;
};
