// The media, paired and dynamic playlist entries with real playback and a
// real local HTTP server for the dynamic sources.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "MediaTestUtil.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/Logging.h"
#include "playlist/ClipEntry.h"
#include "playlist/FeedEntry.h"
#include "playlist/PairedEntry.h"
#include "playlist/Playlist.h"
#include "settings.h"

using namespace mediatest;

namespace {

class MediaEntriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        UseNullAudio();
        dir = MakeMediaDir();
        ResetMediaOutputForTesting();
        SetSetting("VideoOutput", "");
        SetLogSink([this](int level, const std::string& facility, const std::string& msg) {
            std::lock_guard<std::mutex> l(logLock);
            lines.push_back(msg);
        });
    }
    void TearDown() override {
        SetLogSink(nullptr);
        ResetMediaOutputForTesting();
        RemoveDir(dir);
    }
    bool Logged(const std::string& text) {
        std::lock_guard<std::mutex> l(logLock);
        for (const auto& s : lines)
            if (s.find(text) != std::string::npos) return true;
        return false;
    }
    Json::Value Parse(const std::string& text) { return LoadJsonFromString(text); }

    std::string dir;
    Playlist pl;
    std::mutex logLock;
    std::vector<std::string> lines;
};

TEST_F(MediaEntriesTest, NameWithoutADotFinishesAtOnce) {
    ClipEntry e(&pl);
    Json::Value cfg = Parse(R"({"type":"media","mediaName":"noextension"})");
    ASSERT_TRUE(e.Init(cfg));
    EXPECT_EQ(e.StartPlaying(), 0);
    EXPECT_TRUE(e.IsFinished());
    EXPECT_TRUE(Logged("Unable to determine extension of media file noextension"));
}

TEST_F(MediaEntriesTest, MissingNameOrEmptyRandomFolderFailsInit) {
    ClipEntry a(&pl);
    Json::Value noName = Parse(R"({"type":"media"})");
    EXPECT_FALSE(a.Init(noName));
    EXPECT_TRUE(Logged("Missing mediaName entry"));
    ClipEntry b(&pl);
    Json::Value random = Parse(R"({"type":"media","fileMode":"randomVideo"})");
    EXPECT_FALSE(b.Init(random));
    EXPECT_TRUE(Logged("Error, no files found when trying to play random file in randomVideo mode"));
    ClipEntry c(&pl);
    Json::Value odd = Parse(R"({"type":"media","fileMode":"shuffle"})");
    EXPECT_FALSE(c.Init(odd));
}

TEST_F(MediaEntriesTest, MissingFileFailsToStartAndTheEntryFinishes) {
    ClipEntry e(&pl);
    Json::Value cfg = Parse(R"({"type":"media","mediaName":"absent.wav"})");
    ASSERT_TRUE(e.Init(cfg));
    EXPECT_EQ(e.StartPlaying(), 0);
    EXPECT_TRUE(e.IsFinished());
    EXPECT_TRUE(Logged("Could not start media absent.wav"));
    EXPECT_EQ(e.mediaOutput, nullptr);
}

TEST_F(MediaEntriesTest, RandomAudioPlaysEveryFileOnceBeforeRepeating) {
    for (const char* n : {"a.wav", "b.wav", "c.wav"}) ASSERT_TRUE(WriteWav(dir + "/music/" + n, 200));
    ClipEntry e(&pl);
    Json::Value cfg = Parse(R"({"type":"media","fileMode":"randomAudio"})");
    ASSERT_TRUE(e.Init(cfg));
    std::set<std::string> seen = {e.mediaName};
    EXPECT_EQ(e.fileList.size(), 2u);
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(e.PreparePlay());
        seen.insert(e.mediaName);
    }
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_TRUE(e.fileList.empty());
    ASSERT_TRUE(e.PreparePlay());  // the folder is scanned again
    EXPECT_EQ(e.fileList.size(), 2u);
    e.Stop();
}

