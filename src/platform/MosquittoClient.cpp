#include "platform/MosquittoClient.h"

#include <mosquitto.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "common.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"
#include "playlist/Playlist.h"
#include "settings.h"

namespace {

std::once_flag libInit;

const char* SET_PLAYLIST = "/set/playlist/";
const char* SET_COMMAND = "/set/command/";
const int KEEPALIVE_SECONDS = 60;

bool HostResolves(const std::string& host) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (res) freeaddrinfo(res);
    return rc == 0;
}

std::string LocalHostName() {
    std::string name = getSetting("HostName");
    if (!name.empty()) return name;
    char buf[256] = {0};
    if (gethostname(buf, sizeof(buf) - 1) == 0 && buf[0]) return buf;
    return "lyrd";
}

}  // namespace

MosquittoClient::MosquittoClient(const std::string& host, int port, const std::string& prefix)
    : host(host), port(port > 0 ? port : 1883), prefix(prefix) {
    std::string p = prefix;
    while (!p.empty() && p.back() == '/') p.pop_back();
    baseTopic = (p.empty() ? std::string() : p + "/") + "lyrd/" + LocalHostName();
}

MosquittoClient::~MosquittoClient() {
    StopRetrying();
    if (mosq) {
        if (connected) mosquitto_disconnect(mosq);
        if (loopRunning) mosquitto_loop_stop(mosq, true);
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
}

std::string MosquittoClient::FullTopic(const std::string& subTopic) const {
    if (!subTopic.empty() && subTopic[0] == '/') return baseTopic + subTopic;
    return baseTopic + "/" + subTopic;
}

bool MosquittoClient::Init(const std::string& username, const std::string& password, const std::string& caFile) {
    if (mosq) return true;
    if (host.empty() || !HostResolves(host)) {
        LogErr(VB_MQTT, "MQTT host '%s' does not resolve\n", host.c_str());
        return false;
    }
    std::call_once(libInit, [] { mosquitto_lib_init(); });
    mosq = mosquitto_new(nullptr, true, this);
    if (!mosq) {
        LogErr(VB_MQTT, "Could not create an MQTT client\n");
        return false;
    }
    if (!username.empty()) mosquitto_username_pw_set(mosq, username.c_str(), password.c_str());
    if (!caFile.empty() && mosquitto_tls_set(mosq, caFile.c_str(), nullptr, nullptr, nullptr, nullptr) != 0) {
        LogErr(VB_MQTT, "MQTT CA file '%s' could not be used\n", caFile.c_str());
        return false;
    }
    std::string will = FullTopic("availability");
    mosquitto_will_set(mosq, will.c_str(), 7, "offline", 1, true);
    mosquitto_connect_callback_set(mosq, &MosquittoClient::OnConnect);
    mosquitto_disconnect_callback_set(mosq, &MosquittoClient::OnDisconnect);
    mosquitto_message_callback_set(mosq, &MosquittoClient::OnMessage);
    mosquitto_reconnect_delay_set(mosq, 1, 30, true);

    int rc = mosquitto_connect_async(mosq, host.c_str(), port, KEEPALIVE_SECONDS);
    if (rc != MOSQ_ERR_SUCCESS) {
        // The broker may just not be up yet.  libmosquitto's thread would try
        // again only after a whole keep-alive period, so we retry ourselves.
        LogWarn(VB_MQTT, "MQTT connect to %s:%d failed (%s); retrying in the background\n", host.c_str(), port,
                mosquitto_strerror(rc));
        retryThread = std::thread([this] { RetryFirstConnect(); });
    } else if (!StartNetworkThread()) {
        return false;
    }
    LogInfo(VB_MQTT, "MQTT client for %s:%d, base topic '%s'\n", host.c_str(), port, baseTopic.c_str());
    return true;
}

bool MosquittoClient::StartNetworkThread() {
    int rc = mosquitto_loop_start(mosq);
    if (rc != MOSQ_ERR_SUCCESS) {
        LogErr(VB_MQTT, "MQTT network thread could not start: %s\n", mosquitto_strerror(rc));
        return false;
    }
    loopRunning = true;
    return true;
}

// Runs until the first connection stands (then libmosquitto's own thread
// takes over, reconnects included) or the client shuts down.
void MosquittoClient::RetryFirstConnect() {
    int delay = 1;
    while (true) {
        {
            std::unique_lock<std::mutex> l(retryLock);
            if (retryCV.wait_for(l, std::chrono::seconds(delay), [this] { return stopRetry; })) return;
        }
        int rc = mosquitto_reconnect_async(mosq);
        if (rc == MOSQ_ERR_SUCCESS) {
            StartNetworkThread();
            return;
        }
        LogDebug(VB_MQTT, "MQTT connect to %s:%d failed (%s); next try in %d s\n", host.c_str(), port,
                 mosquitto_strerror(rc), std::min(delay * 2, 30));
        delay = std::min(delay * 2, 30);
    }
}

void MosquittoClient::StopRetrying() {
    {
        std::lock_guard<std::mutex> l(retryLock);
        stopRetry = true;
    }
    retryCV.notify_all();
    if (retryThread.joinable()) retryThread.join();
}

void MosquittoClient::OnConnect(struct mosquitto*, void* self, int rc) {
    MosquittoClient* c = static_cast<MosquittoClient*>(self);
    if (rc != 0) {
        LogWarn(VB_MQTT, "MQTT broker refused the connection: %s\n", mosquitto_connack_string(rc));
        return;
    }
    c->connected = true;
    LogInfo(VB_MQTT, "MQTT connected to %s:%d\n", c->host.c_str(), c->port);
    c->Subscribe("/set/#");
    std::vector<Registered> topics;
    {
        std::lock_guard<std::mutex> l(c->callbackLock);
        for (const auto& it : c->callbacks) topics.push_back(it.second);
    }
    for (const auto& t : topics) {
        if (t.full) {
            c->SubscribeFull(t.topic);
        } else {
            c->Subscribe(t.topic);
        }
    }
    if (c->ready) c->Publish("availability", "online", true, 1);
}

void MosquittoClient::OnDisconnect(struct mosquitto*, void* self, int rc) {
    MosquittoClient* c = static_cast<MosquittoClient*>(self);
    c->connected = false;
    if (rc != 0) LogWarn(VB_MQTT, "MQTT connection lost; reconnecting\n");
}

void MosquittoClient::OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* msg) {
    if (!msg || !msg->topic) return;
    std::string payload;
    if (msg->payload && msg->payloadlen > 0) payload.assign(static_cast<const char*>(msg->payload), msg->payloadlen);
    static_cast<MosquittoClient*>(self)->HandleMessage(msg->topic, payload);
}

