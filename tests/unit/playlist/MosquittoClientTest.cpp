// The MQTT client against a real mosquitto broker on loopback.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/MosquittoClient.h"
#include "playlist/PlaylistTestUtil.h"

using namespace pltest;

namespace {

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr*)&a, sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(s, (sockaddr*)&a, &len);
    close(s);
    return ntohs(a.sin_port);
}

bool WaitFor(const std::function<bool()>& cond, int ms = 5000) {
    for (int i = 0; i < ms / 10; i++) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// A plain libmosquitto client that records the last payload per topic.
class Watcher {
public:
    explicit Watcher(int port) {
        m = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
            auto* w = static_cast<Watcher*>(self);
            std::lock_guard<std::mutex> l(w->lock);
            w->seen[msg->topic] = std::string((const char*)msg->payload, msg->payloadlen);
        });
        mosquitto_connect(m, "127.0.0.1", port, 30);
        mosquitto_subscribe(m, nullptr, "#", 1);
        mosquitto_loop_start(m);
    }
    ~Watcher() {
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, true);
        mosquitto_destroy(m);
    }
    std::string Get(const std::string& topic) {
        std::lock_guard<std::mutex> l(lock);
        auto it = seen.find(topic);
        return it == seen.end() ? "<none>" : it->second;
    }
    void Send(const std::string& topic, const std::string& payload) {
        mosquitto_publish(m, nullptr, topic.c_str(), (int)payload.size(), payload.data(), 1, false);
    }
    mosquitto* m;
    std::mutex lock;
    std::map<std::string, std::string> seen;
};

}  // namespace

class MosquittoClientTest : public PlaylistTest {
protected:
    void SetUp() override {
        PlaylistTest::SetUp();
        mosquitto_lib_init();
        port = FreePort();
        conf = dir.sub("mosquitto.conf");
        testutil::writeFile(conf, "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n");
        StartBroker();
    }
    void StartBroker() {
        broker = fork();
        if (broker == 0) {
            execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), (char*)nullptr);
            _exit(127);
        }
        ASSERT_TRUE(WaitFor([&] {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            bool ok = connect(s, (sockaddr*)&a, sizeof(a)) == 0;
            close(s);
            return ok;
        }));
    }
    void TearDown() override {
        mqtt = nullptr;
        client.reset();
        StopBroker();
        PlaylistTest::TearDown();
    }
    void StopBroker() {
        if (broker > 0) {
            // Not SIGTERM: the broker blocks it while it waits for events, so
            // with no client around to wake it the signal may wait for ever.
            kill(broker, SIGKILL);
            waitpid(broker, nullptr, 0);
            broker = -1;
        }
    }
    void Connect() {
        client = std::make_unique<MosquittoClient>("127.0.0.1", port, "shows/");
        ASSERT_TRUE(client->Init("", "", ""));
        ASSERT_TRUE(WaitFor([&] { return client->IsConnected(); }));
        mqtt = client.get();
    }
    int port = 0;
    std::string conf;
    pid_t broker = -1;
    std::unique_ptr<MosquittoClient> client;
};

TEST_F(MosquittoClientTest, UnresolvableHostFailsInit) {
    MosquittoClient c("no-such-host.invalid", 1883, "");
    EXPECT_FALSE(c.Init("", "", ""));
    EXPECT_FALSE(c.IsConnected());
}

TEST_F(MosquittoClientTest, PublishesStatusAndObeysPlaylistTopics) {
    Watcher w(port);
    Connect();
    std::string base = client->GetBaseTopic();
    EXPECT_EQ(base.rfind("shows/lyrd/", 0), 0u);
    client->SetReady();
    ASSERT_TRUE(WaitFor([&] { return w.Get(base + "/availability") == "online"; }));

    Fill({}, {"m1", "m2", "m3"}, {});
    for (auto* e : pl->mainPlaylist) static_cast<FakeEntry*>(e)->ticksToFinish = -1;
    pl->Start();
    EXPECT_TRUE(WaitFor([&] { return w.Get(base + "/status") == "playing"; }));
    EXPECT_TRUE(WaitFor([&] { return w.Get(base + "/playlist/section/status") == "MainPlaylist"; }));

    w.Send(base + "/set/playlist/anything/next", "");
    EXPECT_TRUE(WaitFor([&] { return pl->GetSectionPosition() == 1; }));
    EXPECT_TRUE(WaitFor([&] { return w.Get(base + "/playlist/sectionPosition/status") == "1"; }));

    // The deprecated topics arrive through the callbacks the playlist registered.
    Playlist second(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the subscriptions settle
    w.Send(base + "/playlist/repeat/set", "1");
    EXPECT_TRUE(WaitFor([&] { return second.GetRepeat() == 1; }));

    w.Send(base + "/set/playlist/x/stop/now", "");
    EXPECT_TRUE(WaitFor([&] { return pl->getPlaylistStatus() == PLAYLIST_STATUS_IDLE; }));
    EXPECT_TRUE(WaitFor([&] { return w.Get(base + "/status") == "idle"; }));

    client->PrepareForShutdown();
    EXPECT_TRUE(WaitFor([&] { return w.Get(base + "/availability") == "offline"; }));
}

TEST_F(MosquittoClientTest, CallbacksByTopicAndTheirRemoval) {
    Watcher w(port);
    Connect();
    std::string base = client->GetBaseTopic();
    std::mutex lock;
    std::vector<std::string> got;
    int id = client->AddCallback("/custom/topic", [&](const std::string& t, const std::string& p) {
        std::lock_guard<std::mutex> l(lock);
        got.push_back(t + "=" + p);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    w.Send(base + "/custom/topic", "hello");
    EXPECT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> l(lock);
        return got.size() == 1;
    }));
    EXPECT_EQ(got[0], "/custom/topic=hello");
    client->RemoveCallback(id);
    w.Send(base + "/custom/topic", "again");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::lock_guard<std::mutex> l(lock);
    EXPECT_EQ(got.size(), 1u);
}

TEST_F(MosquittoClientTest, ReconnectsAfterTheBrokerRestarts) {
    Connect();
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    EXPECT_TRUE(WaitFor([&] { return !client->IsConnected(); }));
    std::string conf = dir.sub("mosquitto.conf");
    broker = fork();
    if (broker == 0) {
        execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), (char*)nullptr);
        _exit(127);
    }
    EXPECT_TRUE(WaitFor([&] { return client->IsConnected(); }, 15000));
}

// A board often boots faster than the broker it reports to.
TEST_F(MosquittoClientTest, BrokerThatComesUpLaterIsConnectedToWithinSeconds) {
    StopBroker();
    client = std::make_unique<MosquittoClient>("127.0.0.1", port, "shows/");
    ASSERT_TRUE(client->Init("", "", ""));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(client->IsConnected());
    StartBroker();
    EXPECT_TRUE(WaitFor([&] { return client->IsConnected(); }, 8000)) << "still not connected after 8 s";
    // From here on libmosquitto's own thread carries the connection.
    Watcher w(port);
    client->SetReady();
    std::string base = client->GetBaseTopic();
    EXPECT_TRUE(WaitFor([&] { return w.Get(base + "/availability") == "online"; }));
}

// The retrying thread must not keep a stopping daemon waiting (a hang here
// ends in the test's time-out).
TEST_F(MosquittoClientTest, ShutdownWhileStillRetryingEndsTheRetries) {
    StopBroker();
    client = std::make_unique<MosquittoClient>("127.0.0.1", port, "");
    ASSERT_TRUE(client->Init("", "", ""));
    client->PrepareForShutdown();
    EXPECT_FALSE(client->IsConnected());
    client.reset();
}
