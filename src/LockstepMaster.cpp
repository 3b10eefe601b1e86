// The master side: what the player reports becomes observer calls and paced
// sync packets.
#include <algorithm>
#include <cmath>

#include "Lockstep.h"
#include "common.h"
#include "platform/Logging.h"

void Lockstep::addLockstepPlugin(LockstepPlugin* plugin) {
    std::lock_guard<std::mutex> l(pluginLock);
    plugins.push_back(plugin);
}

void Lockstep::removeLockstepPlugin(LockstepPlugin* plugin) {
    std::lock_guard<std::mutex> l(pluginLock);
    auto it = std::find(plugins.begin(), plugins.end(), plugin);
    if (it != plugins.end()) plugins.erase(it);
}

void Lockstep::forEachPlugin(const std::function<void(LockstepPlugin*)>& fn) {
    std::vector<LockstepPlugin*> copy;
    {
        std::lock_guard<std::mutex> l(pluginLock);
        copy = plugins;
    }
    for (auto* p : copy) fn(p);
}

bool Lockstep::socketsReadyFor(const std::string& filename, const char* error) {
    if (filename.empty()) return false;
    if (controlSock < 0) {
        LogErr(VB_SYNC, "%s", error);
        return false;
    }
    return true;
}

void Lockstep::sendSync(SyncAction action, SyncFileType type, const std::string& filename, int frame,
                        float seconds) {
    uint8_t buf[LOCKSTEP_SEND_BUFFER] = {0};
    int len = BuildSyncPacket(buf, sizeof(buf), action, type, frame, seconds, filename);
    if (len < 0) {
        LogErr(VB_SYNC, "Not sending sync packet: file name of %d characters does not fit a packet\n",
               static_cast<int>(filename.size()));
        return;
    }
    SendControlPacket(buf, len);
}

static const char* START_ERROR = "ERROR: Tried to send start packet but sync socket is not open.\n";
static const char* STOP_ERROR = "ERROR: Tried to send stop packet but sync socket is not open.\n";
static const char* SYNC_ERROR = "ERROR: Tried to send sync packet but sync socket is not open.\n";

void Lockstep::SendSeqOpenPacket(const std::string& filename) {
    if (!socketsReadyFor(filename, START_ERROR)) return;
    LogDebug(VB_SYNC, "SendSeqOpenPacket('%s')\n", filename.c_str());
    forEachPlugin([&](LockstepPlugin* p) { p->SendSeqOpenPacket(filename); });
    {
        std::lock_guard<std::mutex> l(pacingLock);
        pacing.lastFrame = pacing.lastSentFrame = -1;
    }
    sendSync(SyncAction::Open, SyncFileType::Sequence, filename, 0, 0);
}

void Lockstep::SendSeqSyncStartPacket(const std::string& filename) {
    if (!socketsReadyFor(filename, START_ERROR)) return;
    LogDebug(VB_SYNC, "SendSeqSyncStartPacket('%s')\n", filename.c_str());
    forEachPlugin([&](LockstepPlugin* p) { p->SendSeqSyncStartPacket(filename); });
    {
        std::lock_guard<std::mutex> l(pacingLock);
        pacing.lastFrame = pacing.lastSentFrame = -1;
    }
    sendSync(SyncAction::Start, SyncFileType::Sequence, filename, 0, 0);
}

void Lockstep::SendSeqSyncStopPacket(const std::string& filename) {
    if (!socketsReadyFor(filename, STOP_ERROR)) return;
    LogDebug(VB_SYNC, "SendSeqSyncStopPacket(%s)\n", filename.c_str());
    forEachPlugin([&](LockstepPlugin* p) { p->SendSeqSyncStopPacket(filename); });
    sendSync(SyncAction::Stop, SyncFileType::Sequence, filename, 0, 0);
    std::lock_guard<std::mutex> l(pacingLock);
    pacing.lastFrame = pacing.lastSentFrame = -1;
}

