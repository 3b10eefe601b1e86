// The real targets of received sync: the sequence player, the channel
// outputs, the media-output layer, plug-ins and the command processors.
#include <arpa/inet.h>

#include "Lockstep.h"
#include "Player.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/ChannelOutputs.h"
#include "channeloutput/Sequence.h"
#include "command.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"
#include "platform/PluginManager.h"

namespace {

class RealBackend : public LockstepBackend {
public:
    void OpenSequence(const std::string& name) override {
        if (sequence) sequence->OpenSequenceFile(name, 0, -1);
    }
    void StartSequence(const std::string& name, int frame) override {
        if (sequence) sequence->StartSequence(name, frame);
    }
    bool IsSequenceRunning(const std::string& name) override {
        return sequence && sequence->IsSequenceRunning(name);
    }
    bool IsAnySequenceRunning() override { return sequence && sequence->IsSequenceRunning(); }
    std::string RunningSequenceName() override { return sequence ? sequence->GetSequenceFilename() : ""; }
    void CloseIfOpen(const std::string& name) override {
        if (sequence) sequence->CloseIfOpen(name);
    }
    void CloseSequence() override {
        if (sequence) sequence->CloseSequenceFile();
    }
    void SendBlankingData() override {
        if (sequence) sequence->SendBlankingData();
    }
    int FrameIntervalMs() override {
        int ms = sequence ? sequence->GetSeqStepTime() : LYRD_DEFAULT_FRAME_MS;
        return ms > 0 ? ms : LYRD_DEFAULT_FRAME_MS;
    }
    void ResetMasterPosition() override { ::ResetMasterPosition(); }
    void UpdateMasterPosition(int frame) override { ::UpdateMasterPosition(frame); }

    bool HasMediaOutput() override {
        std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
        return mediaOutput != nullptr;
    }
    std::string MediaFilename() override {
        std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
        return mediaOutput ? mediaOutput->m_mediaFilename : "";
    }
    bool MatchesRunningMediaFilename(const std::string& name) override { return ::MatchesRunningMediaFilename(name); }
    bool OpenMedia(const std::string& name) override { return OpenMediaOutput(name); }
    bool StartMedia(const std::string& name) override { return StartMediaOutput(name); }
    void CloseMedia() override { CloseMediaOutput(); }
    void UpdateMasterMediaPosition(const std::string& name, float seconds) override {
        ::UpdateMasterMediaPosition(name, seconds);
    }

    void PluginData(const std::string& name, const uint8_t* data, int len) override {
        PluginManager::INSTANCE.lockstepData(name, data, len);
    }
    void RunTextCommand(const std::string& command) override {
        std::vector<char> text(command.begin(), command.end());
        text.push_back('\0');
        char response[COMMAND_BUFFER_SIZE] = {0};
        char* block = ProcessCommand(text.data(), response);
        free(block);
    }
    void RunCommand(const std::string& command, const std::vector<std::string>& args) override {
        CommandManager::INSTANCE.run(command, args);
    }
    void ProcessTamrinPacket(int socket, const sockaddr_in& source, const in_addr& localAddress,
                             const uint8_t* data, int len) override {
        // No controller-protocol handler is linked into this daemon.
        char from[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &source.sin_addr, from, sizeof(from));
        LogDebug(VB_SYNC, "Ignoring controller-protocol datagram of %d bytes from %s\n", len, from);
    }
    std::vector<std::pair<int, int>> OutputRanges() override {
        ::OutputRanges ranges = GetOutputRanges(true);
        return std::vector<std::pair<int, int>>(ranges.begin(), ranges.end());
    }

    std::string LoadedPlaylistName() override { return Player::INSTANCE.GetPlaylistName(); }
    bool LoadPlaylist(const std::string& name) override {
        Player::INSTANCE.Load(name);
        return Player::INSTANCE.GetPlaylistName() == name;
    }
    int FindPosForMS(uint64_t& ms) override { return Player::INSTANCE.FindPosForMS(ms); }
    void GetFilenamesForPos(int pos, std::string& seq, std::string& media) override {
        Player::INSTANCE.GetFilenamesForPos(pos, seq, media);
    }
    bool DetectControllerViaHTML(const std::string& address, const std::string& html,
                                 LockstepSystemInfo& out) override {
        // No controller detector is linked in: nothing is recognised.
        return false;
    }
};

}  // namespace

LockstepBackend& DefaultLockstepBackend() {
    static RealBackend backend;
    return backend;
}
