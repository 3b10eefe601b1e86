// CPU per frame of each output protocol for the same 170,000 channels at 40
// frames/s, unicast on loopback in a private network namespace: E1.31 and
// Art-Net as 334 universes (510 channels, the last one shorter), DDP as 119
// packets of at most 1440 bytes.  Each is measured against a floor taken in
// the same run with the same packets: a memcpy of the bytes into prebuilt
// packets and one sendmmsg of them.  The rounds interleave the six
// measurements so a busy machine weighs on all alike; the median round
// counts.  Target: each output within 1.5x of its floor.
//
//   bench_channelout_protocols [rounds, default 5]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "bench_channelout_common.h"
#include "bench_result.h"
#include "channeloutput/ArtNetOutput.h"
#include "channeloutput/DDPOutput.h"
#include "channeloutput/E131Output.h"
#include "channeloutput/Sequence.h"

namespace {

const int CHANNELS = 170000, PER_UNIVERSE = 510, FPS = 40, FRAMES_PER_ROUND = 40;

Json::Value universesConfig(const char* type) {
    Json::Value c;
    c["type"] = type;
    for (int start = 1, id = 1; start <= CHANNELS; start += PER_UNIVERSE, id++) {
        Json::Value u;
        u["id"] = id;
        u["startChannel"] = start;
        u["channelCount"] = std::min(PER_UNIVERSE, CHANNELS - start + 1);
        u["address"] = "127.0.0.1";
        c["universes"].append(u);
    }
    return c;
}

// A socket that takes the packets and is never read: every run pays the
// same loopback delivery (and drop) cost.
int sink(int port) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    return s;
}

// memcpy into prebuilt packets of `header` + `sizes[i]` bytes, one sendmmsg.
class Floor {
public:
    Floor(int port, size_t header, const std::vector<size_t>& sizes) : header(header), sizes(sizes) {
        sock = socket(AF_INET, SOCK_DGRAM, 0);
        int buf = 4 << 20;
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
        dst.sin_family = AF_INET;
        dst.sin_port = htons(uint16_t(port));
        dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        pkts.resize(sizes.size());
        iov.resize(sizes.size());
        msg.resize(sizes.size());
        for (size_t i = 0; i < sizes.size(); i++) {
            pkts[i].assign(header + sizes[i], 0x11);
            iov[i] = {pkts[i].data(), pkts[i].size()};
            msg[i].msg_hdr = {};
            msg[i].msg_hdr.msg_name = &dst;
            msg[i].msg_hdr.msg_namelen = sizeof(dst);
            msg[i].msg_hdr.msg_iov = &iov[i];
            msg[i].msg_hdr.msg_iovlen = 1;
        }
    }
    ~Floor() { close(sock); }
    void send(const uint8_t* channels) {
        size_t off = 0;
        for (size_t i = 0; i < sizes.size(); i++) {
            memcpy(pkts[i].data() + header, channels + off, sizes[i]);
            off += sizes[i];
        }
        sendmmsg(sock, msg.data(), unsigned(msg.size()), 0);
    }

private:
    size_t header;
    std::vector<size_t> sizes;
    int sock;
    struct sockaddr_in dst {};
    std::vector<std::vector<uint8_t>> pkts;
    std::vector<struct iovec> iov;
    std::vector<struct mmsghdr> msg;
};

// Thread CPU (us) per frame of `send`, called at 40 frames/s.
double pacedUS(const std::function<void()>& send) {
    const int64_t period = 1000000000LL / FPS;
    int64_t next = cobench::cpuNS(CLOCK_MONOTONIC), cpu = 0;
    for (int f = 0; f < FRAMES_PER_ROUND; f++) {
        next += period;
        int64_t c0 = cobench::cpuNS(CLOCK_THREAD_CPUTIME_ID);
        send();
        cpu += cobench::cpuNS(CLOCK_THREAD_CPUTIME_ID) - c0;
        struct timespec ts = {time_t(next / 1000000000), long(next % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    return double(cpu) / FRAMES_PER_ROUND / 1000;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    if (!cobench::enterPrivateNetwork()) return 1;
    SetLogLevelComplex("warn");
    std::vector<uint8_t> channels(LYRD_MAX_CHANNELS);
    for (size_t i = 0; i < size_t(CHANNELS); i++) channels[i] = uint8_t(i * 7);
    int sinks[] = {sink(E131_PORT), sink(ARTNET_PORT), sink(DDP_PORT)};

    E131Output e131;
    ArtNetOutput artnet;
    DDPOutput ddp;
    Json::Value ddpConfig;
    ddpConfig["address"] = "127.0.0.1";
    ddpConfig["startChannel"] = 1;
    ddpConfig["channelCount"] = CHANNELS;
    if (!e131.Init(universesConfig("universes")) || !artnet.Init(universesConfig("artnet")) ||
        !ddp.Init(ddpConfig)) {
        fprintf(stderr, "outputs did not initialise\n");
        return 1;
    }
    std::vector<size_t> universeSizes, ddpSizes;
    for (int start = 1; start <= CHANNELS; start += PER_UNIVERSE)
        universeSizes.push_back(size_t(std::min(PER_UNIVERSE, CHANNELS - start + 1)));
    for (auto& c : DDPOutput::Chunks(CHANNELS)) ddpSizes.push_back(c.second);
    Floor e131Floor(E131_PORT, E131_HEADER_LEN, universeSizes),
        artFloor(ARTNET_PORT, ARTNET_DMX_HEADER_LEN, universeSizes),
        ddpFloor(DDP_PORT, DDP_HEADER_LEN, ddpSizes);
    printf(
        "%d channels: E1.31 %zu packets, Art-Net %zu packets, DDP %zu packets per frame; %d rounds of %d "
        "frames\n",
        CHANNELS, e131.UniverseCount(), artnet.UniverseCount(), ddp.PacketCount(), rounds, FRAMES_PER_ROUND);

    const uint8_t* ch = channels.data();
    std::vector<std::pair<std::string, std::function<void()>>> runs = {
        {"E1.31 floor", [&] { e131Floor.send(ch); }},  {"E1.31", [&] { e131.SendData(ch); }},
        {"Art-Net floor", [&] { artFloor.send(ch); }}, {"Art-Net", [&] { artnet.SendData(ch); }},
        {"DDP floor", [&] { ddpFloor.send(ch); }},     {"DDP", [&] { ddp.SendData(ch); }}};
    std::map<std::string, std::vector<double>> us;
    for (int r = 0; r < rounds; r++)
        for (auto& run : runs) us[run.first].push_back(pacedUS(run.second));
    std::map<std::string, double> m;
    for (auto& run : runs) {
        m[run.first] = median(us[run.first]);
        printf("%-14s median %.1f us per frame (rounds:", run.first.c_str(), m[run.first]);
        for (double v : us[run.first]) printf(" %.1f", v);
        printf(")\n");
    }
    char cmp[160];
    for (const char* p : {"E1.31", "Art-Net", "DDP"}) {
        std::string name = p;
        snprintf(cmp, sizeof(cmp), "memcpy+sendmmsg floor %.1f us; E1.31 output %.1f us", m[name + " floor"],
                 m["E1.31"]);
        std::string fig = name + " 170k channels @40 fps: CPU per frame vs floor";
        benchres::result(fig.c_str(), "<= 1.5x floor", cmp, "%.1f us (%.2fx)", m[name],
                         m[name] / m[name + " floor"]);
    }
    for (int s : sinks) close(s);
    return 0;
}
