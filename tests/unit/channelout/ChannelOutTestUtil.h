// Helpers shared by the channel-output tests: scratch media directories,
// a private network namespace for the process, and an E1.31 receiver.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "settings.h"

namespace cotest {

// A fresh media directory (with config/ and sequences/) the settings point at.
inline std::string MakeMediaDir() {
    char tmpl[] = "/tmp/lyrd-co-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string cmd = "mkdir -p " + dir + "/config " + dir + "/sequences";
    if (system(cmd.c_str()) != 0) return "";
    ResetLyrDirsForTesting(dir, dir);
    return dir;
}

inline void RemoveDir(const std::string& dir) {
    if (dir.rfind("/tmp/lyrd-co-", 0) == 0) system(("rm -rf " + dir).c_str());
}

// Moves this test process into a network namespace of its own with loopback
// up and multicast routed to it, so nothing sent here leaves the machine.
inline bool EnterPrivateNetwork() {
    static int state = 0;  // 0 not tried, 1 in, -1 failed
    if (state == 0) {
        state = -1;
        if (unshare(CLONE_NEWNET) == 0 &&
            system("ip link set lo up && ip link set lo multicast on && ip route add 239.0.0.0/8 dev lo") == 0)
            state = 1;
    }
    return state == 1;
}

struct Packet {
    std::vector<uint8_t> bytes;
    int universe() const { return bytes.size() > 114 ? (bytes[113] << 8) | bytes[114] : -1; }
    int sequence() const { return bytes.size() > 111 ? bytes[111] : -1; }
    const uint8_t* data() const { return bytes.data() + 126; }
    size_t slots() const { return bytes.size() > 126 ? bytes.size() - 126 : 0; }
    // Frame number carried by the test pattern's first four channels.
    uint32_t patternFrame() const {
        const uint8_t* d = data();
        return (uint32_t(d[0]) << 24) | (uint32_t(d[1]) << 16) | (uint32_t(d[2]) << 8) | d[3];
    }
};

// UDP receiver on port 5568 (any address); optionally joined to multicast groups.
class Receiver {
public:
    Receiver() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        int buf = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(5568);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~Receiver() { close(fd); }
    bool join(int universe) {
        struct ip_mreq m {};
        m.imr_multiaddr.s_addr = htonl((239u << 24) | (255u << 16) | uint32_t(universe));
        m.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
        return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) == 0;
    }
    // Next packet within timeoutMS, or an empty one.
    Packet next(int timeoutMS = 500) {
        Packet p;
        struct pollfd pf = {fd, POLLIN, 0};
        if (poll(&pf, 1, timeoutMS) != 1) return p;
        uint8_t buf[2048];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n > 0) p.bytes.assign(buf, buf + n);
        return p;
    }
    std::vector<Packet> drain(int quietMS) {
        std::vector<Packet> all;
        for (Packet p = next(quietMS); !p.bytes.empty(); p = next(quietMS)) all.push_back(std::move(p));
        return all;
    }
    // Everything arriving within the next `ms`, for streams that never pause.
    std::vector<Packet> collectFor(int ms) {
        std::vector<Packet> all;
        struct timespec t0;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        for (;;) {
            struct timespec t;
            clock_gettime(CLOCK_MONOTONIC, &t);
            int left = ms - int((t.tv_sec - t0.tv_sec) * 1000 + (t.tv_nsec - t0.tv_nsec) / 1000000);
            if (left <= 0) break;
            Packet p = next(left);
            if (!p.bytes.empty()) all.push_back(std::move(p));
        }
        return all;
    }
    bool ok = false;
    int fd = -1;
};

}  // namespace cotest
