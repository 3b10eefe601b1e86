// The receiving side: drain the socket in batches, drop stale sync, count
// per source, check and dispatch; a remote follows the master through the
// sequence player and the media output.
#include <arpa/inet.h>
#include <errno.h>
#include <string.h>

#include <cmath>

#include "Lockstep.h"
#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

// A flood must not keep the main loop here: after this many batches (96
// datagrams) the rest waits for the next readable event, which the loop
// sees at once, after it has served the player in between.  Rejected junk
// costs a log line each, so 64 batches of it held the loop for 10-20 ms.
static constexpr int MAX_BATCHES_PER_CALL = 8;

static in_addr localAddressOf(msghdr& h) {
    in_addr local = {};
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof(info));
            return info.ipi_spec_dst;
        }
    }
    return local;  // 0.0.0.0 when the kernel gave no packet information
}

void Lockstep::ProcessControlPacket(bool pingOnly) {
    LogExcess(VB_SYNC, "ProcessControlPacket()\n");
    if (receiveSock < 0) return;
    std::vector<Datagram> batch;
    batch.reserve(RECV_SLOTS);
    for (int round = 0; round < MAX_BATCHES_PER_CALL; round++) {
        for (int i = 0; i < RECV_SLOTS; i++) {
            recvMessages[i].msg_hdr.msg_namelen = sizeof(recvSources[i]);
            recvMessages[i].msg_hdr.msg_controllen = sizeof(recvControl[i]);
            recvMessages[i].msg_len = 0;
        }
        int count = recvmmsg(receiveSock, recvMessages, RECV_SLOTS, MSG_DONTWAIT, nullptr);
        if (count <= 0) break;
        batch.clear();
        for (int i = 0; i < count; i++) {
            Datagram d;
            d.data = recvBuffers[i];
            d.len = static_cast<int>(recvMessages[i].msg_len);
            if (d.len > 0) d.data[std::min(d.len, LOCKSTEP_MAX_PACKET)] = 0;
            memcpy(&d.source, recvSources[i], sizeof(d.source));
            d.local = localAddressOf(recvMessages[i].msg_hdr);
            batch.push_back(d);
        }
        LogExcess(VB_SYNC, "ProcessControlPacket msgcnt: %d\n", count);
        ProcessBatch(batch, pingOnly);
    }
}

// A later sync datagram of the same batch with the same action and file type
// makes this one stale.
static bool isStaleSync(const std::vector<Lockstep::Datagram>& batch, size_t i) {
    const Lockstep::Datagram& d = batch[i];
    if (d.len < 9 || d.data[4] != static_cast<uint8_t>(ControlPacketType::Sync)) return false;
    for (size_t j = i + 1; j < batch.size(); j++) {
        const Lockstep::Datagram& later = batch[j];
        if (later.len < 9) continue;
        if (later.data[4] == d.data[4] && later.data[7] == d.data[7] && later.data[8] == d.data[8]) return true;
    }
    return false;
}

void Lockstep::ProcessBatch(std::vector<Datagram>& batch, bool pingOnly) {
    bool remote = getLyrmode() == REMOTE_MODE;
    for (size_t i = 0; i < batch.size(); i++) {
        Datagram& d = batch[i];
        if (d.len <= 0) {
            LogErr(VB_SYNC, "Error: recvmsg failed: %s\n", strerror(errno));
            continue;
        }
        if (d.data[0] == 0xCC || d.data[0] == 0x55) {
            target().ProcessTamrinPacket(receiveSock, d.source, d.local, d.data, d.len);
            continue;
        }
        if (d.len < LOCKSTEP_HEADER_LEN) {
            LogErr(VB_SYNC, "Error: Received control packet too short\n");
            HexDump("Received data:", d.data, d.len, VB_SYNC);
            continue;
        }
        if (isStaleSync(batch, i)) {
            LogExcess(VB_SYNC, "Skipping sync packet %d/%d\n", static_cast<int>(i), static_cast<int>(batch.size()));
            continue;
        }
        char text[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &d.source.sin_addr, text, sizeof(text));
        std::string source(text);
        std::shared_ptr<LockstepStats> record;
        if (systems.IsLocalAddress(source)) {
            record = std::make_shared<LockstepStats>(source, "");
        } else {
            record = stats.Touch(source, [&] { return systems.RemoteHostName(source); }, Now());
        }
        if (!CheckMagic(d.data, d.len)) {
            LogErr(VB_SYNC, "Error: Invalid Received Control Packet, missing 'LYRD' header\n");
            HexDump("Received data:", d.data, d.len, VB_SYNC);
            continue;
        }
        if (!CheckLength(d.data, d.len)) {
            LogErr(VB_SYNC, "Error: Expected %d data bytes, received %d\n", GetExtraDataLen(d.data),
                   d.len - LOCKSTEP_HEADER_LEN);
            HexDump("Received data:", d.data, d.len, VB_SYNC);
            continue;
        }
        if (WillLog(LOG_EXCESS, VB_SYNC)) HexDump("Received Lockstep packet with contents:", d.data, d.len, VB_SYNC);

        ControlPkt* pkt = reinterpret_cast<ControlPkt*>(d.data);
        ControlPacketType type = static_cast<ControlPacketType>(pkt->pktType);
        if (pingOnly) {
            if (type == ControlPacketType::Ping) ProcessPingPacket(pkt, d.len, source, record.get());
            continue;
        }
        switch (type) {
            case ControlPacketType::Command: ProcessCommandPacket(pkt, d.len, record.get()); break;
            case ControlPacketType::Sync:
                if (remote) ProcessSyncPacket(pkt, d.len, record.get());
                break;
            case ControlPacketType::Blank:
                if (remote) {
                    record->pktBlank++;
                    target().SendBlankingData();
                }
                break;
            case ControlPacketType::Ping: ProcessPingPacket(pkt, d.len, source, record.get()); break;
            case ControlPacketType::Plugin: ProcessPluginPacket(pkt, d.len, record.get()); break;
            case ControlPacketType::LyrCommand: ProcessLyrCommandPacket(pkt, d.len, record.get()); break;
            default: break;
        }
    }
}

