// The player front: the one way the daemon starts, stops and inspects
// playlists.  It forwards to the global `playlist` (which moves to an
// inserted playlist while one plays), remembers how the current playlist was
// started (by hand or by the scheduler, with which stop time and method),
// counts down to a scheduled stop, and answers GET "/player[/status]".
//
// Threading: the playlist's recursive mutex protects the engine; the only
// lock of the player's own guards the status document it shares between
// polls (GetInfoForStatus).  Process() and the stop countdown run on the main thread, like the
// scheduler, which is the only other writer of the countdown fields.  HTTP,
// MQTT and command-socket threads call the forwarders and the status getters.
// Every call needs Init() to have run.
#pragma once

#include <json/json.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "http/httpserver.h"

// Stop methods of a scheduled playlist.
enum PlayerStopMethod {
    PLAYER_STOP_GRACEFUL = 0,
    PLAYER_STOP_HARD = 1,
    PLAYER_STOP_GRACEFUL_AFTER_LOOP = 2,
};

class Playlist;

class Player : public httpserver::http_resource {
public:
    static Player INSTANCE;

    Player();
    ~Player() override;

    // Creates the top playlist and makes it the global `playlist`.
    void Init();

    // ---- forwarders to the playlist in charge ----
    int Load(std::string name);
    int Start();
    void RestartItem();
    void NextItem();
    void PrevItem();
    void Pause();
    void Resume();
    // Empties the playlist in charge if it is (still) idle.
    void Cleanup();
    void ProcessMedia();
    bool IsPlaying();
    int GetStatus();
    int GetPosition();
    Json::Value GetInfo();
    // GetInfo for status polls: polls within 100 ms of each other share one
    // document, and when the main loop holds the playlist (an entry opening
    // its media takes tens of milliseconds) for more than about 2 ms, the
    // document of the previous poll is answered instead of waiting.
    // Positions in it are then one poll old.
    Json::Value GetInfoForStatus();
    Json::Value GetConfig();
    Json::Value GetMqttStatusJSON();
    int FindPosForMS(uint64_t& ms);
    void GetFilenamesForPos(int position, std::string& sequence, std::string& media);
    void InsertPlaylistAsNext(const std::string& name, int position = -1, int endPosition = -1);
    void InsertPlaylistImmediate(const std::string& name, int position = -1, int endPosition = -1);

    // ---- accessors ----
    std::string GetPlaylistName();
    int GetRepeat();
    int GetScheduleEntry();
    bool WasScheduled();
    int64_t GetFileTime();
    int GetStopMethod() const { return stopMethod; }
    int GetPriority() const { return priority; }
    time_t GetStopTime() const { return stopTime; }
    time_t GetOrigStopTime() const { return origStopTime; }
    time_t GetOrigStartTime() const { return origStartTime; }
    time_t GetStartTime() const { return startTime; }
    const std::string& GetForceStoppedPlaylist() const { return forceStoppedPlaylist; }

    // ---- starting ----
    // repeat -1 keeps the playlist's current repeat flag.
    int StartPlaylist(const std::string& name, int repeat = -1, int startPosition = -1, int endPosition = -1,
                      int priority = 0);
    int StartScheduledPlaylist(const std::string& name, int startPosition, int repeat, int scheduleEntry,
                               int priority, long startTime, long stopTime, int stopMethod);

    // ---- stopping ----
    void StopNow(int forced = 0);
    void StopGracefully(int forced = 0, int afterCurrentLoop = 0);
    // Moves a scheduled stop by -10800..43200 seconds; false (unchanged) when
    // nothing scheduled is playing or the amount is out of range.
    bool AdjustPlaylistStopTime(int seconds);

    // Main loop, while IsPlaying(): stop countdown, then the playlist tick.
    int Process();

    Json::Value GetStatusJSON();

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_PUT(const httpserver::http_request& req) override;

    // Test seam: the clock the countdown reads (seconds since the epoch).
    // Null restores the system time.
    void SetClockForTesting(time_t (*clock)());

    // The last stop request was forced; read by the main loop once idle.
    bool forceStopped = false;

private:
    time_t Now();
    void CountDown(time_t now);
    void ResetRecord();

    std::string name;
    time_t lastProcessSecond = 0;
    time_t origStartTime = 0;
    time_t origStopTime = 0;
    time_t startTime = 0;
    time_t stopTime = 0;
    int stopMethod = PLAYER_STOP_GRACEFUL;
    int priority = 0;
    std::string forceStoppedPlaylist;
    time_t (*clock)() = nullptr;
    std::mutex infoLock;  // guards lastInfo and lastInfoTime
    Json::Value lastInfo;
    std::chrono::steady_clock::time_point lastInfoTime;
    struct InfoKey {
        Playlist* playlist = nullptr;
        int position = 0;
        int status = 0;
        bool operator==(const InfoKey& o) const {
            return playlist == o.playlist && position == o.position && status == o.status;
        }
    };
    InfoKey lastInfoKey;
};
