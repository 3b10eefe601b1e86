#include "playlist/ClipEntry.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "Lockstep.h"
#include "channeloutput/ChannelOutputThread.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/Logging.h"
#include "platform/MediaDetails.h"
#include "platform/MosquittoClient.h"
#include "platform/PluginManager.h"
#include "playlist/Playlist.h"
#include "settings.h"

int ClipEntry::m_openStartDelay = -1;

static void PublishMedia(const std::string& topic, const std::string& value) {
    if (mqtt) mqtt->Publish(topic, value);
}

// Sleeps the whole time even when signals interrupt it.
static void SleepMS(int64_t ms) {
    if (ms <= 0) return;
    struct timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

ClipEntry::ClipEntry(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent), randomSeed(static_cast<unsigned>(time(nullptr))) {
    LogDebug(VB_PLAYLIST, "ClipEntry::ClipEntry()\n");
    type = "media";
    if (m_openStartDelay == -1) m_openStartDelay = getSettingInt("openStartDelay", 0);
}

ClipEntry::~ClipEntry() {
    // An entry destroyed while still open (its playlist was torn down without
    // a Stop) must not leave a player running.  One that is not open leaves
    // the shared status alone: something else may be playing.
    bool open;
    {
        std::lock_guard<std::mutex> l(entryLock);
        open = mediaOutput != nullptr;
    }
    if (open) CloseMediaOutput();
}

bool ClipEntry::Init(Json::Value& config) {
    LogDebug(VB_PLAYLIST, "ClipEntry::Init()\n");
    if (config.isMember("fileMode")) fileMode = config["fileMode"].asString();
    if (fileMode != "single") {
        if (GetFileList() == 0) {
            LogErr(VB_PLAYLIST, "Error, no files found when trying to play random file in %s mode\n",
                   fileMode.c_str());
            return false;
        }
        mediaName = GetNextRandomFile();
    } else {
        if (!config.isMember("mediaName")) {
            LogErr(VB_PLAYLIST, "Missing mediaName entry\n");
            return false;
        }
        mediaName = config["mediaName"].asString();
    }
    if (config.isMember("videoOut")) videoOut = config["videoOut"].asString();
    pausedAtMS = -1;
    return PlaylistEntryBase::Init(config);
}

int ClipEntry::GetFileList() {
    fileList.clear();
    std::string dir;
    if (fileMode == "randomVideo") {
        dir = getLyrMediaDir("/videos");
    } else if (fileMode == "randomAudio") {
        dir = getLyrMediaDir("/music");
    } else {
        return 0;  // no folder belongs to other modes
    }
    std::error_code ec;
    namespace fs = std::filesystem;
    for (fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        // Folders are walked into, not played.
        if (it->is_regular_file(ec)) fileList.push_back(it->path().string());
    }
    LogDebug(VB_PLAYLIST, "%d files in %s directory\n", static_cast<int>(fileList.size()), dir.c_str());
    return static_cast<int>(fileList.size());
}

std::string ClipEntry::GetNextRandomFile() {
    if (fileList.empty()) GetFileList();
    if (fileList.empty()) {
        LogWarn(VB_PLAYLIST, "No files found in GetNextRandomFile()\n");
        return "";
    }
    size_t i = static_cast<size_t>(rand_r(&randomSeed)) % fileList.size();
    std::string name = fileList[i];
    fileList.erase(fileList.begin() + i);
    LogDebug(VB_PLAYLIST, "GetNextRandomFile() = %s\n", name.c_str());
    return name;
}

bool ClipEntry::OpenMediaOutput() {
    LogDebug(VB_PLAYLIST, "ClipEntry::OpenMediaOutput() - Starting\n");
    std::unique_lock<std::mutex> lock(entryLock);
    if (mediaOutput) {
        lock.unlock();
        CloseMediaOutput();
        lock.lock();
    }
    if (mediaName.find('.') == std::string::npos) {
        LogWarn(VB_PLAYLIST, "Unable to determine extension of media file %s\n", mediaName.c_str());
        return false;
    }
    LogDebug(VB_PLAYLIST, "ClipEntry - Starting %s\n", mediaName.c_str());
    MediaDetails::INSTANCE.ParseMedia(mediaName);
    Json::Value info = playlist ? playlist->GetInfo() : Json::Value(Json::objectValue);
    PluginManager::INSTANCE.mediaCallback(info, MediaDetails::INSTANCE);

    mediaOutput = CreateMediaOutput(mediaName, ResolveVideoOutput(videoOut));
    lock.unlock();
    if (!mediaOutput) {
        LogErr(VB_PLAYLIST, "No Media Output handler for %s\n", mediaName.c_str());
        return false;
    }
    LogDebug(VB_PLAYLIST, "ClipEntry::OpenMediaOutput() - Complete\n");
    return true;
}

bool ClipEntry::CloseMediaOutput() {
    LogDebug(VB_PLAYLIST, "ClipEntry::CloseMediaOutput()\n");
    mediaOutputStatus->status = 0;
    std::unique_lock<std::mutex> lock(entryLock);
    if (!mediaOutput) return false;
    if (IsSendingMediaSync()) lockstep->SendMediaSyncStopPacket(mediaName);
    if (mediaOutput->m_childPID) {
        // Stopping waits for the child, whose exit handler takes this lock.
        MediaOutputBase* out = mediaOutput;
        lock.unlock();
        out->Stop();
        lock.lock();
    }
    if (mediaOutput) delete mediaOutput;
    mediaOutput = nullptr;
    return true;
}

bool ClipEntry::OpenAndAnnounce() {
    if (!OpenMediaOutput()) return false;
    if (IsSendingMediaSync()) lockstep->SendMediaOpenPacket(mediaName);
    openTimeMS = GetTimeMS();
    PublishMedia("playlist/media/status", mediaName);
    PublishMedia("playlist/media/title", MediaDetails::INSTANCE.title);
    PublishMedia("playlist/media/artist", MediaDetails::INSTANCE.artist);
    return true;
}

bool ClipEntry::PreparePlay() {
    LogDebug(VB_PLAYLIST, "ClipEntry::PreparePlay()\n");
    if (CanPlay()) {
        if (fileMode != "single") {
            if (fileList.empty() && GetFileList() == 0) {
                LogErr(VB_PLAYLIST, "Error, no files found when trying to play random file in %s mode\n",
                       fileMode.c_str());
                FinishPlay();
                return false;
            }
            mediaName = GetNextRandomFile();
        }
        if (OpenAndAnnounce()) return true;
    }
    FinishPlay();
    return false;
}

int ClipEntry::StartPlaying() {
    LogDebug(VB_PLAYLIST, "ClipEntry::StartPlaying()\n");
    if (IsSendingMediaSync() && openTimeMS) {
        int64_t since = GetTimeMS() - static_cast<int64_t>(openTimeMS);
        if (since < m_openStartDelay) SleepMS(m_openStartDelay - since);
    }
    bool open;
    {
        std::lock_guard<std::mutex> l(entryLock);
        open = mediaOutput != nullptr;
    }
    if (!open) {
        PreparePlay();
        std::lock_guard<std::mutex> l(entryLock);
        if (!mediaOutput) return 0;
    }
    mediaLengthMS = std::max<uint64_t>(mediaLengthMS, static_cast<uint64_t>(mediaOutputStatus->mediaSeconds * 1000));

    std::unique_lock<std::mutex> lock(entryLock);
    if (IsSendingMediaSync()) lockstep->SendMediaSyncStartPacket(mediaName);
    ResetChannelOutputFrameNumber();
    if (mediaOutput->Start(0)) {
        lock.unlock();
        return PlaylistEntryBase::StartPlaying();
    }
    LogErr(VB_PLAYLIST, "Could not start media %s\n", mediaName.c_str());
    // Remotes were told to start: tell them it is off.
    if (IsSendingMediaSync()) lockstep->SendMediaSyncStopPacket(mediaName);
    delete mediaOutput;
    mediaOutput = nullptr;
    lock.unlock();
    FinishPlay();
    return 0;
}

int ClipEntry::Process() {
    std::unique_lock<std::mutex> lock(entryLock);
    if (mediaOutput) {
        mediaOutput->Process();
        if (!mediaOutput->IsPlaying()) {
            lock.unlock();
            FinishPlay();
            CloseMediaOutput();
        }
    } else {
        lock.unlock();
        FinishPlay();
    }
    if (lock.owns_lock()) lock.unlock();
    return PlaylistEntryBase::Process();
}

void ClipEntry::ClearMqttMedia() {
    PublishMedia("playlist/media/status", "");
    PublishMedia("playlist/media/title", "");
    PublishMedia("playlist/media/artist", "");
}

int ClipEntry::Stop() {
    LogDebug(VB_PLAYLIST, "ClipEntry::Stop()\n");
    CloseMediaOutput();
    ClearMqttMedia();
    return PlaylistEntryBase::Stop();
}

void ClipEntry::Pause() {
    pausedStatus = *mediaOutputStatus;
    pausedAtMS = static_cast<int>(GetElapsedMS());
    CloseMediaOutput();
    ClearMqttMedia();
}

bool ClipEntry::IsPaused() { return pausedAtMS >= 0; }

void ClipEntry::Resume() {
    if (pausedAtMS < 0) return;
    // Reopen the file that was paused: a random entry must not move on to
    // another file, and a play-once entry has already had its one play.
    OpenAndAnnounce();
    std::lock_guard<std::mutex> l(entryLock);
    if (IsSendingMediaSync()) lockstep->SendMediaSyncStartPacket(mediaName);
    if (mediaOutput && !mediaOutput->Start(pausedAtMS)) {
        LogErr(VB_PLAYLIST, "Could not start media %s\n", mediaName.c_str());
        delete mediaOutput;
        mediaOutput = nullptr;
    }
    pausedAtMS = -1;
    *mediaOutputStatus = pausedStatus;
}

bool ClipEntry::HandleSigChild(int pid) {
    LogDebug(VB_PLAYLIST, "ClipEntry::HandleSigChild(%d)\n", pid);
    std::unique_lock<std::mutex> lock(entryLock);
    if (!mediaOutput || pid <= 0 || mediaOutput->m_childPID != pid) return false;
    mediaOutput->Close();
    mediaOutput->m_childPID = 0;
    delete mediaOutput;
    mediaOutput = nullptr;
    FinishPlay();
    lock.unlock();
    ClearMqttMedia();
    return true;
}

void ClipEntry::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Media Filename: %s\n", mediaName.c_str());
}

