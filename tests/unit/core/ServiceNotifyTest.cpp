#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/ServiceNotify.h"

namespace {

// A datagram socket standing in for the service manager's notification socket.
class NotifySocket {
public:
    NotifySocket() {
        char tmpl[] = "/tmp/lyrd-notify-test-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/notify";
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr;
        memset(&addr, 0, sizeof(addr));
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        bound = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~NotifySocket() {
        close(fd);
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    // Every message waiting on the socket, in arrival order.
    std::vector<std::string> drain() {
        std::vector<std::string> out;
        struct pollfd p = {fd, POLLIN, 0};
        while (poll(&p, 1, 50) > 0) {
            char buf[512];
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) break;
            out.emplace_back(buf, static_cast<size_t>(n));
        }
        return out;
    }

    std::string dir, path;
    int fd = -1;
    bool bound = false;
};

// Sets the service manager's variables for one test and clears them after.
struct ServiceEnv {
    ServiceEnv(const std::string& socketPath, const char* watchdogUsec, const char* watchdogPid = nullptr) {
        setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
        if (watchdogUsec) setenv("WATCHDOG_USEC", watchdogUsec, 1);
        if (watchdogPid) setenv("WATCHDOG_PID", watchdogPid, 1);
    }
    ~ServiceEnv() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }
};

}  // namespace

TEST(ServiceNotify, WithoutAServiceManagerEveryCallIsQuietlyIgnored) {
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    ServiceNotify n;
    EXPECT_EQ(n.WatchdogUs(), 0u);
    EXPECT_FALSE(n.Ready());
    EXPECT_FALSE(n.Feed(1000));
    EXPECT_FALSE(n.Stopping());
}

TEST(ServiceNotify, ReadyThenWatchdogAtHalfTheIntervalThenStopping) {
    if (!ServiceNotify::Supported()) GTEST_SKIP() << "built without libsystemd";
    NotifySocket sock;
    ASSERT_TRUE(sock.bound);
    ServiceEnv env(sock.path, "2000000");
    ServiceNotify n;
    EXPECT_EQ(n.WatchdogUs(), 2000000u);
    EXPECT_EQ(n.FeedIntervalUs(), 1000000u);

    EXPECT_TRUE(n.Ready());
    const uint64_t t0 = 5000000;
    EXPECT_TRUE(n.Feed(t0));  // the first turn of the loop feeds at once
    EXPECT_FALSE(n.Feed(t0 + 10000));
    EXPECT_FALSE(n.Feed(t0 + 999999));
    EXPECT_TRUE(n.Feed(t0 + 1000000));
    EXPECT_FALSE(n.Feed(t0 + 1500000));
    EXPECT_TRUE(n.Feed(t0 + 2100000));
    EXPECT_TRUE(n.Stopping());

    std::vector<std::string> expected = {"READY=1", "WATCHDOG=1", "WATCHDOG=1", "WATCHDOG=1", "STOPPING=1"};
    EXPECT_EQ(sock.drain(), expected);
}

TEST(ServiceNotify, RestartInPlaceReportsReloadingNotStopping) {
    if (!ServiceNotify::Supported()) GTEST_SKIP() << "built without libsystemd";
    NotifySocket sock;
    ASSERT_TRUE(sock.bound);
    ServiceEnv env(sock.path, nullptr);
    ServiceNotify n;
    EXPECT_TRUE(n.Reloading());
    auto got = sock.drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << got[0];
}

TEST(ServiceNotify, WatchdogMeantForAnotherProcessOrMissingIsNotFed) {
    if (!ServiceNotify::Supported()) GTEST_SKIP() << "built without libsystemd";
    NotifySocket sock;
    ASSERT_TRUE(sock.bound);
    {
        // The variables were inherited from a parent the watchdog watches.
        std::string other = std::to_string(getpid() + 1);
        ServiceEnv env(sock.path, "2000000", other.c_str());
        ServiceNotify n;
        EXPECT_EQ(n.WatchdogUs(), 0u);
        EXPECT_FALSE(n.Feed(1));
    }
    {
        ServiceEnv env(sock.path, nullptr);
        ServiceNotify n;
        EXPECT_EQ(n.WatchdogUs(), 0u);
        EXPECT_FALSE(n.Feed(1));
        EXPECT_TRUE(n.Ready());
    }
    std::vector<std::string> expected = {"READY=1"};
    EXPECT_EQ(sock.drain(), expected);
}

TEST(ServiceNotify, AVanishedSocketIsReportedAsNotDelivered) {
    if (!ServiceNotify::Supported()) GTEST_SKIP() << "built without libsystemd";
    ServiceEnv env("/tmp/lyrd-notify-test-no-such-dir/notify", "2000000");
    ServiceNotify n;
    EXPECT_FALSE(n.Ready());
    EXPECT_FALSE(n.Feed(1));
}