TEST_F(MediaEntriesTest, PlaysToTheEndAndReportsStatus) {
    ASSERT_TRUE(WriteWav(dir + "/music/song.wav", 2500));
    ClipEntry e(&pl);
    Json::Value cfg = Parse(R"({"type":"media","mediaName":"song.wav","videoOut":"--Default--"})");
    ASSERT_TRUE(e.Init(cfg));
    EXPECT_EQ(e.GetLengthInMS(), 2500u);
    ASSERT_EQ(e.StartPlaying(), 1);
    EXPECT_TRUE(e.IsPlaying());
    ASSERT_TRUE(PollUntil(
        [&] {
            e.Process();
            return e.GetElapsedMS() > 300;
        },
        3000));
    Json::Value c = e.GetConfig();
    EXPECT_EQ(c["mediaFilename"].asString(), "song.wav");
    EXPECT_EQ(c["status"].asInt(), 1);
    EXPECT_EQ(c["secondsTotal"].asInt(), 2);
    Json::Value m = e.GetMqttStatus();
    EXPECT_EQ(m["mediaName"].asString(), "song.wav");
    EXPECT_EQ(m["secondsTotal"].asInt(), 2);
    EXPECT_TRUE(PollUntil(
        [&] {
            e.Process();
            return e.IsFinished() != 0;
        },
        5000));
    EXPECT_EQ(e.mediaOutput, nullptr);
}

TEST_F(MediaEntriesTest, PauseFreezesStatusAndResumeStartsAtTheSavedPosition) {
    ASSERT_TRUE(WriteWav(dir + "/music/long.wav", 6000));
    ClipEntry e(&pl);
    Json::Value cfg = Parse(R"({"type":"media","mediaName":"long.wav","playOnce":true})");
    ASSERT_TRUE(e.Init(cfg));
    ASSERT_EQ(e.StartPlaying(), 1);
    ASSERT_TRUE(PollUntil(
        [&] {
            e.Process();
            return e.GetElapsedMS() > 1200;
        },
        4000));
    e.Pause();
    EXPECT_TRUE(e.IsPaused());
    EXPECT_EQ(e.mediaOutput, nullptr);
    int paused = e.pausedAtMS;
    EXPECT_GE(paused, 1200);
    Json::Value frozen = e.GetConfig();
    EXPECT_EQ(frozen["status"].asInt(), 1) << "the status at the moment of the pause";
    EXPECT_EQ(frozen["secondsElapsed"].asInt(), paused / 1000);
    SleepMS(300);
    EXPECT_EQ(e.GetConfig()["secondsElapsed"].asInt(), frozen["secondsElapsed"].asInt());

    e.Resume();  // a play-once entry resumes too: its one play is not over
    EXPECT_FALSE(e.IsPaused());
    ASSERT_NE(e.mediaOutput, nullptr);
    ASSERT_TRUE(PollUntil(
        [&] {
            e.Process();
            return mediaOutputStatus->mediaSeconds > 0.01f && mediaOutputStatus->mediaSeconds * 1000 >= paused - 50;
        },
        3000));
    EXPECT_LT(mediaOutputStatus->mediaSeconds * 1000, paused + 1000);
    e.Stop();
    EXPECT_TRUE(e.IsFinished());
}

TEST_F(MediaEntriesTest, RandomEntryResumesTheFileItPaused) {
    for (const char* n : {"a.wav", "b.wav", "c.wav"}) ASSERT_TRUE(WriteWav(dir + "/music/" + n, 4000));
    ClipEntry e(&pl);
    Json::Value cfg = Parse(R"({"type":"media","fileMode":"randomAudio"})");
    ASSERT_TRUE(e.Init(cfg));
    ASSERT_EQ(e.StartPlaying(), 1);
    std::string playing = e.mediaName;
    e.Pause();
    e.Resume();
    EXPECT_EQ(e.mediaName, playing);
    e.Stop();
}

TEST_F(MediaEntriesTest, PairedEntryWithMissingMediaPlaysTheSequenceAlone) {
    PairedEntry p(&pl);
    Json::Value cfg = Parse(R"({"type":"both","mediaName":"gone.wav","sequenceName":"show.lseq"})");
    // No sequence file either: Init of the sequence half decides.
    bool ok = p.Init(cfg);
    if (!ok) GTEST_SKIP() << "sequence half needs its file";
    EXPECT_EQ(p.mediaName, "gone.wav");
}

