#include "mediaoutput/CinemaOut.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Lockstep.h"
#include "channeloutput/ChannelOutputThread.h"
#include "common.h"
#include "mediaoutput/FineSpeedController.h"
#include "mediaoutput/MediaOutput.h"
#include "mediaoutput/VLCCompat.h"
#include "platform/Logging.h"
#include "platform/MediaDetails.h"
#include "platform/Warnings.h"
#include "settings.h"

// libVLC event numbers: 265 is the end of the media, 258 the start of opening.
static constexpr int VLC_EVENT_ENDED = 265;
static constexpr int VLC_EVENT_STARTING = 258;

VLCManager vlcManager;
std::string currentMediaFilename;
RateHistory sharedRateHistory;
std::list<float>& lastRates = sharedRateHistory.lastRates;
float& rateSum = sharedRateHistory.rateSum;

struct CinemaPlayback : public RatePlayer {
    explicit CinemaPlayback(CinemaOutput* owner)
        : owner(owner), speed(*this, sharedRateHistory), fine(*this) {}

    void SetRate(float rate) override {
        if (player) libvlc_media_player_set_rate(player, rate);
    }
    void SeekMS(int64_t ms) override {
        if (!player) return;
        vlcSeekMS(player, ms);
        clock.Reset();
    }

    CinemaOutput* owner;
    libvlc_media_player_t* player = nullptr;
    libvlc_media_t* media = nullptr;
    libvlc_equalizer_t* equalizer = nullptr;
    std::string fullPath;
    int64_t length = 0;
    int64_t lastTime = 0;
    PlayClock clock;
    SpeedController speed;
    FineSpeedController fine;
    bool useFine = false;
};

// ---- libVLC instance and its log

static const char* const QUIET_VLC_ERRORS[] = {
    "buffer deadlock prevented",
    "cannot estimate delay: Input/output error",
    "cannot connect to session bus: Unable to autolaunch a dbus-daemon without a $DISPLAY for X11",
};

static void LogFromVLC(void* data, int level, const libvlc_log_t* ctx, const char* fmt, va_list args) {
    if (level == LIBVLC_DEBUG) {
        if (!WillLog(LOG_EXCESS, VB_MEDIAOUT)) return;
        char buf[513];
        vsnprintf(buf, sizeof(buf), fmt, args);
        LogExcess(VB_MEDIAOUT, "%s\n", buf);
    } else if (level == LIBVLC_NOTICE || level == LIBVLC_WARNING) {
        if (!WillLog(LOG_DEBUG, VB_MEDIAOUT)) return;
        char buf[256];
        vsnprintf(buf, sizeof(buf), fmt, args);
        LogDebug(VB_MEDIAOUT, "%s\n", buf);
    } else if (level == LIBVLC_ERROR) {
        if (!WillLog(LOG_WARN, VB_MEDIAOUT)) return;
        char buf[256];
        vsnprintf(buf, sizeof(buf), fmt, args);
        for (const char* quiet : QUIET_VLC_ERRORS) {
            if (strcmp(buf, quiet) == 0) return;
        }
        LogWarn(VB_MEDIAOUT, "%s\n", buf);
    }
}

VLCManager::~VLCManager() {
    if (vlcInstance) {
        // Logging may already be torn down at program exit.
        libvlc_log_unset(vlcInstance);
        libvlc_release(vlcInstance);
        vlcInstance = nullptr;
    }
}

static constexpr int64_t SLOW_VLC_START_MS = 100;

