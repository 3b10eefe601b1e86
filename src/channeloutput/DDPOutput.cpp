#include "channeloutput/DDPOutput.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "channeloutput/OutputConfig.h"
#include "channeloutput/Sequence.h"
#include "platform/Logging.h"

DDPOutput::DDPOutput() {}

DDPOutput::~DDPOutput() {
    if (sock >= 0) close(sock);
}

void DDPOutput::BuildHeader(uint8_t* h, uint32_t offset, uint16_t length, bool push, uint8_t dataType) {
    h[0] = DDP_FLAG_VERSION_1 | (push ? DDP_FLAG_PUSH : 0);
    h[1] = 0;  // sequence
    h[2] = dataType;
    h[3] = DDP_ID_DEFAULT;
    h[4] = uint8_t(offset >> 24);
    h[5] = uint8_t(offset >> 16);
    h[6] = uint8_t(offset >> 8);
    h[7] = uint8_t(offset);
    h[8] = uint8_t(length >> 8);
    h[9] = uint8_t(length);
}

std::vector<std::pair<uint32_t, uint32_t>> DDPOutput::Chunks(uint32_t bytes, uint32_t maxPerPacket) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    if (maxPerPacket == 0) return out;
    for (uint32_t off = 0; off < bytes; off += maxPerPacket)
        out.push_back({off, std::min(maxPerPacket, bytes - off)});
    return out;
}

bool DDPOutput::Init(const Json::Value& config) {
    std::string address = OutputConfig::Text(config, "address");
    int first = OutputConfig::Int(config, "startChannel", 1);
    int n = OutputConfig::Int(config, "channelCount", 0);
    int dataType = OutputConfig::Int(config, "dataType", DDP_TYPE_RGB8);
    std::string why;
    struct in_addr ip {};
    if (address.empty())
        why = "no \"address\"";
    else if (!OutputConfig::ResolveIPv4(address, ip))
        why = "can not resolve address '" + address + "'";
    else if (first < 1)
        why = "startChannel below 1";
    else if (n < 1)
        why = "channelCount below 1";
    else if (uint64_t(first) - 1 + uint64_t(n) > LYRD_MAX_CHANNELS)
        why = "channels beyond the buffer";
    else if (dataType < 0 || dataType > 255)
        why = "dataType out of 0-255";
    if (!why.empty()) {
        LogErr(VB_CHANNELOUT, "DDP output (start %d, count %d): %s; skipped\n", first, n, why.c_str());
        return false;
    }
    start = uint32_t(first - 1);
    count = uint32_t(n);
    dest.sin_family = AF_INET;
    dest.sin_port = htons(DDP_PORT);
    dest.sin_addr = ip;

    sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        LogErr(VB_CHANNELOUT, "DDP output: can not create socket: %s\n", strerror(errno));
        return false;
    }
    chunks = Chunks(count);
    int sndbuf = std::max(int(count + chunks.size() * (DDP_HEADER_LEN + 64)) * 2, 1 << 20);
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));

    headers.assign(chunks.size(), {});
    msgs.assign(chunks.size(), {});
    iovs.assign(chunks.size() * 2, {});
    for (size_t i = 0; i < chunks.size(); i++) {
        BuildHeader(headers[i].data(), chunks[i].first, uint16_t(chunks[i].second), i + 1 == chunks.size(),
                    uint8_t(dataType));
        iovs[2 * i] = {headers[i].data(), DDP_HEADER_LEN};
        iovs[2 * i + 1] = {nullptr, chunks[i].second};
        msgs[i].msg_hdr.msg_name = &dest;
        msgs[i].msg_hdr.msg_namelen = sizeof(dest);
        msgs[i].msg_hdr.msg_iov = &iovs[2 * i];
        msgs[i].msg_hdr.msg_iovlen = 2;
    }
    LogInfo(VB_CHANNELOUT, "DDP output to %s: channels %u-%u in %d packets\n", address.c_str(), start + 1,
            start + count, int(chunks.size()));
    return true;
}

int DDPOutput::SendData(const uint8_t* channels) {
    sequence = NextSequence(sequence);
    for (size_t i = 0; i < chunks.size(); i++) {
        headers[i][1] = sequence;
        iovs[2 * i + 1].iov_base = const_cast<uint8_t*>(channels + start + chunks[i].first);
    }
    size_t done = 0;
    while (done < msgs.size()) {
        int r = sendmmsg(sock, &msgs[done], unsigned(std::min<size_t>(msgs.size() - done, 1024)), 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errorCount++ % 1000 == 0) LogWarn(VB_CHANNELOUT, "DDP send failed: %s\n", strerror(errno));
            done++;
            continue;
        }
        done += size_t(r);
    }
    return int(msgs.size());
}

void DDPOutput::GetRanges(OutputRanges& out, bool) const {
    if (count) out.push_back({int(start + 1), int(count)});
}
