#include "mediaoutput/MediaOutput.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "Lockstep.h"
#include "common.h"
#include "mediaoutput/CinemaOut.h"
#include "platform/Logging.h"
#include "settings.h"

static MediaOutputStatus statusStore;
MediaOutputStatus* mediaOutputStatus = &statusStore;
MediaOutputBase* mediaOutput = nullptr;
std::recursive_mutex mediaOutputLock;

static constexpr int DEFAULT_VOLUME = 70;
static std::mutex volumeLock;  // guards volume, volumePersisted, liveOutputs
static int volume = DEFAULT_VOLUME;
static bool volumePersisted = false;  // after InitMediaOutput, changes are saved
// Never destroyed: the player's playlist is released by a static destructor
// at exit and its media entries unregister their outputs then, after a
// plain static set here may already be gone.
static std::set<MediaOutputBase*>& liveOutputs = *new std::set<MediaOutputBase*>;

// A remote that is told the position of a file it could not open does not
// retry it on every sync packet; an explicit open or start clears this.
static std::string lateJoinFailed;

bool IsSendingMediaSync() { return lockstep && lockstep->IsSendingSync(); }

// ---- volume

static std::string VolumeFile() { return getLyrMediaDir("/config/volume.json"); }

static bool ReadSavedVolume(int& out) {
    std::string path = VolumeFile();
    if (!FileExists(path)) return false;
    Json::Value v;
    if (!LoadJsonFromFile(path, v) || !v.isObject() || !v["volume"].isNumeric()) {
        LogWarn(VB_MEDIAOUT, "Ignoring unreadable volume file %s\n", path.c_str());
        return false;
    }
    out = v["volume"].asInt();
    return true;
}

static void SaveVolume(int v) {
    std::string dir = getLyrMediaDir("/config");
    if (!DirectoryExists(dir)) mkdir(dir.c_str(), 0775);
    Json::Value doc(Json::objectValue);
    doc["volume"] = v;
    if (!PutFileContents(VolumeFile(), SaveJsonToString(doc, "\t") + "\n")) {
        LogWarn(VB_MEDIAOUT, "Could not save the volume to %s\n", VolumeFile().c_str());
    }
}

int setVolume(int v) {
    v = std::max(0, std::min(100, v));
    bool save;
    {
        std::lock_guard<std::mutex> l(volumeLock);
        save = volumePersisted && v != volume;
        volume = v;
        for (MediaOutputBase* o : liveOutputs) o->RequestVolume(v);
    }
    SetSetting("volume", v);
    if (save) SaveVolume(v);
    LogDebug(VB_MEDIAOUT, "Volume set to %d\n", v);
    return v;
}

int getVolume() {
    std::lock_guard<std::mutex> l(volumeLock);
    return volume;
}

void RegisterMediaOutput(MediaOutputBase* output) {
    std::lock_guard<std::mutex> l(volumeLock);
    liveOutputs.insert(output);
}

void UnregisterMediaOutput(MediaOutputBase* output) {
    std::lock_guard<std::mutex> l(volumeLock);
    liveOutputs.erase(output);
}

void InitMediaOutput() {
    int v;
    if (ReadSavedVolume(v)) {
        setVolume(v);
    } else if (!getSetting("volume").empty()) {
        setVolume(getSettingInt("volume", DEFAULT_VOLUME));
    }
    std::lock_guard<std::mutex> l(volumeLock);
    volumePersisted = true;
}

void CleanupMediaOutput() { CloseMediaOutput(); }

// ---- creating outputs

static const char* const AUDIO_EXTENSIONS[] = {"mp3", "ogg", "oga", "m4a", "m4p", "wav", "au",
                                               "wma", "flac", "aac", "opus", "aiff", "aif"};
static const char* const VIDEO_EXTENSIONS[] = {"mp4", "avi", "mov", "mkv", "mpg", "mpeg", "webm",
                                               "flv", "wmv", "m4v", "ogv", "3gp", "ts"};

bool IsExtensionAudio(const std::string& ext) {
    std::string e = toLowerCopy(ext);
    return std::find(std::begin(AUDIO_EXTENSIONS), std::end(AUDIO_EXTENSIONS), e) != std::end(AUDIO_EXTENSIONS);
}