libvlc_instance_t* VLCManager::Instance() {
    if (vlcInstance) return vlcInstance;
    if (FileExists("/etc/lyr/desktop") && getenv("DISPLAY") == nullptr) setenv("DISPLAY", ":0", 1);
    std::vector<const char*> args = {"--no-osd"};
    if (getSettingInt("HardwareDecoding", 1) == 0) args.push_back("--no-hw-dec");
    for (const char* a : {"-A", "alsa", "-I", "dummy"}) args.push_back(a);
    int64_t began = PlayClock::SteadyMS();
    vlcInstance = libvlc_new(static_cast<int>(args.size()), args.data());
    if (!vlcInstance) {
        WarningHolder::AddWarningTimeout("Could not create Video Ouput Device.", 60);
        return nullptr;
    }
    // With its plug-in cache libVLC starts in a few milliseconds; without it
    // every plug-in is loaded and probed, and a remote starts its first
    // entry that much late.
    int64_t took = PlayClock::SteadyMS() - began;
    if (took > SLOW_VLC_START_MS)
        LogWarn(VB_MEDIAOUT, "Starting libVLC took %d ms; its plug-in cache may be missing (package libvlc-bin)\n",
                static_cast<int>(took));
    libvlc_log_set(vlcInstance, LogFromVLC, this);
    return vlcInstance;
}

// ---- event callbacks, on libVLC's threads

static void OnEnded(const libvlc_event_t* event, void* data) {
    static_cast<CinemaPlayback*>(data)->owner->Stopped();
}

static void OnStarting(const libvlc_event_t* event, void* data) {
    static_cast<CinemaPlayback*>(data)->owner->Starting();
}

static void OnTimeChanged(const libvlc_event_t* event, void* data) {
    static_cast<CinemaPlayback*>(data)->clock.Refreshed(event->u.media_player_time_changed.new_time,
                                                        PlayClock::SteadyMS());
}

// ---- the output

CinemaOutput::CinemaOutput(const std::string& mediaFilename, MediaOutputStatus* status,
                           const std::string& videoOut) {
    LogExcess(VB_MEDIAOUT, "CinemaOutput::CinemaOutput(%s)\n", mediaFilename.c_str());
    m_mediaOutputStatus = status;
    allowSpeedAdjust = getSettingInt("remoteIgnoreSync", 0) == 0;
    status->status = 0;
    status->secondsElapsed = 0;
    status->subSecondsElapsed = 0;
    status->mediaSeconds = 0.0f;

    std::string path = ResolveMediaPath(mediaFilename);
    if (!FileExists(path)) {
        LogErr(VB_MEDIAOUT, "%s does not exist!\n", path.c_str());
        currentMediaFilename = "";
        return;
    }
    currentMediaFilename = mediaFilename;
    m_mediaFilename = mediaFilename;
    data.reset(new CinemaPlayback(this));
    data->useFine = getSettingInt("remoteFineMediaSync", 0) != 0;
    data->fullPath = path;

    libvlc_instance_t* instance = vlcManager.Instance();
    if (!instance) return;

    data->media = vlcMediaFromPath(instance, path.c_str());
    if (data->media) data->player = vlcPlayerFromMedia(instance, data->media);
    if (!data->player) {
        LogErr(VB_MEDIAOUT, "Could not create a player for %s\n", path.c_str());
        if (data->media) libvlc_media_release(data->media);
        data->media = nullptr;
        return;
    }
    libvlc_event_manager_t* events = libvlc_media_player_event_manager(data->player);
    libvlc_event_attach(events, static_cast<libvlc_event_type_t>(VLC_EVENT_ENDED), OnEnded, data.get());
    libvlc_event_attach(events, static_cast<libvlc_event_type_t>(VLC_EVENT_STARTING), OnStarting, data.get());
    libvlc_event_attach(events, libvlc_MediaPlayerTimeChanged, OnTimeChanged, data.get());
    // The player reports -1 until the input has opened; 0 means "not known yet".
    data->length = std::max<int64_t>(0, libvlc_media_player_get_length(data->player));
    m_volumeApplied = ApplyVolume(m_volume);

    if (startsWith(getSetting("AudioCardType"), "Dummy")) {
        WarningHolder::AddWarningTimeout("Outputting Audio to Dummy device.", 60);
    }
}

CinemaOutput::~CinemaOutput() {
    LogExcess(VB_MEDIAOUT, "CinemaOutput::~CinemaOutput(%X) %0.3f\n", (unsigned)(uintptr_t)data.get(),
              m_mediaOutputStatus->mediaSeconds);
    Close();
}