const MediaOutputStatus& ClipEntry::ShownStatus() { return IsPaused() ? pausedStatus : *mediaOutputStatus; }

Json::Value ClipEntry::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    const MediaOutputStatus& st = ShownStatus();
    result["mediaFilename"] = mediaName;
    result["status"] = st.status;
    result["secondsElapsed"] = st.secondsElapsed;
    result["subSecondsElapsed"] = st.subSecondsElapsed;
    result["secondsRemaining"] = st.secondsRemaining;
    result["subSecondsRemaining"] = st.subSecondsRemaining;
    result["minutesTotal"] = st.minutesTotal;
    result["secondsTotal"] = st.secondsTotal;
    result["mediaSeconds"] = st.mediaSeconds;
    return result;
}

Json::Value ClipEntry::GetMqttStatus() {
    Json::Value result = PlaylistEntryBase::GetMqttStatus();
    const MediaOutputStatus& st = ShownStatus();
    result["secondsElapsed"] = st.secondsElapsed;
    result["secondsRemaining"] = st.secondsRemaining;
    result["secondsTotal"] = st.minutesTotal * 60 + st.secondsTotal;
    result["mediaName"] = mediaName;
    result["mediaTitle"] = MediaDetails::INSTANCE.title;
    result["mediaArtist"] = MediaDetails::INSTANCE.artist;
    return result;
}

uint64_t ClipEntry::GetLengthInMS() {
    if (mediaLengthMS) return mediaLengthMS;
    MediaDetails details;
    details.ParseMedia(mediaName);
    mediaLengthMS = details.lengthMS > 0 ? static_cast<uint64_t>(details.lengthMS) : 0;
    return mediaLengthMS;
}

uint64_t ClipEntry::GetElapsedMS() {
    {
        std::lock_guard<std::mutex> l(entryLock);
        if (!mediaOutput) return 0;
    }
    float ms = mediaOutputStatus->secondsElapsed * 1000.0f + mediaOutputStatus->subSecondsElapsed * 10.0f;
    uint64_t elapsed = static_cast<uint64_t>(ms);
    if (elapsed > mediaLengthMS) mediaLengthMS = elapsed;
    return elapsed;
}