void Lockstep::rejectPacket(const char* message, const uint8_t* data, int len, LockstepStats* record) {
    LogErr(VB_SYNC, "%s", message);
    HexDump("Received data:", data, len, VB_SYNC);
    if (record) record->pktError++;
}

std::string Lockstep::GetMasterAddress() {
    std::lock_guard<std::mutex> l(masterLock);
    return masterAddress;
}

void Lockstep::ProcessSyncPacket(ControlPkt* pkt, int len, LockstepStats* record) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(pkt);
    SyncPacketInfo sync;
    if (!ParseSyncPacket(data, len, sync)) {
        rejectPacket("Error: Invalid length of received sync packet\n", data, len, record);
        return;
    }
    {
        std::lock_guard<std::mutex> l(masterLock);
        masterAddress = record ? record->sourceIP : "";
    }
    LogDebug(VB_SYNC,
             "ProcessSyncPacket()   filename: %s    type: %d   filetype: %d   frameNumber: %d   secondsElapsed: "
             "%0.2f\n",
             sync.filename.c_str(), sync.action, sync.fileType, sync.frame, sync.seconds);
    const char* name = sync.filename.c_str();
    float seconds = std::max(0.0f, sync.seconds - remoteOffset);
    if (!std::isfinite(seconds)) seconds = 0;
    LockstepStats dummy("", "");
    LockstepStats& s = record ? *record : dummy;
    if (sync.fileType == static_cast<uint8_t>(SyncFileType::Sequence)) {
        switch (static_cast<SyncAction>(sync.action)) {
            case SyncAction::Start: StartSyncedSequence(name), s.pktSyncSeqStart++; break;
            case SyncAction::Stop: StopSyncedSequence(name), s.pktSyncSeqStop++; break;
            case SyncAction::Sync: SyncSyncedSequence(name, sync.frame, seconds), s.pktSyncSeqSync++; break;
            case SyncAction::Open: OpenSyncedSequence(name), s.pktSyncSeqOpen++; break;
            default: break;
        }
    } else if (sync.fileType == static_cast<uint8_t>(SyncFileType::Media)) {
        switch (static_cast<SyncAction>(sync.action)) {
            case SyncAction::Start: StartSyncedMedia(name), s.pktSyncMedStart++; break;
            case SyncAction::Stop: StopSyncedMedia(name), s.pktSyncMedStop++; break;
            case SyncAction::Sync: SyncSyncedMedia(name, sync.frame, seconds), s.pktSyncMedSync++; break;
            case SyncAction::Open: OpenSyncedMedia(name), s.pktSyncMedOpen++; break;
            default: break;
        }
    }
}

void Lockstep::ProcessCommandPacket(ControlPkt* pkt, int len, LockstepStats* record) {
    LogDebug(VB_SYNC, "ProcessCommandPacket()\n");
    const uint8_t* data = reinterpret_cast<const uint8_t*>(pkt);
    std::string command;
    if (!ParseCommandPacket(data, len, command)) {
        rejectPacket("Error: Invalid length of received command packet\n", data, len, record);
        return;
    }
    if (record) record->pktCommand++;
    target().RunTextCommand(command);
}

