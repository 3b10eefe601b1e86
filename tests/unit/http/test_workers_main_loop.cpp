// The API server's worker threads against the main loop: status polls,
// playlist commands and volume changes arrive over loopback while the test
// thread, standing in for the main loop, ticks the player through a looping
// playlist.  Under ThreadSanitizer this is where state that HTTP threads and
// the main loop share without a lock shows up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Player.h"
#include "Portal.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/CommandManager.h"
#include "playlist/PlaylistCommands.h"
#include "playlist/PlaylistTestUtil.h"

namespace {

// One request with "Connection: close"; the whole answer, or "" when the
// server could not be reached.
std::string request(uint16_t port, const std::string& method, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return "";
    }
    std::string req = method + " " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    (void)send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

bool answeredOk(const std::string& reply) { return reply.rfind("HTTP/1.1 200", 0) == 0; }

Json::Value jsonBody(const std::string& reply) {
    size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? Json::Value() : LoadJsonFromString(reply.substr(at + 4));
}

class WorkersAgainstMainLoop : public pltest::PlaylistTest {
protected:
    void SetUp() override {
        PlaylistTest::SetUp();
        if (!CommandManager::INSTANCE.getCommand("Next Playlist Item")) RegisterPlaylistCommands();
        Json::Value d;
        d["name"] = "loop";
        for (int i = 0; i < 4; i++) d["mainPlaylist"].append(Pause(0.05));
        WritePlaylist("loop", d);
    }
    void TearDown() override {
        Player::INSTANCE.StopNow(1);
        Player::INSTANCE.Cleanup();
        PlaylistTest::TearDown();
    }
};

}  // namespace

TEST_F(WorkersAgainstMainLoop, StatusCommandsAndVolumeWhileThePlayerTicks) {
    APIServer api(0, "127.0.0.1");
    api.Init();
    ASSERT_TRUE(api.GetServer()->is_running());
    uint16_t port = api.GetServer()->get_bound_port();
    ASSERT_EQ(Player::INSTANCE.StartPlaylist("loop", 1), 1);

    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::vector<std::string> failures[3];
    auto client = [&](int id, std::vector<std::pair<std::string, std::string>> requests) {
        for (size_t i = 0; !done && i < 400; i++) {
            const auto& r = requests[i % requests.size()];
            std::string reply = request(port, r.first, r.second);
            if (!answeredOk(reply)) {
                failures[id].push_back(r.second + ": " + reply.substr(0, 80));
            } else if (r.second == "/lyrd/status" && !jsonBody(reply).isMember("status_name")) {
                failures[id].push_back("status without status_name: " + reply.substr(0, 200));
            }
            answered++;
        }
    };
    std::vector<std::thread> clients;
    clients.emplace_back(client, 0, std::vector<std::pair<std::string, std::string>>{{"GET", "/lyrd/status"}});
    clients.emplace_back(client, 1,
                         std::vector<std::pair<std::string, std::string>>{
                             {"GET", "/command/Next%20Playlist%20Item"},
                             {"GET", "/lyrd/status"},
                             {"GET", "/command/Prev%20Playlist%20Item"},
                             {"GET", "/command/Restart%20Playlist%20Item"}});
    clients.emplace_back(client, 2,
                         std::vector<std::pair<std::string, std::string>>{{"POST", "/lyrd/volume/30"},
                                                                          {"GET", "/lyrd/volume"},
                                                                          {"POST", "/lyrd/volume/80"}});

    // The main loop's share: tick the player every 5 ms for about two seconds.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int ticks = 0;
    while (std::chrono::steady_clock::now() < until && ticks < 1000) {
        if (Player::INSTANCE.IsPlaying()) Player::INSTANCE.Process();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ticks++;
    }
    done = true;
    for (auto& t : clients) t.join();

    for (const auto& f : failures) EXPECT_TRUE(f.empty()) << f.size() << " failed, first: " << f.front();
    EXPECT_GT(answered.load(), 20);
    EXPECT_TRUE(Player::INSTANCE.IsPlaying()) << "a repeating playlist ended under the requests";
    int v = getVolume();
    EXPECT_TRUE(v == 30 || v == 80) << v;

    // A stop from a worker is carried out by the next ticks of the main loop.
    EXPECT_TRUE(answeredOk(request(port, "GET", "/command/Stop%20Now")));
    for (int i = 0; i < 100 && Player::INSTANCE.IsPlaying(); i++) {
        Player::INSTANCE.Process();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(Player::INSTANCE.IsPlaying());
}
