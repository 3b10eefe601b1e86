// Sync datagrams through the receive path the main loop drives: the header
// checks, stale-sync skipping, per-source statistics and every packet kind's
// parser and handler.  Byte 0 of the input picks the situation (bit 0: this
// system is a remote, bit 1: pings only); the rest is a batch of up to
// twelve datagrams separated by "\n--\n", each cut to the receive size and
// NUL-terminated behind its end as the receive call leaves it.
//
// Neutralised: no socket is opened, so nothing is sent; what the packets
// drive goes to a backend that only keeps the names it was given; discover
// pings are turned into plain ones, since answering sleeps a few
// milliseconds before it (fails to) reply.
#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "Lockstep.h"
#include "settings.h"

namespace {

class QuietBackend : public LockstepBackend {
public:
    std::string running, media;
    bool hasMedia = false;
    volatile unsigned checksum = 0;

    void OpenSequence(const std::string&) override {}
    void StartSequence(const std::string& n, int) override { running = n; }
    bool IsSequenceRunning(const std::string& n) override { return !running.empty() && running == n; }
    bool IsAnySequenceRunning() override { return !running.empty(); }
    std::string RunningSequenceName() override { return running; }
    void CloseIfOpen(const std::string& n) override {
        if (running == n) running.clear();
    }
    void CloseSequence() override { running.clear(); }
    void SendBlankingData() override {}
    int FrameIntervalMs() override { return 25; }
    void ResetMasterPosition() override {}
    void UpdateMasterPosition(int) override {}
    bool HasMediaOutput() override { return hasMedia; }
    std::string MediaFilename() override { return media; }
    bool MatchesRunningMediaFilename(const std::string& n) override { return hasMedia && media == n; }
    bool OpenMedia(const std::string& n) override {
        hasMedia = true;
        media = n;
        return true;
    }
    bool StartMedia(const std::string&) override { return hasMedia; }
    void CloseMedia() override { hasMedia = false; }
    void UpdateMasterMediaPosition(const std::string&, float) override {}
    void PluginData(const std::string&, const uint8_t* d, int len) override {
        // Touch the whole payload: it must lie inside the datagram.
        uint8_t sum = 0;
        for (int i = 0; i < len; i++) sum += d[i];
        checksum = checksum + sum;
    }
    void RunTextCommand(const std::string&) override {}
    void RunCommand(const std::string&, const std::vector<std::string>&) override {}
    void ProcessTamrinPacket(int, const sockaddr_in&, const in_addr&, const uint8_t*, int) override {}
    std::vector<std::pair<int, int>> OutputRanges() override { return {{1, 512}}; }
    std::string LoadedPlaylistName() override { return ""; }
    bool LoadPlaylist(const std::string&) override { return false; }
    int FindPosForMS(uint64_t&) override { return 0; }
    void GetFilenamesForPos(int, std::string&, std::string&) override {}
    bool DetectControllerViaHTML(const std::string&, const std::string&, LockstepSystemInfo&) override {
        return false;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::MediaDir(), true);
    (void)ready;
    if (size < 1) return 0;
    uint8_t flags = data[0];
    settings.lyrMode = (flags & 1) ? REMOTE_MODE : PLAYER_MODE;
    bool pingOnly = (flags & 2) != 0;

    QuietBackend backend;
    auto sync = std::make_unique<Lockstep>();
    sync->SetBackend(&backend);
    sync->SetClock([] { return 1700000000u; });
    sync->SetLocalHostName("fuzzhost");

    std::vector<std::string> pieces = fuzz::Pieces(data + 1, size - 1, 12);
    // Each datagram in a heap block of exactly the receive size plus the NUL,
    // so a read past it is caught.
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    std::vector<Lockstep::Datagram> batch;
    for (size_t i = 0; i < pieces.size(); i++) {
        std::string& p = pieces[i];
        int len = static_cast<int>(std::min(p.size(), static_cast<size_t>(LOCKSTEP_MAX_PACKET)));
        if (len >= 9 && p[4] == 4 && p[8] == 1) p[8] = 0;
        buffers.emplace_back(new uint8_t[len + 1]);
        memcpy(buffers.back().get(), p.data(), len);
        buffers.back()[len] = 0;
        Lockstep::Datagram d;
        d.data = buffers.back().get();
        d.len = len;
        d.source.sin_family = AF_INET;
        d.source.sin_addr.s_addr = htonl(0x7f000002u + static_cast<uint32_t>(i % 3));
        d.local.s_addr = htonl(0x7f000001u);
        batch.push_back(d);
    }
    sync->ProcessBatch(batch, pingOnly);
    // What the HTTP side reads back out of what the packets left.
    Json::Value systems = sync->GetSystems(false, true);
    Json::Value stats = sync->GetSyncStats();
    (void)systems;
    (void)stats;
    settings.lyrMode = PLAYER_MODE;
    return 0;
}