bool IsExtensionVideo(const std::string& ext) {
    std::string e = toLowerCopy(ext);
    return std::find(std::begin(VIDEO_EXTENSIONS), std::end(VIDEO_EXTENSIONS), e) != std::end(VIDEO_EXTENSIONS);
}

MediaOutputBase* CreateMediaOutput(const std::string& mediaFilename, const std::string& videoOut) {
    size_t dot = mediaFilename.rfind('.');
    std::string ext = dot == std::string::npos ? "" : mediaFilename.substr(dot + 1);
    if (IsExtensionAudio(ext) || IsExtensionVideo(ext)) {
        return new CinemaOutput(mediaFilename, mediaOutputStatus, videoOut);
    }
    LogDebug(VB_MEDIAOUT, "No media output plays files of type '%s' (%s)\n", ext.c_str(), mediaFilename.c_str());
    return nullptr;
}

std::string ResolveVideoOutput(const std::string& videoOut) {
    std::string out = videoOut == "--Default--" ? getSetting("VideoOutput") : videoOut;
    return out.empty() ? "--Disabled--" : out;
}

// ---- the current output

bool OpenMediaOutput(const std::string& filename) {
    std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
    LogDebug(VB_MEDIAOUT, "OpenMediaOutput(%s)\n", filename.c_str());
    if (mediaOutput) CloseMediaOutput();
    if (filename == lateJoinFailed) lateJoinFailed.clear();
    mediaOutput = CreateMediaOutput(filename, ResolveVideoOutput("--Default--"));
    if (!mediaOutput) {
        LogErr(VB_MEDIAOUT, "No Media Output handler for %s\n", filename.c_str());
        return false;
    }
    return true;
}

bool StartMediaOutputAt(const std::string& filename, int msTime) {
    std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
    LogDebug(VB_MEDIAOUT, "StartMediaOutput(%s, %d)\n", filename.c_str(), msTime);
    if (!MatchesRunningMediaFilename(filename)) {
        if (!OpenMediaOutput(filename)) return false;
    } else if (mediaOutput->IsPlaying()) {
        return true;
    }
    if (!mediaOutput->Start(msTime)) {
        LogErr(VB_MEDIAOUT, "Could not start media %s\n", filename.c_str());
        CloseMediaOutput();
        return false;
    }
    return true;
}

bool StartMediaOutput(const std::string& filename) { return StartMediaOutputAt(filename, 0); }

void CloseMediaOutput() {
    std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
    mediaOutputStatus->status = 0;
    if (!mediaOutput) return;
    LogDebug(VB_MEDIAOUT, "CloseMediaOutput(%s)\n", mediaOutput->m_mediaFilename.c_str());
    MediaOutputBase* old = mediaOutput;
    mediaOutput = nullptr;
    old->Close();
    delete old;
    mediaOutputStatus->status = 0;
}

bool MatchesRunningMediaFilename(const std::string& filename) {
    std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
    return mediaOutput && !filename.empty() && mediaOutput->m_mediaFilename == filename;
}

void UpdateMasterMediaPosition(const std::string& filename, float seconds) {
    std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
    if (MatchesRunningMediaFilename(filename)) {
        mediaOutput->AdjustSpeed(seconds);
        return;
    }
    // A remote that missed the open and start (it came up late, or the
    // packets were lost) joins at the master's position.
    if (getLyrmode() != REMOTE_MODE || filename.empty() || filename == lateJoinFailed) return;
    LogInfo(VB_MEDIAOUT, "Joining media %s at %0.3f\n", filename.c_str(), seconds);
    int ms = static_cast<int>(std::max(0.0f, seconds) * 1000.0f);
    if (!StartMediaOutputAt(filename, ms)) lateJoinFailed = filename;
}

void ResetMediaOutputForTesting() {
    CloseMediaOutput();
    std::lock_guard<std::mutex> l(volumeLock);
    volume = DEFAULT_VOLUME;
    volumePersisted = false;
    lateJoinFailed.clear();
}
