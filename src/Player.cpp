#include "Player.h"

#include <chrono>
#include <thread>

#include "common.h"
#include "platform/Logging.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistCommands.h"

Player Player::INSTANCE;

namespace {

const char* ScheduledMethodText(int method) {
    switch (method) {
        case PLAYER_STOP_GRACEFUL:
            return "Graceful Stop";
        case PLAYER_STOP_HARD:
            return "Hard Stop";
        case PLAYER_STOP_GRACEFUL_AFTER_LOOP:
            return "Graceful Stop After Loop";
        default:
            return "";
    }
}

const char* CountdownMethodText(int method) {
    switch (method) {
        case PLAYER_STOP_GRACEFUL:
            return "Stopping Gracefully";
        case PLAYER_STOP_HARD:
            return "Hard Stop";
        case PLAYER_STOP_GRACEFUL_AFTER_LOOP:
            return "Stopping Gracefully After Loop";
        default:
            return "";
    }
}

std::string TimeText(time_t t) {
    char buf[64];
    if (!ctime_r(&t, buf)) return "\n";
    return buf;
}

// A stopped inserted playlist hands control back to its parent, which may
// still be playing; a stop of the player ends the whole chain.
const int MAX_CHAIN = 16;

}  // namespace

Player::Player() { lastProcessSecond = time(nullptr); }

Player::~Player() {
    // At process exit: the static destructor order is not ours to rely on,
    // so only the playlist this front created is released.
    delete playlist;
    playlist = nullptr;
}

void Player::Init() {
    if (!playlist) playlist = new Playlist(nullptr);
    RegisterPlaylistCommands();
}

// ---- forwarders ----

int Player::Load(std::string n) { return playlist->Load(n.c_str()); }
int Player::Start() { return playlist->Start(); }
void Player::RestartItem() { playlist->RestartItem(); }
void Player::NextItem() { playlist->NextItem(); }
void Player::PrevItem() { playlist->PrevItem(); }

void Player::Pause() {
    Playlist* p = playlist;
    std::lock_guard<std::recursive_mutex> l(p->GetMutex());
    p->Pause();
}

void Player::Resume() {
    Playlist* p = playlist;
    std::lock_guard<std::recursive_mutex> l(p->GetMutex());
    p->Resume();
}

void Player::Cleanup() {
    Playlist* p = playlist;
    std::lock_guard<std::recursive_mutex> l(p->GetMutex());
    // The caller saw the playlist idle, but a start from an HTTP or command
    // thread may have come since: that playlist must not be emptied.
    if (p->getPlaylistStatus() == PLAYLIST_STATUS_IDLE) p->Cleanup();
}
void Player::ProcessMedia() { playlist->ProcessMedia(); }
bool Player::IsPlaying() { return playlist && playlist->IsPlaying(); }
int Player::GetStatus() { return playlist ? playlist->getPlaylistStatus() : 0; }
int Player::GetPosition() { return playlist ? playlist->GetPosition() : 0; }

Json::Value Player::GetInfo() {
    Playlist* p = playlist;
    std::lock_guard<std::recursive_mutex> l(p->GetMutex());
    return p->GetInfo();
}

// Within this long of the last document, polls share it: fifty clients
// asking at once would otherwise queue on the playlist lock in turn with the
// main loop, which needs it every iteration.
static constexpr auto STATUS_INFO_FRESH = std::chrono::milliseconds(100);

