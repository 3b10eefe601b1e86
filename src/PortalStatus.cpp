// GET side of PlayerResource: the status document and the read endpoints.
#include <sys/sysinfo.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "Lockstep.h"
#include "LoopTiming.h"
#include "Player.h"
#include "Portal.h"
#include "Scheduler.h"
#include "channelinput/Recorder.h"
#include "channelinput/RecorderCommands.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/Bridge.h"
#include "platform/ChannelTester.h"
#include "platform/Effects.h"
#include "platform/Logging.h"
#include "platform/MosquittoClient.h"
#include "platform/Sensors.h"
#include "platform/Version.h"
#include "platform/Warnings.h"
#include "settings.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

namespace {

// Members of documents other components build: a missing member, or a
// member of something that is not an object, reads as null instead of
// throwing.
const Json::Value& field(const Json::Value& v, const char* key) {
    static const Json::Value none;
    if (!v.isObject()) return none;
    const Json::Value* m = v.find(key, key + strlen(key));
    return m ? *m : none;
}

// Numbers in entry documents may arrive as numbers or as decimal text; a
// malformed value counts as 0 rather than failing the whole status.
int toInt(const Json::Value& v) {
    auto clamp = [](long double x) {
        if (x > INT_MAX) return INT_MAX;
        if (x < INT_MIN) return INT_MIN;
        return static_cast<int>(x);
    };
    if (v.isUInt64() && !v.isInt64()) return INT_MAX;
    if (v.isIntegral()) return clamp(static_cast<long double>(v.asInt64()));
    if (v.isDouble()) return std::isfinite(v.asDouble()) ? clamp(v.asDouble()) : 0;
    if (v.isBool()) return v.asBool() ? 1 : 0;
    if (v.isString()) {
        try {
            return std::stoi(v.asString());
        } catch (const std::exception&) {
            return 0;
        }
    }
    return 0;
}

std::string toText(const Json::Value& v) {
    if (v.isString()) return v.asString();
    if (v.isNull() || v.isObject() || v.isArray()) return "";
    return v.asString();
}

const char* statusName(int status) {
    switch (status) {
        case 0:
            return "idle";
        case 1:
            return "playing";
        case 2:
            return "stopping gracefully";
        case 3:
            return "stopping gracefully after loop";
        case 4:
            return "stopping now";
        case 5:
            return "paused";
        default:
            return "unknown";
    }
}

// "/path/show.json" -> "show"; "a.b.lseq" keeps its extension.
std::string playlistDisplayName(std::string name) {
    size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    if (!endsWith(name, ".lseq")) {
        size_t dot = name.find_last_of('.');
        if (dot != std::string::npos) name.erase(dot);
    }
    return name;
}

std::string localTimeText(time_t now) {
    struct tm tm;
    localtime_r(&now, &tm);
    char buf[128];
    size_t n = strftime(buf, sizeof(buf), "%a %b %d %H:%M:%S %Z %Y", &tm);
    return std::string(buf, n);
}

Json::Value schedulerInfo() {
    return scheduler ? scheduler->GetInfo() : Json::Value(Json::objectValue);
}

void setNextPlaylist(Json::Value& result) {
    Json::Value next;
    next["playlist"] = scheduler ? scheduler->GetNextPlaylistName() : "";
    next["start_time"] = scheduler ? scheduler->GetNextPlaylistStartStr() : "";
    result["next_playlist"] = next;
}

void setTimes(Json::Value& result, int elapsed, int remaining) {
    result["seconds_played"] = std::to_string(elapsed);
    result["seconds_elapsed"] = std::to_string(elapsed);
    result["seconds_remaining"] = std::to_string(remaining);
    result["time_elapsed"] = secondsToTime(elapsed);
    result["time_remaining"] = secondsToTime(remaining);
}

int versionPart(const std::string& triplet, int index) {
    std::vector<std::string> parts = split(triplet, '.');
    if (index >= static_cast<int>(parts.size())) return 0;
    try {
        return std::stoi(parts[index]);
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

std::string secondsToTime(int secs) {
    // A negative duration (a clock or entry glitch) reads as none.
    if (secs < 0) secs = 0;
    std::string out;
    char buf[32];
    if (secs > 86400) {
        int days = secs / 86400;
        out += std::to_string(days) + (days == 1 ? " day, " : " days, ");
        secs %= 86400;
    }
    if (secs >= 3601) {
        snprintf(buf, sizeof(buf), "%02d:", secs / 3600);
        out += buf;
        secs %= 3600;
    }
    snprintf(buf, sizeof(buf), "%02d:%02d", secs / 60, secs % 60);
    return out + buf;
}

long PlayerResource::GetUptime(time_t now, long systemUptime) {
    if (systemUptime < 0) {
        struct sysinfo info;
        systemUptime = sysinfo(&info) == 0 ? info.uptime : 0;
    }
    time_t start = startTime.load();
    long u = static_cast<long>(now - start);
    if (u > systemUptime || u < 0) {
        // The wall clock jumped after start (network time on a board
        // without a battery clock): count from now.
        startTime = now;
        u = 0;
    }
    return u;
}

void FillRemoteStatus(Json::Value& result, const std::string& seqName, int seqElapsed, int seqRemaining,
                      bool hasMedia, const std::string& mediaName, int mediaElapsed, int mediaRemaining) {
    int elapsed = hasMedia ? mediaElapsed : seqElapsed;
    int remaining = hasMedia ? mediaRemaining : seqRemaining;
    std::string media = hasMedia ? mediaName : "";
    if (!seqName.empty() || !media.empty()) {
        result["status"] = 1;
        result["status_name"] = "playing";
    }
    result["playlist"] = seqName;
    result["sequence_filename"] = seqName;
    result["current_sequence"] = seqName;
    result["media_filename"] = media;
    result["current_song"] = media;
    setTimes(result, elapsed, remaining);
}

void PlayerResource::AddRemoteStatus(Json::Value& result) {
    std::string seqName;
    int seqElapsed = 0;
    int seqRemaining = 0;
    if (sequence && sequence->IsSequenceRunning()) {
        seqName = sequence->GetSequenceFilename();
        seqElapsed = static_cast<int>(sequence->GetElapsedMS() / 1000);
        seqRemaining = static_cast<int>(sequence->GetRemainingMS() / 1000);
    }
    bool hasMedia = false;
    std::string mediaName;
    int mediaElapsed = 0;
    int mediaRemaining = 0;
    {
        std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
        if (mediaOutput) {
            hasMedia = true;
            mediaName = mediaOutput->m_mediaFilename;
            const MediaOutputStatus* st =
                mediaOutput->m_mediaOutputStatus ? mediaOutput->m_mediaOutputStatus : mediaOutputStatus;
            if (st) {
                mediaElapsed = st->secondsElapsed;
                mediaRemaining = st->secondsRemaining;
            }
        }
    }
    FillRemoteStatus(result, seqName, seqElapsed, seqRemaining, hasMedia, mediaName, mediaElapsed,
                     mediaRemaining);
}

void FillPlayingStatus(Json::Value& result, const Json::Value& info, int position, uint64_t seqElapsedMS,
                       uint64_t seqRemainingMS) {
    Json::Value entry = field(info, "currentEntry");
    if (entry.isObject() && entry.isMember("dynamic")) entry = entry["dynamic"];
    if (!entry.isObject()) entry = Json::Value(Json::objectValue);

    result["repeat_mode"] = toInt(field(info, "repeat"));
    setNextPlaylist(result);

    std::string type = toText(entry["type"]);
    Json::Value& cp = result["current_playlist"];
    cp["playlist"] = playlistDisplayName(toText(field(info, "name")));
    cp["description"] = toText(field(info, "desc"));
    cp["index"] = std::to_string(position);
    cp["count"] = std::to_string(toInt(field(info, "size")));
    cp["type"] = type;

    std::string seqName;
    std::string mediaName;
    int elapsed = 0;
    int remaining = 0;
    if (type == "both") {
        const Json::Value& media = field(entry, "media");
        seqName = toText(field(field(entry, "sequence"), "sequenceName"));
        mediaName = toText(field(media, "mediaFilename"));
        elapsed = toInt(field(media, "secondsElapsed"));
        remaining = toInt(field(media, "secondsRemaining"));
    } else if (type == "media") {
        mediaName = toText(entry["mediaFilename"]);
        elapsed = toInt(entry["secondsElapsed"]);
        remaining = toInt(entry["secondsRemaining"]);
    } else if (type == "sequence") {
        seqName = toText(entry["sequenceName"]);
        elapsed = static_cast<int>(seqElapsedMS / 1000);
        remaining = static_cast<int>(seqRemainingMS / 1000);
    } else if (type == "script") {
        seqName = toText(entry["scriptFilename"]);
        elapsed = toInt(entry["secondsElapsed"]);
    } else if (type == "pause") {
        elapsed = toInt(entry["duration"]) - toInt(entry["remaining"]);
        remaining = toInt(entry["remaining"]);
    }
    result["current_sequence"] = seqName;
    result["current_song"] = mediaName;
    setTimes(result, elapsed, remaining);
}

void PlayerResource::AddPlayingStatus(Json::Value& result) {
    uint64_t seqElapsed = sequence ? sequence->GetElapsedMS() : 0;
    uint64_t seqRemaining = sequence ? sequence->GetRemainingMS() : 0;
    FillPlayingStatus(result, Player::INSTANCE.GetInfoForStatus(), Player::INSTANCE.GetPosition(), seqElapsed,
                      seqRemaining);
    result["scheduler"] = schedulerInfo();
}

void PlayerResource::GetCurrentStatus(Json::Value& result) {
    LogDebug(VB_HTTP, "API - Getting lyrd status\n");
    BuildCurrentStatus(result);
}

void PlayerResource::BuildCurrentStatus(Json::Value& result) {
    int mode = static_cast<int>(getLyrmode());
    int status = Player::INSTANCE.GetStatus();

    result["lyrd"] = "running";
    result["uuid"] = getSetting("SystemUUID");
    result["mode"] = mode;
    char* modeText = modeToString(mode);  // a copy of our own: polled every second, it must not leak
    result["mode_name"] = modeText ? modeText : "unknown";
    free(modeText);
    result["status"] = status;
    result["bridging"] = HasBridgeData();
    result["lockstep"] = lockstep != nullptr && lockstep->IsSendingSync();
    result["status_name"] = ChannelTester::INSTANCE.Testing() ? "testing" : statusName(status);
    result["volume"] = getVolume();

    time_t now = time(nullptr);
    result["time"] = localTimeText(now);
    std::string timeFormat = getSetting("TimeFormat");
    std::string fullFormat = timeFormat;
    replaceAll(fullFormat, "%M", "%M:%S");
    result["timeStrFull"] = GetTimeStr(fullFormat);
    result["timeStr"] = GetTimeStr(timeFormat);
    result["dateStr"] = GetDateStr(getSetting("DateFormat"));

    long u = GetUptime(now);
    result["uptime"] = secondsToTime(static_cast<int>(u));
    result["uptimeTotalSeconds"] = static_cast<Json::Int64>(u);
    result["uptimeSeconds"] = static_cast<int>(u % 60);
    result["uptimeDays"] = u / 86400.0;
    result["uptimeMinutes"] = (u % 3600) / 60.0;
    result["uptimeHours"] = (u % 86400) / 3600.0;
    result["uptimeStr"] = std::to_string(u / 86400) + " days, " + std::to_string((u % 86400) / 3600) +
                          " hours, " + std::to_string((u % 3600) / 60) + " minutes, " +
                          std::to_string(u % 60) + " seconds";

    Sensors::INSTANCE.reportSensors(result);

    Json::Value warnings(Json::arrayValue);
    for (const auto& w : WarningHolder::GetWarnings()) warnings.append(w);
    result["warnings"] = warnings;

    Json::Value m;
    m["configured"] = mqtt != nullptr;
    m["connected"] = mqtt != nullptr && mqtt->IsConnected();
    result["MQTT"] = m;

    Recorder* recorder = GetRecorder();
    result["recording"] = recorder ? recorder->statusJSON() : Recorder::ToJSON(Recorder::Status());

    Json::Value cp;
    cp["playlist"] = "";
    cp["description"] = "";
    cp["type"] = "";
    cp["index"] = "0";
    cp["count"] = "0";
    result["current_playlist"] = cp;
    result["current_sequence"] = "";
    result["current_song"] = "";
    result["seconds_played"] = "0";
    result["seconds_remaining"] = "0";
    result["time_elapsed"] = "00:00";
    result["time_remaining"] = "00:00";
    setNextPlaylist(result);

    if (mode == REMOTE_MODE) {
        AddRemoteStatus(result);
    } else if (status != 0) {
        AddPlayingStatus(result);
    } else {
        setNextPlaylist(result);
        result["repeat_mode"] = "0";
        result["scheduler"] = schedulerInfo();
    }
}

bool PlayerResource::HandleGet(const std::string& endpoint, const http_request& req, Json::Value& result,
                               std::shared_ptr<http_response>& direct) {
    if (endpoint == "effects") {
        LogDebug(VB_HTTP, "API - Getting list of running effects\n");
        SetOKResult(result, "");
        result["runningEffects"] = GetRunningEffectsJson();
    } else if (endpoint == "log") {
        Json::Value log(Json::objectValue);
        for (LyrLoggerInstance* l : LyrLogger::INSTANCE.all())
            log[l->name] = LogLevelToString(l->level.load());
        SetOKResult(result, "");
        result["log"] = log;
    } else if (endpoint == "status") {
        GetCurrentStatus(result);
    } else if (endpoint == "e131stats") {
        result = GetE131UniverseBytesReceived();
        if (result.isObject() && result.isMember("universes")) {
            SetOKResult(result, "");
        } else {
            result = Json::Value();
            SetErrorResult(result, 400, "GetE131UniverseBytesReceived() did not return any universes.");
        }
    } else if (endpoint == "lockstepSystems") {
        bool localOnly = req.get_arg("localOnly") == "1";
        result = lockstep ? lockstep->GetSystems(localOnly, true) : Json::Value();
        if (result.isObject() && result.isMember("systems")) {
            SetOKResult(result, "");
        } else {
            result = Json::Value();
            SetErrorResult(result, 400, "Lockstep did not return any systems.");
        }
    } else if (endpoint == "lockstepStats") {
        result = (lockstep ? lockstep->GetSyncStats() : Json::Value());
        if (result.isObject() && result.isMember("systems")) {
            SetOKResult(result, "");
        } else {
            result = Json::Value();
            SetErrorResult(result, 400, "Lockstep did not return any systems.");
        }
        if (req.get_arg("reset") == "1" && lockstep) lockstep->ResetSyncStats();
    } else if (endpoint == "playlists") {
        LogDebug(VB_HTTP, "API - Getting current playlist\n");
        Json::Value list(Json::arrayValue);
        if (Player::INSTANCE.IsPlaying()) list.append(Player::INSTANCE.GetPlaylistName());
        SetOKResult(result, "");
        result["playlists"] = list;
    } else if (endpoint == "playlist/filetime") {
        SetOKResult(result, "");
        result["fileTime"] =
            static_cast<Json::Int64>(Player::INSTANCE.IsPlaying() ? Player::INSTANCE.GetFileTime() : 0);
    } else if (endpoint == "playlist/config") {
        if (Player::INSTANCE.IsPlaying()) result = Player::INSTANCE.GetConfig();
        if (!result.isObject()) result = Json::Value(Json::objectValue);
        SetOKResult(result, "");
    } else if (endpoint == "schedule") {
        SetOKResult(result, "");
        result["schedule"] = (scheduler ? scheduler->GetSchedule() : Json::Value(Json::arrayValue));
    } else if (endpoint == "version") {
        SetOKResult(result, "");
        std::string triplet = getLyrVersionTriplet();
        result["version"] = getLyrVersion();
        result["majorVersion"] = versionPart(triplet, 0);
        result["minorVersion"] = versionPart(triplet, 1);
        result["branch"] = getLyrBranch();
        result["lyrdAPI"] = "v1";
    } else if (endpoint == "volume") {
        std::string set = req.get_arg("set");
        if (!set.empty()) setVolume(std::stoi(set, nullptr, 10));
        if (req.get_arg("simple") == "true") {
            direct = std::make_shared<string_response>(std::to_string(getVolume()), 200, "text/plain");
            return true;
        }
        SetOKResult(result, "");
        result["volume"] = getVolume();
    } else if (endpoint == "debug/mainLoop") {
        result = LoopTiming::INSTANCE.ToJSON(LoopTimingNow());
        SetOKResult(result, "");
        if (req.get_arg("reset") == "1") LoopTiming::INSTANCE.Reset(LoopTimingNow());
    } else if (endpoint == "sequence") {
        LogDebug(VB_HTTP, "API - Getting list of running sequences\n");
    } else {
        return false;
    }
    return true;
}