void Lockstep::ProcessPluginPacket(ControlPkt* pkt, int len, LockstepStats* record) {
    LogDebug(VB_SYNC, "ProcessPluginPacket()\n");
    const uint8_t* data = reinterpret_cast<const uint8_t*>(pkt);
    std::string name;
    const uint8_t* payload = nullptr;
    int payloadLen = 0;
    if (!ParsePluginPacket(data, len, name, payload, payloadLen)) {
        rejectPacket("Error: Invalid plugin packet, name is not terminated\n", data, len, record);
        return;
    }
    target().PluginData(name, payload, payloadLen);
    if (record) record->pktPlugin++;
}

void Lockstep::ProcessLyrCommandPacket(ControlPkt* pkt, int len, LockstepStats* record) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(pkt);
    LyrCommandInfo cmd;
    if (!ParseLyrCommandPacket(data, len, cmd)) {
        rejectPacket("Error: Invalid command packet, it ends inside its fields\n", data, len, record);
        return;
    }
    if (!cmd.hosts.empty() && !MyHostMatches(cmd.hosts, localHostName, systems.LocalSystems())) return;
    if (record) record->pktLyrCommand++;
    target().RunCommand(cmd.command, cmd.args);
}

// ---- applying sync ----

void Lockstep::OpenSyncedSequence(const char* filename) {
    LogDebug(VB_SYNC, "OpenSyncedSequence(%s)\n", filename);
    target().ResetMasterPosition();
    target().OpenSequence(filename);
}

void Lockstep::StartSyncedSequence(const char* filename) {
    LogDebug(VB_SYNC, "StartSyncedSequence(%s)\n", filename);
    target().ResetMasterPosition();
    if (!target().IsSequenceRunning(filename)) target().StartSequence(filename, 0);
}

void Lockstep::StopSyncedSequence(const char* filename) {
    LogDebug(VB_SYNC, "StopSyncedSequence(%s)\n", filename);
    target().CloseIfOpen(filename);
}

void Lockstep::SyncSyncedSequence(const char* filename, int frameNumber, float secondsElapsed) {
    LogExcess(VB_SYNC, "SyncSyncedSequence('%s', %d, %.2f)\n", filename, frameNumber, secondsElapsed);
    LockstepBackend& b = target();
    if (!b.IsSequenceRunning(filename)) b.StartSequence(filename, frameNumber);
    if (!b.IsSequenceRunning(filename)) return;
    int frame = frameNumber;
    int interval = b.FrameIntervalMs();
    if (secondsElapsed > 0.0001f && interval > 0) {
        float f = secondsElapsed * 1000.0f / static_cast<float>(interval);
        if (std::isfinite(f) && f < 2e9f) frame = static_cast<int>(std::lround(f));
    }
    b.UpdateMasterPosition(frame);
}

void Lockstep::OpenSyncedMedia(const char* filename) {
    LogDebug(VB_SYNC, "OpenSyncedMedia(%s)\n", filename);
    LockstepBackend& b = target();
    if (b.HasMediaOutput()) {
        LogDebug(VB_SYNC, "Start media %s received while playing media %s\n", filename, b.MediaFilename().c_str());
        b.CloseMedia();
    }
    b.OpenMedia(filename);
}

void Lockstep::StartSyncedMedia(const char* filename) {
    LogDebug(VB_SYNC, "StartSyncedMedia(%s)\n", filename);
    target().StartMedia(filename);
}

void Lockstep::StopSyncedMedia(const char* filename) {
    LogDebug(VB_SYNC, "StopSyncedMedia(%s)\n", filename);
    LockstepBackend& b = target();
    if (b.HasMediaOutput() && b.MatchesRunningMediaFilename(filename)) {
        LogDebug(VB_SYNC, "Stopping synced media: %s\n", filename);
        b.CloseMedia();
    }
}

void Lockstep::SyncSyncedMedia(const char* filename, int frameNumber, float secondsElapsed) {
    LogExcess(VB_SYNC, "SyncSyncedMedia('%s', %d, %.2f)\n", filename, frameNumber, secondsElapsed);
    target().UpdateMasterMediaPosition(filename, secondsElapsed);
}

void Lockstep::SyncStopAll() {
    LogDebug(VB_SYNC, "SyncStopAll()\n");
    target().CloseSequence();
    if (target().HasMediaOutput()) target().CloseMedia();
}