void MosquittoClient::Subscribe(const std::string& relative) {
    SubscribeFull(FullTopic(relative));
}

void MosquittoClient::SubscribeFull(const std::string& t) {
    if (!mosq) return;
    int rc = mosquitto_subscribe(mosq, nullptr, t.c_str(), 1);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
        LogWarn(VB_MQTT, "MQTT subscribe to '%s' failed: %s\n", t.c_str(), mosquitto_strerror(rc));
}

void MosquittoClient::HandleMessage(const std::string& topic, const std::string& payload) {
    {
        std::lock_guard<std::recursive_mutex> dispatching(dispatchLock);
        std::vector<Callback> full;
        {
            std::lock_guard<std::mutex> l(callbackLock);
            for (const auto& it : callbacks)
                if (it.second.full && it.second.topic == topic) full.push_back(it.second.cb);
        }
        for (auto& cb : full) cb(topic, payload);
        if (!full.empty()) return;
    }
    if (!startsWith(topic, baseTopic + "/")) return;
    std::string relative = topic.substr(baseTopic.size());
    LogDebug(VB_MQTT, "MQTT message '%s': '%s'\n", relative.c_str(), payload.c_str());

    std::lock_guard<std::recursive_mutex> dispatching(dispatchLock);
    std::vector<Callback> matching;
    {
        std::lock_guard<std::mutex> l(callbackLock);
        for (const auto& it : callbacks)
            if (!it.second.full && it.second.topic == relative) matching.push_back(it.second.cb);
    }
    for (auto& cb : matching) cb(relative, payload);
    if (matching.empty() && !HandleSetTopic(relative, payload))
        LogDebug(VB_MQTT, "MQTT topic '%s' is not handled\n", relative.c_str());
}

