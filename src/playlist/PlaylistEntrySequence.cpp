#include "playlist/PlaylistEntrySequence.h"

#include <memory>

#include "channeloutput/LSEQFile.h"
#include "channeloutput/Sequence.h"
#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"
#include "settings.h"

PlaylistEntrySequence::PlaylistEntrySequence(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    type = "sequence";
}

PlaylistEntrySequence::~PlaylistEntrySequence() {
    if (sequence && (opened || isPlaying)) sequence->CloseIfOpen(sequenceName);
}

bool PlaylistEntrySequence::Init(Json::Value& config) {
    sequenceName = PlaylistValues::Text(config, "sequenceName", "", "sequence entry");
    if (sequenceName.empty()) {
        LogErr(VB_PLAYLIST, "Missing sequenceName entry\n");
        return false;
    }
    startSecond = PlaylistValues::Int(config, "startSecond", 0, "sequence entry " + sequenceName);
    if (startSecond < 0) startSecond = 0;
    return PlaylistEntryBase::Init(config);
}

bool PlaylistEntrySequence::PreparePlay(int frame) {
    if (!CanPlay() || !sequence) return false;
    int ok = frame > 0 ? sequence->OpenSequenceFile(sequenceName, frame, -1)
                       : sequence->OpenSequenceFile(sequenceName, 0, startSecond > 0 ? startSecond : -1);
    opened = ok != 0;
    return opened;
}

int PlaylistEntrySequence::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    if (!opened && !PreparePlay(0)) {
        LogErr(VB_PLAYLIST, "Could not start sequence %s; skipping it\n", sequenceName.c_str());
        FinishPlay();
        return 0;
    }
    sequence->StartSequence();
    opened = false;
    paused = false;
    elapsedAtEndMS = 0;
    if (!sequence->IsSequenceRunning(sequenceName)) {
        LogErr(VB_PLAYLIST, "Sequence %s did not start; skipping it\n", sequenceName.c_str());
        FinishPlay();
        return 0;
    }
    lengthMS = sequence->GetLengthMS();
    LogDebug(VB_PLAYLIST, "Started sequence %s\n", sequenceName.c_str());
    return PlaylistEntryBase::StartPlaying();
}

bool PlaylistEntrySequence::OurSequenceRunning() {
    return sequence && sequence->IsSequenceRunning(sequenceName);
}

int PlaylistEntrySequence::Process() {
    if (isPlaying && !OurSequenceRunning()) {
        elapsedAtEndMS = lengthMS.load();
        FinishPlay();
    }
    return PlaylistEntryBase::Process();
}

int PlaylistEntrySequence::Stop() {
    LogDebug(VB_PLAYLIST, "Stopping sequence %s\n", sequenceName.c_str());
    if (sequence) {
        if (OurSequenceRunning()) elapsedAtEndMS = sequence->GetElapsedMS();
        sequence->CloseIfOpen(sequenceName);
    }
    opened = false;
    paused = false;
    return PlaylistEntryBase::Stop();
}

void PlaylistEntrySequence::Pause() {
    if (!isPlaying || paused || !OurSequenceRunning()) return;
    sequence->SetSequencePaused(true);
    paused = true;
}

bool PlaylistEntrySequence::IsPaused() { return paused; }

void PlaylistEntrySequence::Resume() {
    if (!paused) return;
    paused = false;
    if (OurSequenceRunning()) sequence->SetSequencePaused(false);
}

void PlaylistEntrySequence::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Sequence Filename: %s\n", sequenceName.c_str());
}

uint64_t PlaylistEntrySequence::GetLengthInMS() {
    if (OurSequenceRunning()) return sequence->GetLengthMS();
    uint64_t len = lengthMS.load();
    if (len || lengthRead.exchange(true)) return len;
    // Not playing: read the header once.  Positions of later entries (sync
    // and status) need every length.
    std::string path = sequenceName;
    if (path.empty()) return 0;
    if (path[0] != '/') path = getLyrMediaDir("/sequences/" + sequenceName);
    std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(path));
    if (f) lengthMS = len = f->getLengthMS();
    return len;
}

uint64_t PlaylistEntrySequence::GetElapsedMS() {
    if (isPlaying && OurSequenceRunning()) return sequence->GetElapsedMS();
    if (isFinished) return elapsedAtEndMS.load();
    return 0;
}

Json::Value PlaylistEntrySequence::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    uint64_t len = GetLengthInMS();
    uint64_t elapsed = GetElapsedMS();
    result["sequenceName"] = sequenceName;
    result["secondsElapsed"] = (Json::UInt64)(elapsed / 1000);
    result["secondsRemaining"] = (Json::UInt64)(len > elapsed ? (len - elapsed) / 1000 : 0);
    result["secondsTotal"] = (Json::UInt64)(len / 1000);
    return result;
}

Json::Value PlaylistEntrySequence::GetMqttStatus() {
    Json::Value result = PlaylistEntryBase::GetMqttStatus();
    uint64_t len = GetLengthInMS();
    uint64_t elapsed = GetElapsedMS();
    result["sequenceName"] = sequenceName;
    result["secondsElapsed"] = (Json::UInt64)(elapsed / 1000);
    result["secondsRemaining"] = (Json::UInt64)(len > elapsed ? (len - elapsed) / 1000 : 0);
    result["secondsTotal"] = (Json::UInt64)(len / 1000);
    return result;
}
