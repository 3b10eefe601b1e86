// The sync subsystem: every system of a show announces itself with pings and
// learns the others; a master reports what it plays as sync packets and the
// remotes follow.  All traffic is UDP on LOCKSTEP_PORT, by unicast to the
// configured remotes, by multicast on every usable interface and by
// broadcast, in the control-packet format of LockstepPackets.h.
//
// One object per daemon: Lockstep::INSTANCE, reached through `lockstep`.
// Tests build their own objects and give them a clock and a backend.
//
// Threading:
//  - The main loop calls Init, ProcessControlPacket, PeriodicPing, Discover
//    and ShutdownSync.
//  - The Send* senders run on whatever thread plays (player, media outputs,
//    HTTP handlers).
//  - GetSystems, GetSyncStats and ResetSyncStats run on HTTP threads.
//  - The socket mutex guards the interface map, every socket and the unicast
//    messages; the system table and the statistics table have their own
//    recursive mutexes.  Handlers of received packets run with none held.
#pragma once

#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "LockstepModel.h"
#include "LockstepPackets.h"
#include "LockstepStats.h"
#include "LockstepSystems.h"

// An observer of everything the master reports; every call has an empty
// default, so an observer overrides only what it needs.
class LockstepPlugin {
public:
    virtual ~LockstepPlugin() {}

    virtual void SendSeqOpenPacket(const std::string& filename) {}
    virtual void SendSeqSyncStartPacket(const std::string& filename) {}
    virtual void SendSeqSyncStopPacket(const std::string& filename) {}
    virtual void SendSeqSyncPacket(const std::string& filename, int frames, float seconds) {}
    virtual void ShutdownSync() {}
    virtual void SendMediaOpenPacket(const std::string& filename) {}
    virtual void SendMediaSyncStartPacket(const std::string& filename) {}
    virtual void SendMediaSyncStopPacket(const std::string& filename) {}
    virtual void SendMediaSyncPacket(const std::string& filename, float seconds) {}
    virtual void SendBlankingDataPacket() {}
    virtual void SendPluginData(const std::string& name, const uint8_t* data, int len) {}
    virtual void SendLyrCommandPacket(const std::string& host, const std::string& command,
                                      const std::vector<std::string>& args) {}
};

// What received packets drive: the sequence player, the media output, the
// channel outputs, plug-ins and the command processors.  The default
// (DefaultLockstepBackend) calls the real modules; tests give a fake.
class LockstepBackend {
public:
    virtual ~LockstepBackend() {}

    virtual void OpenSequence(const std::string& name) = 0;
    virtual void StartSequence(const std::string& name, int frame) = 0;
    virtual bool IsSequenceRunning(const std::string& name) = 0;
    virtual bool IsAnySequenceRunning() = 0;
    virtual std::string RunningSequenceName() = 0;
    virtual void CloseIfOpen(const std::string& name) = 0;
    virtual void CloseSequence() = 0;
    virtual void SendBlankingData() = 0;
    // Milliseconds per frame of the sequence that plays (greater than 0).
    virtual int FrameIntervalMs() = 0;
    virtual void ResetMasterPosition() = 0;
    virtual void UpdateMasterPosition(int frame) = 0;

    virtual bool HasMediaOutput() = 0;
    virtual std::string MediaFilename() = 0;
    virtual bool MatchesRunningMediaFilename(const std::string& name) = 0;
    virtual bool OpenMedia(const std::string& name) = 0;
    virtual bool StartMedia(const std::string& name) = 0;
    virtual void CloseMedia() = 0;
    virtual void UpdateMasterMediaPosition(const std::string& name, float seconds) = 0;

    virtual void PluginData(const std::string& name, const uint8_t* data, int len) = 0;
    // A text command line of the command socket's syntax.
    virtual void RunTextCommand(const std::string& command) = 0;
    virtual void RunCommand(const std::string& command, const std::vector<std::string>& args) = 0;
    virtual void ProcessTamrinPacket(int socket, const sockaddr_in& source, const in_addr& localAddress,
                                     const uint8_t* data, int len) = 0;
    // (start channel, channel count) of the configured channel outputs.
    virtual std::vector<std::pair<int, int>> OutputRanges() = 0;

    // The player front, for forcing a playlist position.
    virtual std::string LoadedPlaylistName() = 0;
    virtual bool LoadPlaylist(const std::string& name) = 0;
    // Entry position that holds `ms`; turns `ms` into the offset in it.
    virtual int FindPosForMS(uint64_t& ms) = 0;
    virtual void GetFilenamesForPos(int pos, std::string& sequence, std::string& media) = 0;

    // Controller recognised in a device's web page, or false.
    virtual bool DetectControllerViaHTML(const std::string& address, const std::string& html,
                                         LockstepSystemInfo& out) = 0;
};
LockstepBackend& DefaultLockstepBackend();