void Lockstep::SendSeqSyncPacket(const std::string& filename, int frames, float seconds, bool urgent) {
    if (!socketsReadyFor(filename, SYNC_ERROR)) return;
    forEachPlugin([&](LockstepPlugin* p) { p->SendSeqSyncPacket(filename, frames, seconds); });
    {
        std::lock_guard<std::mutex> l(pacingLock);
        pacing.lastFrame = frames;
        int diff = frames - pacing.lastSentFrame;
        bool send = frames <= 32 ? (frames == 0 || diff >= 4) : diff >= 10;
        // A move backwards (the media started late and the lights step back
        // to it) is just as urgent: the pacing alone would wait until the
        // old frame is passed again.
        if (urgent && diff != 0) send = true;
        if (!send) return;
        pacing.lastSentFrame = frames;
    }
    LogDebug(VB_SYNC, "SendSeqSyncPacket( '%s', %d, %.2f)\n", filename.c_str(), frames, seconds);
    sendSync(SyncAction::Sync, SyncFileType::Sequence, filename, frames, seconds);
}

void Lockstep::SendMediaOpenPacket(const std::string& filename) {
    if (!socketsReadyFor(filename, START_ERROR)) return;
    LogDebug(VB_SYNC, "SendMediaOpenPacket('%s')\n", filename.c_str());
    forEachPlugin([&](LockstepPlugin* p) { p->SendMediaOpenPacket(filename); });
    {
        std::lock_guard<std::mutex> l(pacingLock);
        pacing.lastMediaHalfSecond = 0;
    }
    sendSync(SyncAction::Open, SyncFileType::Media, filename, 0, 0);
}

void Lockstep::SendMediaSyncStartPacket(const std::string& filename) {
    if (!socketsReadyFor(filename, START_ERROR)) return;
    LogDebug(VB_SYNC, "SendMediaSyncStartPacket('%s')\n", filename.c_str());
    forEachPlugin([&](LockstepPlugin* p) { p->SendMediaSyncStartPacket(filename); });
    {
        std::lock_guard<std::mutex> l(pacingLock);
        pacing.lastMediaHalfSecond = 0;
    }
    sendSync(SyncAction::Start, SyncFileType::Media, filename, 0, 0);
}

void Lockstep::SendMediaSyncStopPacket(const std::string& filename) {
    if (!socketsReadyFor(filename, STOP_ERROR)) return;
    LogDebug(VB_SYNC, "SendMediaSyncStopPacket(%s)\n", filename.c_str());
    forEachPlugin([&](LockstepPlugin* p) { p->SendMediaSyncStopPacket(filename); });
    sendSync(SyncAction::Stop, SyncFileType::Media, filename, 0, 0);
}

void Lockstep::SendMediaSyncPacket(const std::string& filename, float seconds) {
    if (!socketsReadyFor(filename, SYNC_ERROR)) return;
    forEachPlugin([&](LockstepPlugin* p) { p->SendMediaSyncPacket(filename, seconds); });
    {
        std::lock_guard<std::mutex> l(pacingLock);
        // Truncated toward zero; a NaN or huge position is not a half-second.
        double doubled = static_cast<double>(seconds) + seconds;
        if (!std::isfinite(doubled) || std::fabs(doubled) > 2e9) return;
        int half = static_cast<int>(doubled);
        if (half == pacing.lastMediaHalfSecond) return;
        pacing.lastMediaHalfSecond = half;
    }
    LogExcess(VB_SYNC, "SendMediaSyncPacket( '%s', %.2f)\n", filename.c_str(), seconds);
    sendSync(SyncAction::Sync, SyncFileType::Media, filename, 0, seconds);
}

void Lockstep::SendBlankingDataPacket() {
    if (controlSock < 0) {
        LogErr(VB_SYNC, "ERROR: Tried to send blanking data packet but control socket is not open.\n");
        return;
    }
    LogDebug(VB_SYNC, "SendBlankingDataPacket()\n");
    forEachPlugin([&](LockstepPlugin* p) { p->SendBlankingDataPacket(); });
    uint8_t buf[LOCKSTEP_HEADER_LEN];
    int len = BuildBlankingPacket(buf, sizeof(buf));
    SendControlPacket(buf, len);
}

void Lockstep::SendPluginData(const std::string& name, const uint8_t* data, int len) {
    if (name.empty()) return;
    forEachPlugin([&](LockstepPlugin* p) { p->SendPluginData(name, data, len); });
    if (controlSock < 0) {
        LogErr(VB_SYNC, "ERROR: Tried to send plugin data packet but control socket is not open.\n");
        return;
    }
    LogDebug(VB_SYNC, "SendPluginData('%s')\n", name.c_str());
    uint8_t buf[LOCKSTEP_SEND_BUFFER] = {0};
    int total = BuildPluginPacket(buf, sizeof(buf), name, data, len);
    if (total < 0) {
        LogErr(VB_SYNC, "Not sending plugin data for '%s': %d bytes do not fit a packet\n", name.c_str(), len);
        return;
    }
    SendControlPacket(buf, total);
}

