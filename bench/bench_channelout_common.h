// Shared set-up of the channel-output benchmarks: a private network
// namespace (so no packet can leave the machine), a scratch media directory
// with an E1.31 configuration and a pattern sequence, and small measuring
// helpers.  Needs root for the namespace.
#pragma once

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "channeloutput/ChannelOutputs.h"
#include "channeloutput/LSEQFile.h"
#include "platform/Logging.h"
#include "settings.h"

namespace cobench {

inline bool enterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        perror("unshare(CLONE_NEWNET) (run as root)");
        return false;
    }
    return system("ip link set lo up && ip link set lo multicast on && ip route add 239.0.0.0/8 dev lo") == 0;
}

// Media directory with multicast universes of `perUniverse` channels (the
// last one shorter so the total is `channels`) and a pattern sequence.
inline std::string setUp(int channels, int frames, int stepMS, int perUniverse = 512) {
    char tmpl[] = "/tmp/lyrd-cobench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    if (system(("mkdir -p " + dir + "/config " + dir + "/sequences").c_str()) != 0) return "";
    ResetLyrDirsForTesting(dir, dir);
    std::string u;
    int id = 1;
    for (int start = 1; start <= channels; start += perUniverse, id++) {
        int count = std::min(perUniverse, channels - start + 1);
        if (!u.empty()) u += ",";
        u += "{\"id\": " + std::to_string(id) + ", \"startChannel\": " + std::to_string(start) +
             ", \"channelCount\": " + std::to_string(count) + "}";
    }
    std::ofstream(dir + "/config/co-universes.json")
        << "{\"channelOutputs\": [{\"type\": \"universes\", \"universes\": [" << u << "]}]}";
    if (!WriteLSEQTestSequence(dir + "/sequences/bench.lseq", uint32_t(channels), uint32_t(frames), stepMS)) return "";
    return dir;
}

inline void tearDown(const std::string& dir) {
    if (dir.rfind("/tmp/lyrd-cobench-", 0) == 0) system(("rm -rf " + dir).c_str());
}

inline int64_t cpuNS(clockid_t c) {
    struct timespec ts;
    clock_gettime(c, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline long statusKB(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0) return atol(line.c_str() + strlen(key) + 1);
    return -1;
}

inline double percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, size_t(p / 100.0 * double(v.size())));
    return double(v[i]);
}

}  // namespace cobench