TEST_F(MediaEntriesTest, PairedEntryLengthPrefersShorterKnownMedia) {
    ASSERT_TRUE(WriteWav(dir + "/music/short.wav", 1500));
    PairedEntry p(&pl);
    Json::Value cfg = Parse(R"({"type":"both","mediaName":"short.wav","sequenceName":"none.lseq"})");
    p.Init(cfg);
    ASSERT_NE(p.media, nullptr);
    EXPECT_EQ(p.mediaName, "short.wav");
    // Without a readable sequence, the known media length is what is reported.
    uint64_t len = p.GetLengthInMS();
    EXPECT_TRUE(len == 1500u || len == 0u);
}

// ---- dynamic entries

// A tiny HTTP server on loopback that answers from a list of bodies in turn
// (the last one repeats); `silent` accepts and never answers.
class TinyServer {
public:
    explicit TinyServer(std::vector<std::string> bodies, bool silent = false)
        : bodies(std::move(bodies)), silent(silent) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        listen(fd, 8);
        thread = std::thread([this] { Run(); });
    }
    ~TinyServer() {
        stop = true;
        shutdown(fd, SHUT_RDWR);
        close(fd);
        thread.join();
    }
    std::string Url(const std::string& path = "/list") const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> l(lock);
        return requests;
    }

private:
    void Run() {
        while (!stop) {
            int c = accept(fd, nullptr, nullptr);
            if (c < 0) return;
            char buf[4096];
            ssize_t n = recv(c, buf, sizeof(buf) - 1, 0);
            std::string req = n > 0 ? std::string(buf, n) : "";
            std::string body;
            {
                std::lock_guard<std::mutex> l(lock);
                requests.push_back(req.substr(0, req.find("\r\n")));
                body = bodies[std::min(served++, bodies.size() - 1)];
            }
            if (silent) {
                SleepMS(7000);
            } else {
                std::string resp = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
                send(c, resp.data(), resp.size(), MSG_NOSIGNAL);
            }
            close(c);
        }
    }
    std::vector<std::string> bodies;
    bool silent;
    int fd;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::mutex lock;
    std::vector<std::string> requests;
    size_t served = 0;
};

TEST_F(MediaEntriesTest, FileSourceUsesMainPlaylistBeforeLeadIn) {
    std::string doc = R"({"leadIn":[{"type":"pause","duration":5}],
                          "mainPlaylist":[{"type":"pause","duration":0},{"type":"pause","duration":0}]})";
    ASSERT_TRUE(WriteFile(dir + "/dyn.json", doc));
    FeedEntry f(&pl);
    Json::Value cfg = Parse(R"({"type":"dynamic","subType":"file"})");
    cfg["dataFile"] = dir + "/dyn.json";
    ASSERT_TRUE(f.Init(cfg));
    ASSERT_EQ(f.StartPlaying(), 1);
    EXPECT_EQ(f.m_playlistEntries.size(), 2u);
    EXPECT_EQ(f.GetConfig()["dataFile"].asString(), dir + "/dyn.json");
    EXPECT_TRUE(f.GetConfig().isMember("dynamic"));
    EXPECT_TRUE(PollUntil(
        [&] {
            f.Process();
            return f.IsFinished() != 0;
        },
        3000));
}

