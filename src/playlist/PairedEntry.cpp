#include "playlist/PairedEntry.h"

#include <time.h>

#include <cerrno>

#include "Lockstep.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/Logging.h"
#include "platform/MediaDetails.h"
#include "playlist/ClipEntry.h"
#include "playlist/PlaylistEntrySequence.h"

using Guard = std::lock_guard<std::recursive_mutex>;

PairedEntry::PairedEntry(Playlist* playlist, PlaylistEntryBase* parent) : PlaylistEntryBase(playlist, parent) {
    LogDebug(VB_PLAYLIST, "PairedEntry::PairedEntry()\n");
    type = "both";
}

PairedEntry::~PairedEntry() {
    delete media;
    delete sequence;
}

bool PairedEntry::Init(Json::Value& config) {
    LogDebug(VB_PLAYLIST, "PairedEntry::Init()\n");
    media = new ClipEntry(playlist, this);
    sequence = new PlaylistEntrySequence(playlist, this);
    if (!media->Init(config)) {
        // The sequence plays without its media; keep the name for messages.
        mediaName = config.get("mediaName", "").asString();
        delete media;
        media = nullptr;
    } else {
        mediaName = media->mediaName;
    }
    if (!sequence->Init(config)) return false;
    sequenceName = sequence->sequenceName;
    return PlaylistEntryBase::Init(config);
}

static void SleepMS(int64_t ms) {
    struct timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

int PairedEntry::StartPlaying() {
    LogDebug(VB_PLAYLIST, "PairedEntry::StartPlaying()\n");
    Guard g(pairLock);
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    if (media && !media->PreparePlay()) {
        delete media;
        media = nullptr;
    }
    if (!media) LogInfo(VB_PLAYLIST, "Skipping media playlist entry, likely blacklisted audio: %s\n", mediaName.c_str());
    if (!sequence->PreparePlay(0)) LogErr(VB_PLAYLIST, "Problems starting sequence: %s\n", sequenceName.c_str());

    if (media && IsSendingMediaSync() && media->openTimeMS) {
        int64_t e = GetTimeMS() - static_cast<int64_t>(media->openTimeMS);
        if (e < ClipEntry::m_openStartDelay) {
            int64_t wait = ClipEntry::m_openStartDelay - e - 2;
            if (wait >= 1) SleepMS(wait);
        }
    }
    if (!sequence->StartPlaying()) {
        LogErr(VB_PLAYLIST, "Could not start sequence: %s\n", sequenceName.c_str());
        if (media) media->Stop();
        FinishPlay();
        return 0;
    }
    if (media && !media->StartPlaying()) {
        LogErr(VB_PLAYLIST, "Could not start media: %s\n", mediaName.c_str());
        delete media;
        media = nullptr;
        sequence->Stop();
        FinishPlay();
        return 0;
    }
    return PlaylistEntryBase::StartPlaying();
}

int PairedEntry::Process() {
    LogExcess(VB_PLAYLIST, "PairedEntry::Process()\n");
    Guard g(pairLock);
    if (media) media->Process();
    sequence->Process();
    if (media && media->IsFinished()) {
        FinishPlay();
        if (sequence->IsPlaying()) sequence->Stop();
    }
    if (sequence->IsFinished()) {
        FinishPlay();
        if (media && media->IsPlaying()) media->Stop();
    }
    return PlaylistEntryBase::Process();
}

int PairedEntry::Stop() {
    LogDebug(VB_PLAYLIST, "PairedEntry::Stop()\n");
    Guard g(pairLock);
    if (media) media->Stop();
    if (sequence) sequence->Stop();
    return PlaylistEntryBase::Stop();
}

void PairedEntry::Pause() {
    Guard g(pairLock);
    if (media) media->Pause();
    if (sequence) sequence->Pause();
}

bool PairedEntry::IsPaused() {
    Guard g(pairLock);
    if (media) return media->IsPaused();
    return sequence ? sequence->IsPaused() : false;
}

void PairedEntry::Resume() {
    Guard g(pairLock);
    if (media) media->Resume();
    if (sequence) sequence->Resume();
}

void PairedEntry::Dump() {
    Guard g(pairLock);
    PlaylistEntryBase::Dump();
    if (media) media->Dump();
    if (sequence) sequence->Dump();
}

Json::Value PairedEntry::GetConfig() {
    Guard g(pairLock);
    Json::Value result = PlaylistEntryBase::GetConfig();
    if (media) {
        result["media"] = media->GetConfig();
    } else if (sequence) {
        result["media"] = sequence->GetConfig();
    }
    if (sequence) result["sequence"] = sequence->GetConfig();
    return result;
}

Json::Value PairedEntry::GetMqttStatus() {
    Guard g(pairLock);
    Json::Value result = PlaylistEntryBase::GetMqttStatus();
    if (media) {
        uint64_t length = media->GetLengthInMS();
        uint64_t elapsed = media->GetElapsedMS();
        result["secondsRemaining"] = Json::UInt64(length > elapsed ? (length - elapsed) / 1000 : 0);
        result["secondsTotal"] = Json::UInt64(length / 1000);
        result["secondsElapsed"] = Json::UInt64(elapsed / 1000);
        result["mediaName"] = mediaName;
    }
    if (sequence) {
        Json::Value s = sequence->GetMqttStatus();
        for (const char* key : {"sequenceName", "secondsRemaining", "secondsTotal", "secondsElapsed"}) {
            if (s.isMember(key)) result[key] = s[key];
        }
    }
    result["mediaTitle"] = MediaDetails::INSTANCE.title;
    result["mediaArtist"] = MediaDetails::INSTANCE.artist;
    return result;
}

uint64_t PairedEntry::GetLengthInMS() {
    Guard g(pairLock);
    uint64_t seqLength = sequence ? sequence->GetLengthInMS() : 0;
    if (media) {
        uint64_t mediaLength = media->GetLengthInMS();
        if (mediaLength && (mediaLength < seqLength || !sequence)) return mediaLength;
    }
    return seqLength;
}

uint64_t PairedEntry::GetElapsedMS() {
    Guard g(pairLock);
    if (media) return media->GetElapsedMS();
    if (sequence) return sequence->GetElapsedMS();
    return 0;
}