bool MosquittoClient::HandleSetTopic(const std::string& relative, const std::string& payload) {
    if (startsWith(relative, SET_PLAYLIST)) {
        std::string rest = relative.substr(strlen(SET_PLAYLIST));
        if (playlist) playlist->MQTTHandler(rest, payload);
        return true;
    }
    if (startsWith(relative, SET_COMMAND)) {
        std::string name = relative.substr(strlen(SET_COMMAND));
        std::vector<std::string> args;
        Json::Value parsed;
        if (!payload.empty() && payload[0] == '[' && LoadJsonFromString(payload, parsed) && parsed.isArray()) {
            for (const auto& a : parsed) args.push_back(a.isString() ? a.asString() : SaveJsonToString(a));
        } else if (!payload.empty()) {
            args.push_back(payload);
        }
        auto result = CommandManager::INSTANCE.run(name, args);
        if (result && result->isError())
            LogWarn(VB_MQTT, "MQTT command '%s' failed: %s\n", name.c_str(), result->get().c_str());
        return true;
    }
    return false;
}

void MosquittoClient::SetReady() {
    ready = true;
    Publish("availability", "online", true, 1);
}

void MosquittoClient::PrepareForShutdown() {
    ready = false;
    StopRetrying();
    if (!mosq) return;
    if (connected) {
        std::string t = FullTopic("availability");
        int mid = 0;
        mosquitto_publish(mosq, &mid, t.c_str(), 7, "offline", 1, true);
        // Give the network thread a moment to hand the last message over.
        for (int i = 0; i < 20 && mosquitto_want_write(mosq); i++) usleep(10000);
        usleep(50000);
        mosquitto_disconnect(mosq);
    }
    if (loopRunning) {
        mosquitto_loop_stop(mosq, false);
        loopRunning = false;
    }
    connected = false;
}

bool MosquittoClient::IsConnected() { return connected; }

void MosquittoClient::Publish(const std::string& subTopic, const std::string& msg, bool retain, int qos) {
    if (!mosq) return;
    std::string t = FullTopic(subTopic);
    int rc = mosquitto_publish(mosq, nullptr, t.c_str(), (int)msg.size(), msg.data(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
        LogWarn(VB_MQTT, "MQTT publish to '%s' failed: %s\n", t.c_str(), mosquitto_strerror(rc));
}

bool MosquittoClient::PublishTopic(const std::string& topic, const std::string& msg, bool retain,
                                   std::string& error) {
    if (topic.empty() || topic.find_first_of("#+") != std::string::npos) {
        error = "MQTT topic '" + topic + "' is empty or has a wildcard";
        return false;
    }
    if (!mosq || !connected) {
        error = "MQTT broker " + host + " is not connected";
        return false;
    }
    int rc = mosquitto_publish(mosq, nullptr, topic.c_str(), (int)msg.size(), msg.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT publish to '") + topic + "' failed: " + mosquitto_strerror(rc);
        return false;
    }
    return true;
}

void MosquittoClient::Publish(const std::string& subTopic, int value, bool retain, int qos) {
    Publish(subTopic, std::to_string(value), retain, qos);
}

int MosquittoClient::AddCallback(const std::string& topic, Callback cb) {
    std::string relative = (!topic.empty() && topic[0] == '/') ? topic : "/" + topic;
    int id;
    {
        std::lock_guard<std::mutex> l(callbackLock);
        id = nextId++;
        callbacks[id] = Registered{relative, std::move(cb)};
    }
    if (connected) Subscribe(relative);
    return id;
}

int MosquittoClient::AddTopicCallback(const std::string& fullTopic, Callback cb) {
    int id;
    {
        std::lock_guard<std::mutex> l(callbackLock);
        id = nextId++;
        callbacks[id] = Registered{fullTopic, std::move(cb), true};
    }
    if (connected) SubscribeFull(fullTopic);
    return id;
}

void MosquittoClient::RemoveCallback(int id) {
    {
        std::lock_guard<std::mutex> l(callbackLock);
        callbacks.erase(id);
    }
    // Wait for a dispatch that may still hold a copy of the callback.
    std::lock_guard<std::recursive_mutex> dispatching(dispatchLock);
}