// One usable network interface.  Owns its multicast socket.
class NetInterfaceInfo {
public:
    NetInterfaceInfo() {}
    ~NetInterfaceInfo();
    NetInterfaceInfo(const NetInterfaceInfo&) = delete;
    NetInterfaceInfo& operator=(const NetInterfaceInfo&) = delete;

    std::string interfaceName;
    std::string address;
    in_addr_t addr = 0;
    in_addr_t broadcastAddr = 0;
    int multicastSocket = -1;
};

// Interfaces sync may use: not loopback, not USB gadgets, not tethering.
bool isSupportedForLockstep(const char* address, const char* name);

class Lockstep {
public:
    static Lockstep INSTANCE;

    Lockstep();
    ~Lockstep();
    Lockstep(const Lockstep&) = delete;
    Lockstep& operator=(const Lockstep&) = delete;

    // Test seams: seconds since the epoch, and what received packets drive.
    void SetClock(std::function<uint32_t()> clock);
    void SetBackend(LockstepBackend* backend);
    uint32_t Now() const;

    // ---- lifecycle and sockets ----
    bool Init();
    void ShutdownSync();
    int GetReceiveSocket() const { return receiveSock; }
    bool OpenReceiveSocket();
    bool OpenBroadcastSocket();
    bool OpenControlSockets();
    bool IsControlSocketOpen() const { return controlSock >= 0; }
    void setupMulticastReceive();
    bool FillInInterfaces();
    bool RemoveInterface(const std::string& name);
    // The network monitor's callback: kind 2 an address appeared, 3 went away.
    void NetworkChanged(int kind, int up, const std::string& interfaceName);

    std::vector<std::string> GetInterfaceNames();
    std::vector<std::string> GetUnicastDestinations();
    bool IsMulticastEnabled() const { return multicast; }
    bool IsBroadcastEnabled() const { return broadcast; }
    bool IsSendingSync() const { return sendingSync; }
    // Whether this system sends sync packets (normally set by Init).
    void SetSendingSync(bool sending) { sendingSync = sending; }

    // ---- sending ----
    void SendControlPacket(void* data, int len);
    void SendBroadcastPacket(void* data, int len);
    void SendMulticastPacket(void* data, int len);
    void SendUnicastPacket(const std::string& address, void* data, int len);

    // ---- master side ----
    void addLockstepPlugin(LockstepPlugin* plugin);
    void removeLockstepPlugin(LockstepPlugin* plugin);

    void SendSeqOpenPacket(const std::string& filename);
    void SendSeqSyncStartPacket(const std::string& filename);
    void SendSeqSyncStopPacket(const std::string& filename);
    // urgent: the master's timeline has just moved (it re-anchored on its
    // media), so the remotes get this position now rather than at the next
    // paced frame; any frame but the last one sent goes, backwards too.
    void SendSeqSyncPacket(const std::string& filename, int frames, float seconds, bool urgent = false);
    void SendMediaOpenPacket(const std::string& filename);
    void SendMediaSyncStartPacket(const std::string& filename);
    void SendMediaSyncStopPacket(const std::string& filename);
    void SendMediaSyncPacket(const std::string& filename, float seconds);
    void SendBlankingDataPacket();
    void SendPluginData(const std::string& name, const uint8_t* data, int len);
    void SendLyrCommandPacket(const std::string& host, const std::string& command,
                              const std::vector<std::string>& args);

    // Brings the local player, and with sendSyncPackets the remotes, to `ms`
    // of entry `pos` of `playlist` (pos -1: the entry that holds `ms`).
    void SyncPlaylistToLS(uint64_t ms, int pos, const std::string& playlist, bool sendSyncPackets);
    void SyncPlaylistToLS(uint64_t ms, const std::string& playlist, bool sendSyncPackets);

    // ---- remote side ----
    void ProcessControlPacket(bool pingOnly);
    // One received batch, as ProcessControlPacket handles it after the
    // receive call; each datagram must have a readable NUL at data[len].
    struct Datagram {
        uint8_t* data = nullptr;
        int len = 0;
        sockaddr_in source{};
        in_addr local{};
    };
    void ProcessBatch(std::vector<Datagram>& batch, bool pingOnly);

    void ProcessSyncPacket(ControlPkt* pkt, int len, LockstepStats* stats);
    void ProcessCommandPacket(ControlPkt* pkt, int len, LockstepStats* stats);
    void ProcessPluginPacket(ControlPkt* pkt, int len, LockstepStats* stats);
    void ProcessLyrCommandPacket(ControlPkt* pkt, int len, LockstepStats* stats);