void Lockstep::runLocally(const std::string& command, const std::vector<std::string>& args) {
    target().RunCommand(command, args);
}

void Lockstep::SendLyrCommandPacket(const std::string& host, const std::string& command,
                                    const std::vector<std::string>& args) {
    if (controlSock < 0) OpenControlSockets();
    if (controlSock < 0) {
        LogErr(VB_SYNC, "ERROR: Tried to send LYR Command packet but sync socket is not open.\n");
        return;
    }
    LogDebug(VB_SYNC, "SendLyrCommandPacket\n");
    forEachPlugin([&](LockstepPlugin* p) { p->SendLyrCommandPacket(host, command, args); });
    uint8_t buf[LOCKSTEP_SEND_BUFFER] = {0};
    int len = BuildLyrCommandPacket(buf, sizeof(buf), host, command, args);
    if (len < 0) {
        LogErr(VB_SYNC, "Not sending command '%s': it does not fit a packet\n", command.c_str());
        return;
    }
    bool single = !host.empty() && host.find(',') == std::string::npos;
    bool matches = !host.empty() && MyHostMatches(host, localHostName, systems.LocalSystems());
    if (single) {
        if (matches) {
            runLocally(command, args);
        } else {
            SendUnicastPacket(host, buf, len);
        }
        return;
    }
    SendControlPacket(buf, len);
    if (host.empty() || matches) runLocally(command, args);
}

void Lockstep::SyncPlaylistToLS(uint64_t ms, const std::string& playlist, bool sendSyncPackets) {
    SyncPlaylistToLS(ms, -1, playlist, sendSyncPackets);
}

void Lockstep::SyncPlaylistToLS(uint64_t ms, int pos, const std::string& playlist, bool sendSyncPackets) {
    LockstepBackend& b = target();
    if (b.LoadedPlaylistName() != playlist) {
        if (playlist.empty()) return;
        if (!b.LoadPlaylist(playlist)) {
            LogErr(VB_SYNC, "Could not load playlist %s to sync to\n", playlist.c_str());
            return;
        }
    }
    if (pos == -1) pos = b.FindPosForMS(ms);
    if (pos <= 0) return;
    if (sendSyncPackets && controlSock < 0) OpenControlSockets();

    std::string seq, media;
    b.GetFilenamesForPos(pos, seq, media);
    float seconds = ms / 1000.0f;
    if (!seq.empty()) {
        int interval = b.FrameIntervalMs();
        if (interval <= 0) interval = 25;
        int frame = static_cast<int>(ms / interval);
        if (b.IsSequenceRunning(seq)) {
            SyncSyncedSequence(seq.c_str(), frame, seconds);
            if (sendSyncPackets) SendSeqSyncPacket(seq, frame, seconds);
        } else {
            if (b.IsAnySequenceRunning()) {
                std::string running = b.RunningSequenceName();
                if (sendSyncPackets) SendSeqSyncStopPacket(running);
                b.CloseSequence();
            }
            b.ResetMasterPosition();
            b.OpenSequence(seq);
            if (sendSyncPackets) SendSeqOpenPacket(seq);
            interval = b.FrameIntervalMs();
            if (interval <= 0) interval = 25;
            b.StartSequence(seq, static_cast<int>(ms / interval));
            if (sendSyncPackets) SendSeqSyncStartPacket(seq);
        }
    }
    if (!media.empty()) {
        if (!b.HasMediaOutput()) {
            OpenSyncedMedia(media.c_str());
            StartSyncedMedia(media.c_str());
            if (sendSyncPackets) {
                SendMediaOpenPacket(media);
                SendMediaSyncStartPacket(media);
            }
        } else if (!b.MatchesRunningMediaFilename(media)) {
            StopSyncedMedia(media.c_str());
            if (sendSyncPackets) SendMediaSyncStopPacket(media);
        }
        b.UpdateMasterMediaPosition(media, seconds);
        if (sendSyncPackets) SendMediaSyncPacket(media, seconds);
    }
}
