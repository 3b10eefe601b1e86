// The floor for the live-input CPU figure (bench/bench_channelinput.py): a
// bare loop that receives E1.31 datagrams with recvmmsg on UDP 5568 and
// sends each straight on with sendmmsg, universe number moved by an offset,
// to one address.  No parsing, merging or composing: what any bridge must
// at least spend on the same packets.
//
//   relay_floor DEST_IP UNIVERSE_OFFSET SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: relay_floor DEST_IP UNIVERSE_OFFSET SECONDS\n");
        return 2;
    }
    int offset = atoi(argv[2]);
    double seconds = atof(argv[3]);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_port = htons(5568);
    if (bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof(me)) != 0) {
        perror("bind");
        return 1;
    }
    struct timeval tv = {0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(5568);
    inet_pton(AF_INET, argv[1], &dst.sin_addr);
    const int BATCH = 64;
    std::vector<uint8_t> bufs(BATCH * 1024);
    std::vector<mmsghdr> in(BATCH), out(BATCH);
    std::vector<iovec> iov(BATCH), oiov(BATCH);
    struct timespec t0, now;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    unsigned long total = 0;
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - t0.tv_sec + (now.tv_nsec - t0.tv_nsec) / 1e9 >= seconds) break;
        for (int i = 0; i < BATCH; i++) {
            iov[i] = {&bufs[i * 1024], 1024};
            memset(&in[i], 0, sizeof(in[i]));
            in[i].msg_hdr.msg_iov = &iov[i];
            in[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(fd, in.data(), BATCH, MSG_WAITFORONE, nullptr);
        if (n <= 0) continue;
        for (int i = 0; i < n; i++) {
            uint8_t* p = &bufs[i * 1024];
            if (in[i].msg_len > 126) {
                int u = (p[113] << 8 | p[114]) + offset;
                p[113] = uint8_t(u >> 8);
                p[114] = uint8_t(u);
            }
            oiov[i] = {p, in[i].msg_len};
            memset(&out[i], 0, sizeof(out[i]));
            out[i].msg_hdr.msg_iov = &oiov[i];
            out[i].msg_hdr.msg_iovlen = 1;
            out[i].msg_hdr.msg_name = &dst;
            out[i].msg_hdr.msg_namelen = sizeof(dst);
        }
        sendmmsg(fd, out.data(), n, 0);
        total += n;
    }
    printf("relayed %lu packets\n", total);
    return 0;
}