Json::Value Player::GetInfoForStatus() {
    auto now = std::chrono::steady_clock::now();
    Playlist* p = playlist;
    // What changes the document at once (another playlist, entry or state)
    // makes the shared one stale however young it is.
    InfoKey key{p, p ? p->GetPosition() : 0, GetStatus()};
    {
        std::lock_guard<std::mutex> g(infoLock);
        if (!lastInfo.isNull() && key == lastInfoKey && now - lastInfoTime < STATUS_INFO_FRESH)
            return lastInfo;
    }
    std::unique_lock<std::recursive_mutex> l(p->GetMutex(), std::defer_lock);
    for (int tries = 0; !l.try_lock(); tries++) {
        if (tries >= 10) {
            {
                std::lock_guard<std::mutex> g(infoLock);
                if (!lastInfo.isNull()) return lastInfo;
            }
            l.lock();
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    Json::Value info = p->GetInfo();
    l.unlock();
    std::lock_guard<std::mutex> g(infoLock);
    lastInfo = info;
    lastInfoTime = now;
    lastInfoKey = key;
    return info;
}

Json::Value Player::GetConfig() {
    Playlist* p = playlist;
    std::lock_guard<std::recursive_mutex> l(p->GetMutex());
    return p->GetConfig();
}

Json::Value Player::GetMqttStatusJSON() { return playlist->GetMqttStatusJSON(); }

int Player::FindPosForMS(uint64_t& ms) {
    Playlist* p = playlist;
    std::lock_guard<std::recursive_mutex> l(p->GetMutex());
    return p->FindPosForMS(ms);
}

void Player::GetFilenamesForPos(int position, std::string& seq, std::string& media) {
    Playlist* p = playlist;
    std::lock_guard<std::recursive_mutex> l(p->GetMutex());
    p->GetFilenamesForPos(position, seq, media);
}

void Player::InsertPlaylistAsNext(const std::string& n, int position, int endPosition) {
    playlist->InsertPlaylistAsNext(n, position, endPosition);
}

void Player::InsertPlaylistImmediate(const std::string& n, int position, int endPosition) {
    playlist->InsertPlaylistImmediate(n, position, endPosition);
}

// ---- accessors ----

std::string Player::GetPlaylistName() {
    Playlist* p = playlist;
    if (!p) return "";
    std::lock_guard<std::recursive_mutex> l(p->GetMutex());
    return p->GetPlaylistName();
}

int Player::GetRepeat() { return playlist ? playlist->GetRepeat() : 0; }
int Player::GetScheduleEntry() { return playlist ? playlist->GetScheduleEntry() : -1; }
bool Player::WasScheduled() { return GetScheduleEntry() != -1; }
int64_t Player::GetFileTime() { return playlist ? playlist->GetFileTime() : 0; }

// ---- starting ----

void Player::ResetRecord() {
    forceStopped = false;
    forceStoppedPlaylist = "";
}

int Player::StartPlaylist(const std::string& n, int repeat, int startPosition, int endPosition, int prio) {
    if (!IsPlaying() || n != name) {
        name = n;
        priority = prio;
        startTime = Now();
        stopTime = 0;
        origStopTime = 0;
        origStartTime = 0;
        stopMethod = PLAYER_STOP_GRACEFUL;
    }
    ResetRecord();
    int effectiveRepeat = repeat == -1 ? playlist->GetRepeat() : repeat;
    LogInfo(VB_PLAYLIST, "Manually starting %srepeating playlist '%s'\n", effectiveRepeat ? "" : "non-",
            n.c_str());
    return playlist->Play(n.c_str(), startPosition, repeat, -1, endPosition);
}

int Player::StartScheduledPlaylist(const std::string& n, int startPosition, int repeat, int scheduleEntry,
                                   int prio, long start, long stop, int method) {
    name = n;
    origStartTime = start;
    origStopTime = stop;
    startTime = Now();
    stopTime = stop;
    stopMethod = method;
    priority = prio;
    ResetRecord();
    LogInfo(VB_PLAYLIST, "Starting %srepeating playlist '%s' with scheduled '%s' in %d seconds\n",
            repeat ? "" : "non-", n.c_str(), ScheduledMethodText(method), (int)(stopTime - startTime));
    return playlist->Play(n.c_str(), startPosition, repeat, scheduleEntry, -1);
}

// ---- stopping ----

void Player::StopNow(int forced) {
    forceStopped = forced != 0;
    forceStoppedPlaylist = forced ? name : "";
    // One stop of the playlist in charge: an inserted playlist hands control
    // back to its parent, which goes on.  Callers that need the whole chain
    // idle repeat the call while the status is not 0.
    playlist->StopNow(forced);
}

void Player::StopGracefully(int forced, int afterCurrentLoop) {
    forceStopped = forced != 0;
    forceStoppedPlaylist = forced ? name : "";
    playlist->StopGracefully(forced, afterCurrentLoop);
}

bool Player::AdjustPlaylistStopTime(int seconds) {
    int status = GetStatus();
    if (status != 1 && status != 2 && status != 3) {
        LogInfo(VB_PLAYLIST, "Tried to extend a running playlist, but there is no playlist running.\n");
        return false;
    }
    if (!WasScheduled()) {
        LogInfo(VB_PLAYLIST, "Tried to extend running playlist, but it was manually started.\n");
        return false;
    }
    if (seconds < -10800 || seconds > 43200) return false;
    if (seconds < 0) {
        LogInfo(VB_PLAYLIST, "Shortening scheduled playlist '%s' by %d seconds\n", name.c_str(), -seconds);
    } else {
        LogInfo(VB_PLAYLIST, "Extending scheduled playlist '%s' by %d seconds\n", name.c_str(), seconds);
    }
    stopTime += seconds;
    LogInfo(VB_PLAYLIST, "New end time is now: %s", TimeText(stopTime).c_str());
    return true;
}

// ---- periodic ----

void Player::CountDown(time_t now) {
    if (now < stopTime) {
        long r = (long)(stopTime - now);
        bool announce = (r > 300 && r % 300 == 0) || (r >= 61 && r <= 300 && r % 60 == 0) ||
                        (r >= 11 && r <= 60 && r % 10 == 0) || r <= 10;
        if (announce) {
            LogInfo(VB_PLAYLIST, "Playlist '%s' will switch to '%s' in %ld second%s\n", name.c_str(),
                    CountdownMethodText(stopMethod), r, r == 1 ? "" : "s");
        }
        return;
    }
    bool forced = stopTime < origStopTime;
    if (stopMethod == PLAYER_STOP_GRACEFUL) {
        StopGracefully(forced, 0);
    } else if (stopMethod == PLAYER_STOP_GRACEFUL_AFTER_LOOP) {
        StopGracefully(forced, 1);
    } else {
        for (int i = 0; i < MAX_CHAIN && GetStatus() != 0; i++) StopNow(forced);
    }
}

int Player::Process() {
    time_t now = Now();
    if (GetStatus() == 1 && stopTime != 0 && now != lastProcessSecond) {
        lastProcessSecond = now;
        CountDown(now);
    }
    return playlist->Process();
}

// ---- status ----

Json::Value Player::GetStatusJSON() {
    Playlist* p = playlist;
    Json::Value pl;
    {
        std::lock_guard<std::recursive_mutex> l(p->GetMutex());
        pl = p->GetInfo();
        pl["details"] = p->GetConfig();
        pl["status"] = p->getPlaylistStatus();
        pl["scheduled"] = p->GetScheduleEntry() != -1;
        pl["position"] = p->GetPosition();
        pl["lastModified"] = (Json::Int64)p->GetFileTime();
    }
    pl["origStartTime"] = (Json::Int64)origStartTime;
    pl["origStopTime"] = (Json::Int64)origStopTime;
    pl["startTime"] = (Json::Int64)startTime;
    pl["stopTime"] = (Json::Int64)stopTime;
    pl["stopMethod"] = stopMethod;
    pl["priority"] = priority;
    Json::Value result(Json::objectValue);
    result["playlists"].append(pl);
    return result;
}

std::shared_ptr<httpserver::http_response> Player::render_GET(const httpserver::http_request& req) {
    std::vector<std::string> pieces = req.get_path_pieces();
    if (pieces.size() == 1 || (pieces.size() == 2 && pieces[1] == "status")) {
        return std::make_shared<httpserver::string_response>(SaveJsonToString(GetStatusJSON(), "  "), 200,
                                                             "application/json");
    }
    return std::make_shared<httpserver::string_response>("Not Found", 404, "text/plain");
}

std::shared_ptr<httpserver::http_response> Player::render_PUT(const httpserver::http_request&) {
    return std::make_shared<httpserver::string_response>("Not Found", 404, "text/plain");
}

void Player::SetClockForTesting(time_t (*c)()) { clock = c; }

time_t Player::Now() { return clock ? clock() : time(nullptr); }
