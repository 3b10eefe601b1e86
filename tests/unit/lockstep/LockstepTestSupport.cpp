#include "LockstepTestSupport.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// Before main and before any thread: move the whole binary into a private
// network namespace and bring its loopback up.
bool enterPrivateNetns() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

const bool inNetns = enterPrivateNetns();

}  // namespace

bool InPrivateNetns() { return inNetns; }

bool NetnsShell(const std::string& command) {
    if (!inNetns) return false;
    return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

LogCapture::LogCapture(LogLevel level) : savedLevel(VB_SYNC.level) {
    VB_SYNC.level = level;
    SetLogSink([this](int, const std::string& facility, const std::string& msg) {
        std::lock_guard<std::mutex> l(lock);
        captured.push_back(msg);
    });
}

LogCapture::~LogCapture() {
    SetLogSink(nullptr);
    VB_SYNC.level = savedLevel;
}

std::vector<std::string> LogCapture::lines() {
    std::lock_guard<std::mutex> l(lock);
    return captured;
}

int LogCapture::count(const std::string& part) {
    std::lock_guard<std::mutex> l(lock);
    int n = 0;
    for (const auto& s : captured) n += s.find(part) != std::string::npos;
    return n;
}