void CinemaOutput::FillTotals(int64_t lengthMS) {
    int total = static_cast<int>(lengthMS / 1000);
    m_mediaOutputStatus->secondsRemaining = total;
    m_mediaOutputStatus->subSecondsRemaining = 0;
    m_mediaOutputStatus->minutesTotal = total / 60;
    m_mediaOutputStatus->secondsTotal = total % 60;
}

void CinemaOutput::ReadLength() {
    data->length = std::max<int64_t>(0, libvlc_media_player_get_length(data->player));
}

bool CinemaOutput::Start(int msTime) {
    LogDebug(VB_MEDIAOUT, "CinemaOutput::Start(%X, %d) %0.3f\n", (unsigned)(uintptr_t)data.get(), msTime,
             m_mediaOutputStatus->mediaSeconds);
    if (!data || !data->player) {
        m_mediaOutputStatus->status = 0;
        return false;
    }
    libvlc_media_player_play(data->player);
    if (msTime != 0) vlcSeekMS(data->player, msTime);
    data->clock.Reset();
    ReadLength();
    FillTotals(data->length);
    m_volumeApplied = ApplyVolume(m_volume);
    m_mediaOutputStatus->status = 1;
    return true;
}

bool CinemaOutput::Stop() {
    LogDebug(VB_MEDIAOUT, "CinemaOutput::Stop(%X) %0.3f\n", (unsigned)(uintptr_t)data.get(),
             m_mediaOutputStatus->mediaSeconds);
    if (data && data->player) {
        vlcStopAsync(data->player);
        libvlc_media_player_release(data->player);
        libvlc_media_release(data->media);
        data->player = nullptr;
        data->media = nullptr;
    }
    if (data && data->equalizer) {
        libvlc_audio_equalizer_release(data->equalizer);
        data->equalizer = nullptr;
    }
    m_mediaOutputStatus->status = 0;
    return true;
}

bool CinemaOutput::Restart() {
    LogDebug(VB_MEDIAOUT, "CinemaOutput::Restart(%X) %0.3f\n", (unsigned)(uintptr_t)data.get(),
             m_mediaOutputStatus->mediaSeconds);
    if (!data) {
        m_mediaOutputStatus->status = 0;
        return false;
    }
    if (data->player) {
        libvlc_media_player_set_media(data->player, data->media);
        libvlc_media_player_play(data->player);
        vlcSeekMS(data->player, 0);
        data->clock.Reset();
    }
    FillTotals(data->length);
    m_mediaOutputStatus->status = 1;
    return true;
}

bool CinemaOutput::Close() {
    LogDebug(VB_MEDIAOUT, "CinemaOutput::Close() %0.3f\n", m_mediaOutputStatus->mediaSeconds);
    Stop();
    return false;
}

bool CinemaOutput::IsPlaying() {
    LogExcess(VB_MEDIAOUT, "CinemaOutput::IsPlaying() %0.3f\n", m_mediaOutputStatus->mediaSeconds);
    return m_mediaOutputStatus->status == 1;
}

// Only an end, an error or a stop means the media is over: right after
// play() the state still reads "nothing special" until the input reports in,
// and opening or buffering are part of playing.
static bool PlayerIsPlaying(libvlc_media_player_t* player) {
    libvlc_state_t state = libvlc_media_player_get_state(player);
    return state != libvlc_Stopped && state != libvlc_Ended && state != libvlc_Error;
}

static bool PlayerFailedOrEnded(libvlc_media_player_t* player) {
    libvlc_state_t state = libvlc_media_player_get_state(player);
    return state == libvlc_Error || state == libvlc_Ended;
}