TEST_F(MediaEntriesTest, BadSourcesFinishTheEntryWithTheirMessage) {
    struct Case {
        std::string content, message;
    } cases[] = {
        {"", "Empty string in ReadFromString()"},
        {"this is not json", "Error parsing JSON"},
        {"[1,2,3]", "Error parsing JSON"},
        {R"({"mainPlaylist":[{"type":"pause","duration":0},{"type":"teleport"}]})", "Invalid Playlist Entry Type: teleport"},
        {R"({"mainPlaylist":[{"type":"media"}]})", "Error initializing media Playlist Entry"},
        {R"({"mainPlaylist":[]})", "Error, no valid playlistEntries in dynamic data!"},
        {R"({"mainPlaylist":["pause"]})", "Invalid Playlist Entry Type"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFile(dir + "/bad.json", c.content));
        FeedEntry f(&pl);
        Json::Value cfg = Parse(R"({"type":"dynamic","subType":"file"})");
        cfg["dataFile"] = dir + "/bad.json";
        ASSERT_TRUE(f.Init(cfg));
        EXPECT_EQ(f.StartPlaying(), 0) << c.content;
        EXPECT_TRUE(f.IsFinished()) << c.content;
        EXPECT_TRUE(f.m_playlistEntries.empty()) << c.content;
        EXPECT_TRUE(Logged(c.message)) << c.message;
    }
    FeedEntry missing(&pl);
    Json::Value cfg = Parse(R"({"type":"dynamic","subType":"file","dataFile":"/nonexistent/x.json"})");
    ASSERT_TRUE(missing.Init(cfg));
    EXPECT_EQ(missing.StartPlaying(), 0);
    EXPECT_TRUE(Logged("Filename /nonexistent/x.json does not exist"));
    FeedEntry command(&pl);
    Json::Value cmd = Parse(R"({"type":"dynamic","subType":"command"})");
    ASSERT_TRUE(command.Init(cmd));
    EXPECT_EQ(command.StartPlaying(), 0);
}

TEST_F(MediaEntriesTest, UrlSourceDrainsTheQueueUntilItComesBackEmpty) {
    TinyServer server({R"({"mainPlaylist":[{"type":"pause","duration":0},{"type":"pause","duration":0}]})",
                       R"({"mainPlaylist":[]})"});
    FeedEntry f(&pl);
    Json::Value cfg = Parse(R"({"type":"dynamic","subType":"url","drainQueue":1})");
    cfg["url"] = server.Url();
    ASSERT_TRUE(f.Init(cfg));
    ASSERT_EQ(f.StartPlaying(), 1);
    int played = 1;
    PlaylistEntryBase* last = f.m_playlistEntries[0];
    ASSERT_TRUE(PollUntil(
        [&] {
            f.Process();
            if (f.m_currentEntry >= 0 && f.m_playlistEntries[f.m_currentEntry] != last) {
                last = f.m_playlistEntries[f.m_currentEntry];
                played++;
            }
            return f.IsFinished() != 0;
        },
        4000));
    EXPECT_EQ(played, 2);
    EXPECT_EQ(server.Requests().size(), 2u) << "fetched again once the two had played";
}

TEST_F(MediaEntriesTest, PluginSourceCallsItsPagesAndAServerThatNeverAnswersTimesOut) {
    TinyServer server({"", R"({"playlistEntries":[{"type":"pause","duration":0}]})", ""});
    FeedEntry f(&pl);
    Json::Value cfg = Parse(R"({"type":"dynamic","subType":"plugin","pluginName":"my plug"})");
    cfg["pluginHost"] = "127.0.0.1:" + server.Url().substr(server.Url().rfind(':') + 1, 5);
    cfg["pluginHost"] = cfg["pluginHost"].asString().substr(0, cfg["pluginHost"].asString().find('/'));
    ASSERT_TRUE(f.Init(cfg));
    ASSERT_EQ(f.StartPlaying(), 1);
    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_NE(reqs[0].find("/plugin.php?plugin=my%20plug&page=playlistCallback.php&nopage=1&command=prepNextItem"),
              std::string::npos);
    EXPECT_NE(reqs[1].find("command=loadNextItem"), std::string::npos);
    EXPECT_NE(reqs[2].find("command=startedNextItem"), std::string::npos);

    TinyServer silent({""}, true);
    FeedEntry slow(&pl);
    Json::Value scfg = Parse(R"({"type":"dynamic","subType":"url"})");
    scfg["url"] = silent.Url();
    ASSERT_TRUE(slow.Init(scfg));
    int64_t t0 = SteadyMS();
    EXPECT_EQ(slow.StartPlaying(), 0);
    int64_t took = SteadyMS() - t0;
    EXPECT_GE(took, 4500);
    EXPECT_LT(took, 6500);
    EXPECT_TRUE(Logged("curl_easy_perform() failed"));
}

}  // namespace