    void OpenSyncedSequence(const char* filename);
    void StartSyncedSequence(const char* filename);
    void StopSyncedSequence(const char* filename);
    void SyncSyncedSequence(const char* filename, int frameNumber, float secondsElapsed);
    void OpenSyncedMedia(const char* filename);
    void StartSyncedMedia(const char* filename);
    void StopSyncedMedia(const char* filename);
    void SyncSyncedMedia(const char* filename, int frameNumber, float secondsElapsed);
    void SyncStopAll();

    float GetRemoteOffset() const { return remoteOffset; }
    std::string GetMasterAddress();

    // ---- discovery and the system table ----
    bool FillLocalSystemInfo();
    void Ping(int discover = 0, bool broadcast = true);
    void PingSingleRemote(const char* address, int discover = 0);
    void PingSingleRemote(LockstepSystem& system, int discover = 0);
    void PingSingleRemoteViaHTTP(const std::string& address);
    void PeriodicPing();
    void Discover();
    void PerformHTTPDiscovery();
    void DiscoverViaHTTP(const std::set<std::string>& addresses, const std::set<std::string>& named);
    void DiscoverIPViaHTTP(const std::string& address, bool named);
    void ProcessPingPacket(ControlPkt* pkt, int len, const std::string& sourceAddress, LockstepStats* stats);
    void UpdateSystem(LockstepSystemType type, unsigned int majorVersion, unsigned int minorVersion, int lyrMode,
                      const std::string& address, const std::string& hostname, const std::string& version,
                      const std::string& model, const std::string& ranges, const std::string& uuid,
                      bool capable, bool lockstep);
    Json::Value GetSystems(bool localOnly = false, bool timestamps = true);
    std::vector<LockstepSystem> GetLocalSystems() { return systems.LocalSystems(); }
    std::vector<LockstepSystem> GetRemoteSystems() { return systems.RemoteSystems(); }
    const std::string& GetLocalHostName() const { return localHostName; }
    void SetLocalHostName(const std::string& name) { localHostName = name; }

    // ---- statistics ----
    Json::Value GetSyncStats();
    void ResetSyncStats();

private:
    struct Pacing {
        int lastFrame = 0;
        int lastSentFrame = 0;
        int lastMediaHalfSecond = 0;
    };

    LockstepBackend& target() { return backend ? *backend : DefaultLockstepBackend(); }
    bool socketsReadyFor(const std::string& filename, const char* error);
    void sendSync(SyncAction action, SyncFileType type, const std::string& filename, int frame, float seconds);
    void forEachPlugin(const std::function<void(LockstepPlugin*)>& fn);
    void closeSocket(std::atomic<int>& sock);
    void sendUnicastBatch(int len);
    void answerDiscover(const std::string& announced, const std::string& source);
    std::string currentLocalRanges(int maxLength);
    void rejectPacket(const char* message, const uint8_t* data, int len, LockstepStats* stats);
    void runLocally(const std::string& command, const std::vector<std::string>& args);

    std::function<uint32_t()> clock;
    LockstepBackend* backend;

    // Sockets and interfaces, guarded by socketLock.
    std::map<std::string, std::unique_ptr<NetInterfaceInfo>> interfaces;
    std::atomic<bool> multicast{false};
    std::atomic<bool> broadcast{false};
    // Atomic: the senders test them on other threads while ShutdownSync closes.
    std::atomic<int> broadcastSock{-1};
    std::atomic<int> controlSock{-1};
    std::atomic<int> receiveSock{-1};
    std::string localHostName;
    std::mutex socketLock;
    struct iovec sendVector {};
    std::vector<mmsghdr> unicastMessages;
    std::vector<sockaddr_in> unicastDestinations;
    std::vector<std::string> unicastNames;
    std::atomic<bool> sendingSync{false};

    // Receive arrays.
    static constexpr int RECV_SLOTS = 12;
    mmsghdr recvMessages[RECV_SLOTS];
    iovec recvVectors[RECV_SLOTS];
    uint8_t recvBuffers[RECV_SLOTS][LOCKSTEP_MAX_PACKET + 1];
    // Control messages are read through cmsghdr pointers: keep them aligned
    // although the odd-sized packet buffers come first.
    alignas(cmsghdr) uint8_t recvControl[RECV_SLOTS][256];
    uint8_t recvSources[RECV_SLOTS][128];

    // Master side.
    std::mutex pluginLock;
    std::vector<LockstepPlugin*> plugins;
    std::mutex pacingLock;
    Pacing pacing;

    // Remote side.
    float remoteOffset = 0;
    std::mutex masterLock;
    std::string masterAddress;
    LockstepStatsTable stats;

    // Discovery.
    LockstepSystemTable systems;
    uint32_t lastPingTime = 0;
    uint32_t lastCheckTime = 0;
    uint32_t lastDiscoverBroadcast = 0;
    std::mutex responseLock;
    std::map<std::string, std::string> httpResponses;
};

extern Lockstep* lockstep;
