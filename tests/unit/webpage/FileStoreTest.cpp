// Uploads, downloads and deletes through a real server into a temporary
// media directory: the body goes to disk as it arrives, lands only when
// complete, stays inside its folder, and a refused or broken upload leaves
// no file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "../foundation/TestUtil.h"
#include "WebTestUtil.h"
#include "settings.h"
#include "webpage/FileStore.h"

using namespace httpserver;
using namespace webtest;
using testutil::TempDir;

namespace {

struct Fixture {
    TempDir dir;
    FileStore store{dir.path()};
    webserver ws{create_webserver(0).max_threads(2).content_size_limit(1 << 20)};
    Fixture() {
        ws.register_resource("/ui/api/files", &store, true);
        ws.start();
    }
    ~Fixture() {
        ws.stop();
        SetSetting("uploadSizeLimitMB", "2048");
    }
    uint16_t port() { return ws.get_bound_port(); }
    std::string post(const std::string& target, const std::string& body) {
        return roundTrip(port(), "POST " + target +
                                     " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    std::vector<std::string> folder(const std::string& f) { return testutil::listDir(dir.sub(f)); }
};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return s;
}

}  // namespace

TEST(FileStoreNames, OnlyPlainNamesInsideTheFolder) {
    for (const char* ok : {"show.lseq", "My Song (final).mp3", "\xc3\xa9t\xc3\xa9.json", "a..b"})
        EXPECT_TRUE(FileStore::validName(ok)) << ok;
    for (const char* bad : {"", ".", "..", ".hidden", ".upload-x", "a/b", "a\\b", "tab\there", "new\nline"})
        EXPECT_FALSE(FileStore::validName(bad)) << bad;
    EXPECT_FALSE(FileStore::validName(std::string(256, 'a')));
}

TEST(FileStoreUpload, LargerThanTheJsonLimitStreamsToDiskAndRoundTrips) {
    Fixture f;
    std::string data = pattern(3 << 20);  // three times the body limit of JSON requests
    std::string r = f.post("/ui/api/files/sequences/big.lseq", data);
    ASSERT_EQ(statusOf(r), 200) << r;
    EXPECT_NE(bodyOf(r).find("\"size\":3145728"), std::string::npos);
    EXPECT_EQ(f.folder("sequences"), std::vector<std::string>{"big.lseq"});  // no temporary file left
    EXPECT_EQ(testutil::readFile(f.dir.sub("sequences/big.lseq")), data);

    std::string d = get(f.port(), "/ui/api/files/sequences/big.lseq");
    EXPECT_EQ(statusOf(d), 200);
    EXPECT_NE(d.find("Content-Disposition: attachment; filename=\"big.lseq\""), std::string::npos);
    EXPECT_EQ(bodyOf(d), data);

    std::string list = bodyOf(get(f.port(), "/ui/api/files"));
    EXPECT_NE(list.find("{\"mtime\":"), std::string::npos) << list;
    EXPECT_NE(list.find("\"name\":\"big.lseq\",\"size\":3145728"), std::string::npos) << list;
    EXPECT_NE(list.find("\"images\":[]"), std::string::npos) << list;

    // Uploading again replaces the file in one step.
    ASSERT_EQ(statusOf(f.post("/ui/api/files/sequences/big.lseq", "short")), 200);
    EXPECT_EQ(testutil::readFile(f.dir.sub("sequences/big.lseq")), "short");
}

TEST(FileStoreUpload, PathsOutsideTheFoldersAreRefused) {
    Fixture f;
    EXPECT_EQ(statusOf(f.post("/ui/api/files/sequences/..%2F..%2Fsettings", "x")), 400);
    EXPECT_EQ(statusOf(f.post("/ui/api/files/sequences/.hidden", "x")), 400);
    EXPECT_EQ(statusOf(f.post("/ui/api/files/config/settings", "x")), 404);
    EXPECT_EQ(statusOf(f.post("/ui/api/files/..", "x")), 404);
    EXPECT_EQ(statusOf(f.post("/ui/api/files/sequences/a/b", "x")), 404);
    EXPECT_EQ(statusOf(get(f.port(), "/ui/api/files/sequences/%2E%2E")), 400);
    struct stat st;
    EXPECT_NE(stat(f.dir.sub("settings").c_str(), &st), 0);
    EXPECT_NE(stat(f.dir.sub("config").c_str(), &st), 0);
}

TEST(FileStoreUpload, OverTheLimitIsRefusedBeforeTheBodyAndLeavesNothing) {
    Fixture f;
    SetSetting("uploadSizeLimitMB", "1");
    std::string r = f.post("/ui/api/files/music/song.mp3", pattern((1 << 20) + 1));
    EXPECT_EQ(statusOf(r), 413) << r;
    EXPECT_NE(bodyOf(r).find("over the upload limit of 1 MB"), std::string::npos) << r;
    EXPECT_TRUE(f.folder("music").empty());

    // A chunked body without a length is stopped when it passes the limit.
    int fd = connectTo(f.port());
    sendAll(fd,
            "POST /ui/api/files/music/song.mp3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
            "Transfer-Encoding: chunked\r\n\r\n");
    std::string chunk = pattern(300000);
    char head[32];
    snprintf(head, sizeof(head), "%zx\r\n", chunk.size());
    for (int i = 0; i < 4; ++i) sendAll(fd, head + chunk + "\r\n");
    sendAll(fd, "0\r\n\r\n");
    r = readAll(fd);
    close(fd);
    EXPECT_EQ(statusOf(r), 413) << r;
    EXPECT_TRUE(f.folder("music").empty());
}

TEST(FileStoreUpload, ABrokenConnectionLeavesNothingBehind) {
    Fixture f;
    int fd = connectTo(f.port());
    sendAll(fd, "POST /ui/api/files/videos/clip.mp4 HTTP/1.1\r\nHost: x\r\nContent-Length: 5000000\r\n\r\n");
    sendAll(fd, pattern(1 << 20));
    // The temporary file exists while the body arrives...
    EXPECT_TRUE(waitFor([&] { return f.folder("videos").size() == 1; }));
    close(fd);
    // ...and is gone once the server sees the connection end.
    EXPECT_TRUE(waitFor([&] { return f.folder("videos").empty(); })) << f.folder("videos")[0];
}

TEST(FileStoreUpload, LeftoversOfACrashAreRemovedAtStart) {
    TempDir dir;
    testutil::makeDir(dir.sub("images"));
    testutil::writeFile(dir.sub("images/.upload-abc123"), "partial");
    testutil::writeFile(dir.sub("images/keep.png"), "png");
    FileStore(dir.path()).removeLeftovers();
    EXPECT_EQ(testutil::listDir(dir.sub("images")), std::vector<std::string>{"keep.png"});
}

TEST(FileStoreDelete, DeletesOnlyExistingFiles) {
    Fixture f;
    ASSERT_EQ(statusOf(f.post("/ui/api/files/scripts/a.sh", "echo")), 200);
    auto del = [&](const std::string& t) {
        return roundTrip(f.port(), "DELETE " + t + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    };
    EXPECT_EQ(statusOf(del("/ui/api/files/scripts/a.sh")), 200);
    EXPECT_TRUE(f.folder("scripts").empty());
    std::string r = del("/ui/api/files/scripts/a.sh");
    EXPECT_EQ(statusOf(r), 404);
    EXPECT_NE(bodyOf(r).find("No such file: scripts/a.sh"), std::string::npos);
}

TEST(FileStoreUpload, TheServersGuardIsAskedBeforeAnyByteIsKept) {
    Fixture f;
    f.ws.set_guard([](const http_request& req) -> std::shared_ptr<http_response> {
        if (req.get_header("Authorization") == "Bearer good") return nullptr;
        return std::make_shared<string_response>("Unauthorized", 401);
    });
    EXPECT_EQ(statusOf(f.post("/ui/api/files/sequences/x.lseq", pattern(100000))), 401);
    EXPECT_TRUE(f.folder("sequences").empty());
    std::string r =
        roundTrip(f.port(),
                  "POST /ui/api/files/sequences/x.lseq HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                  "Authorization: Bearer good\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(statusOf(r), 200) << r;
    EXPECT_EQ(testutil::readFile(f.dir.sub("sequences/x.lseq")), "abc");
}
