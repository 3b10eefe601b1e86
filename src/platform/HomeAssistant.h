// Home Assistant MQTT discovery: announces this board as one device with
// its entities (retained configs under "<prefix>/<component>/<node>/<object>/config")
// and keeps the states they read up to date.
//
// Entities and the topics below the client's base topic ("~") they use:
//   select  playlist        state ~/playlist/name/status   command ~/set/command/Start Playlist
//   button  stop_now, stop_gracefully, next, previous      command ~/set/playlist/ALLPLAYLISTS/...
//   number  volume          state ~/volume/status          command ~/set/volume
//   sensor  status          state ~/status
//   sensor  sequence        state ~/playlist/sequence/status
//   sensor  media           state ~/playlist/media/status
//   sensor  time_remaining  state ~/playlist/remaining/status (seconds)
//   sensor  next_show       state ~/schedule/next/status
//   binary_sensor playing   state ~/status (a template: not idle)
//   switch  scheduler       state ~/scheduler/status       command ~/set/scheduler (ON/OFF)
// All are available while ~/availability is "online" (the last will says
// "offline").  The topics the playlist already publishes are used as they
// are; the new ones (sequence, remaining, next show, volume, scheduler) are
// retained and published when they change.
//
// Configs are sent on every connect and again a short random time after
// Home Assistant's birth message ("online" on "<prefix>/status"); the
// select's options follow the playlists folder, and an empty retained config
// removes the select when no playlist is left, or every entity when
// discovery is turned off.
//
// Threading: the builders are pure.  Start() runs one thread that does all
// reading and publishing (about once a second); the MQTT callbacks only
// note what they saw or act through thread-safe calls.  Stop() (or the
// destructor) ends the thread; call it before the scheduler, player or MQTT
// client go away.
#pragma once

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class MosquittoClient;

class HomeAssistant {
public:
    struct Device {
        std::string node;  // topic-safe id, stable across restarts
        std::string name, model, version, url;
    };
    struct Entity {
        std::string component, object;
        Json::Value config;  // empty object: remove it
    };
    // What the entities show, taken once a tick.
    struct State {
        std::string status = "idle", playlist, sequence, media, next;
        int remaining = 0, volume = 0;
        bool schedulerOn = true;
        bool operator==(const State& o) const;
    };

    // "lyrd_" + the system id (or the host name without one), reduced to
    // the characters a discovery topic allows.
    static std::string NodeId(const std::string& systemUUID, const std::string& hostName);
    // Every entity, in a fixed order; the select is left out when there are
    // no playlists.  base is the client's base topic.
    static std::vector<Entity> Entities(const Device& d, const std::string& base,
                                        const std::vector<std::string>& playlists);
    // Component and object id of every entity there can be (for removal).
    static std::vector<std::pair<std::string, std::string>> AllEntityKeys();
    static std::string ConfigTopic(const std::string& prefix, const std::string& node,
                                   const std::string& component, const std::string& object);
    // The entity states from a status document (as /lyrd/status gives it).
    static State StateFromStatus(const Json::Value& status, bool schedulerDisabled);
    // Playlist names (file names without ".json"), sorted.
    static std::vector<std::string> ListPlaylists(const std::string& dir);
    // Home Assistant's number sends "40" or "40.0": 0-100, rounded.
    static bool ParseVolume(const std::string& payload, int& volume);

    explicit HomeAssistant(MosquittoClient& client);
    ~HomeAssistant();
    HomeAssistant(const HomeAssistant&) = delete;
    HomeAssistant& operator=(const HomeAssistant&) = delete;

    // enabled false only removes what an earlier run announced.
    void Start(bool enabled, const std::string& prefix);
    void Stop();

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    void Run();
    void Tick(TimePoint now);
    void Announce();
    void PublishSelect();
    void PublishStates(bool force);
    void RepublishPlainStates();
    Device LocalDevice() const;
    State CurrentState();

    MosquittoClient& client;
    bool enabled = false;
    std::string prefix;
    Device device;
    std::vector<std::string> playlists;
    State published;
    bool statesSent = false;
    bool wasConnected = false;
    TimePoint announceAt{}, plainStatesAt{}, nextPoll{};
    bool announcePending = false, plainPending = false;
    std::atomic<bool> birthSeen{false};
    std::vector<int> callbackIds;

    std::thread thread;
    std::mutex stopLock;
    std::condition_variable stopCV;
    bool stopping = false;
};