bool CinemaOutput::Process() {
    if (!data || !data->player) return false;
    MediaOutputStatus* st = m_mediaOutputStatus;
    int64_t t = data->clock.Now(data->player);
    if (data->length == 0) {
        ReadLength();
        FillTotals(data->length);
    }
    if (t != data->lastTime) data->lastTime = t;
    ApplyRequestedVolume();

    int64_t length = data->length;
    bool ended = false;
    if (t == 0) {
        // A file libVLC cannot open reports time 0 and position 0 forever;
        // its error state is what tells it from one that is still opening.
        if (PlayerFailedOrEnded(data->player)) {
            ended = true;
        } else if (libvlc_media_player_get_position(data->player) >= -0.5f) {
            st->mediaSeconds = 0.0f;
            st->secondsElapsed = 0;
            st->subSecondsElapsed = 0;
            st->secondsRemaining = static_cast<int>(length / 1000);
            st->subSecondsRemaining = static_cast<int>((length / 10) % 100);
        } else {
            ended = true;
        }
    } else if (PlayerIsPlaying(data->player)) {
        int64_t left = std::max<int64_t>(0, length - t);
        st->mediaSeconds = static_cast<float>(t) / 1000.0f;
        st->secondsElapsed = static_cast<int>(st->mediaSeconds);
        st->subSecondsElapsed = static_cast<int>((t / 10) % 100);
        st->secondsRemaining = static_cast<int>(left / 1000);
        st->subSecondsRemaining = static_cast<int>((left / 10) % 100);
    } else {
        ended = true;
    }
    if (ended) {
        st->status = 0;
        st->mediaSeconds = static_cast<float>(length) / 1000.0f;
        st->secondsElapsed = static_cast<int>(st->mediaSeconds);
        st->subSecondsElapsed = static_cast<int>((length / 10) % 100);
        st->secondsRemaining = 0;
        st->subSecondsRemaining = 0;
    }

    if (IsSendingMediaSync()) lockstep->SendMediaSyncPacket(m_mediaFilename, st->mediaSeconds);

    LogExcess(VB_MEDIAOUT, "Elapsed: %.2d.%.3d  Remaining: %.2d  Total %.2d:%.2d\n", st->secondsElapsed,
              st->subSecondsElapsed, st->secondsRemaining, st->minutesTotal, st->secondsTotal);
    CalculateNewChannelOutputDelay(st->mediaSeconds);
    return st->status == 1;
}

bool CinemaOutput::AdjustSpeed(float masterMediaSeconds) {
    if (!data || !data->player || !allowSpeedAdjust) return true;
    // A sync packet wakes the main loop between two Process() calls; compare
    // against the position now rather than the one of the last call.
    int64_t t = data->clock.Now(data->player);
    if (t > 0 && PlayerIsPlaying(data->player))
        m_mediaOutputStatus->mediaSeconds = static_cast<float>(t) / 1000.0f;
    if (data->useFine) {
        data->fine.Adjust(m_mediaOutputStatus->mediaSeconds, masterMediaSeconds);
    } else {
        data->speed.Adjust(m_mediaOutputStatus->mediaSeconds, masterMediaSeconds);
    }
    return true;
}

void CinemaOutput::Starting() {}

void CinemaOutput::Stopped() {}

void CinemaOutput::SetVolumeAdjustment(int percent) {
    if (!data || percent == 0) return;
    LogDebug(VB_MEDIAOUT, "Volume Adjustment:\t%d\n", percent);
    if (!data->equalizer) data->equalizer = libvlc_audio_equalizer_new_from_preset(0);
    if (!data->equalizer) return;
    float p = libvlc_audio_equalizer_get_preamp(data->equalizer);
    float adjusted = percent > 0 ? p + percent * (20.0f - p) / 100.0f : p + percent * (p + 20.0f) / 100.0f;
    libvlc_audio_equalizer_set_preamp(data->equalizer, adjusted);
    if (data->player) libvlc_media_player_set_equalizer(data->player, data->equalizer);
}

const SpeedController* CinemaOutput::GetSpeedController() const {
    return data && data->player ? &data->speed : nullptr;
}

int64_t CinemaOutput::GetPlayerTimeMS() {
    if (!data || !data->player) return -1;
    return data->clock.Now(data->player);
}

bool CinemaOutput::ApplyVolume(int volume) {
    if (!data || !data->player) return false;
    return libvlc_audio_set_volume(data->player, volume) == 0;
}
