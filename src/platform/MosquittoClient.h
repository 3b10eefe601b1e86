// MQTT client over libmosquitto.
//
// Every topic is relative to the base topic "<prefix>/lyrd/<host name>"
// ("lyrd/<host name>" with no prefix); the host name is the "HostName"
// setting, else the system's.  Published: base + "/" + subTopic.
//
// Obeyed (subscribed on every connect):
//   base/set/playlist/<any name>/<action>   -> playlist->MQTTHandler(...)
//   base/set/command/<command name>         -> the command registry; the
//       payload is a JSON array of arguments, or one argument as text
//   base + each topic given to AddCallback (exact match)
//   each full topic given to AddTopicCallback (exact match; topics of other
//   programs, such as Home Assistant's birth message)
//
// Availability: "availability" is "online" (retained) once SetReady() ran;
// the broker publishes the retained last will "offline" if the connection
// drops, and PrepareForShutdown() publishes it itself before disconnecting.
//
// Connecting runs in the background: Init() only fails when the host does
// not resolve or the client cannot be set up; lost connections are retried
// by libmosquitto's own thread with a growing delay.  A broker that is not
// up yet when Init() runs is retried by a thread of our own (1 s growing to
// 30 s), which hands over to libmosquitto's thread once a connection stands.
//
// Threading: Publish, AddCallback and the getters may be called from any
// thread.  Callbacks run on the client's network thread, one at a time.
// RemoveCallback waits until a callback in progress has returned, so an
// owner may free what its callback uses once RemoveCallback is back; never
// call it from inside a callback or while holding a lock a callback takes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct mosquitto;
struct mosquitto_message;

class MosquittoClient {
public:
    using Callback = std::function<void(const std::string& topic, const std::string& payload)>;

    // port <= 0 means the standard 1883.
    MosquittoClient(const std::string& host, int port, const std::string& prefix);
    ~MosquittoClient();

    // caFile non-empty turns on TLS with that CA.  False when the host does
    // not resolve or libmosquitto refuses the settings.
    bool Init(const std::string& username, const std::string& password, const std::string& caFile);
    void SetReady();
    void PrepareForShutdown();
    bool IsConnected();

    void Publish(const std::string& subTopic, const std::string& msg, bool retain = false, int qos = 1);
    void Publish(const std::string& subTopic, int value, bool retain = false, int qos = 1);
    // Publishes to `topic` as given (not below the base topic), for driving
    // other devices.  False with the reason in `error` when the topic is
    // empty or has wildcards, the broker is not connected, or libmosquitto
    // refuses the message.
    bool PublishTopic(const std::string& topic, const std::string& msg, bool retain, std::string& error);

    // `topic` is relative to the base topic and starts with "/"; the callback
    // receives the relative topic.  Returns an id for RemoveCallback.
    int AddCallback(const std::string& topic, Callback cb);
    // A full topic, subscribed as it is; the callback receives it whole.
    int AddTopicCallback(const std::string& fullTopic, Callback cb);
    void RemoveCallback(int id);

    const std::string& GetBaseTopic() const { return baseTopic; }
    std::string FullTopic(const std::string& subTopic) const;

private:
    static void OnConnect(struct mosquitto* m, void* self, int rc);
    static void OnDisconnect(struct mosquitto* m, void* self, int rc);
    static void OnMessage(struct mosquitto* m, void* self, const struct mosquitto_message* msg);
    void Subscribe(const std::string& relative);
    void SubscribeFull(const std::string& topic);
    void HandleMessage(const std::string& topic, const std::string& payload);
    bool HandleSetTopic(const std::string& relative, const std::string& payload);
    bool StartNetworkThread();
    void RetryFirstConnect();
    void StopRetrying();

    std::string host;
    int port;
    std::string prefix;
    std::string baseTopic;
    struct mosquitto* mosq = nullptr;
    std::atomic<bool> connected{false};
    std::atomic<bool> ready{false};
    std::atomic<bool> loopRunning{false};

    std::thread retryThread;  // only while the first connection is not made
    std::mutex retryLock;
    std::condition_variable retryCV;
    bool stopRetry = false;

    struct Registered {
        std::string topic;  // relative, or full when `full`
        Callback cb;
        bool full = false;
    };
    std::mutex callbackLock;                // guards callbacks and nextId
    std::recursive_mutex dispatchLock;      // held while callbacks run
    std::map<int, Registered> callbacks;
    int nextId = 1;
};

extern MosquittoClient* mqtt;
