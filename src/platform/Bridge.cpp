#include "platform/Bridge.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channelinput/ChannelInputs.h"
#include "channelinput/InputConfig.h"
#include "channelinput/InputReceiver.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

std::mutex bridgeLock;  // guards the pointer, not what it points to
std::shared_ptr<ChannelInputs> inputs;
// The receive thread owns the receiver while it runs; Initialize and
// Shutdown (main thread) start and join it.
std::unique_ptr<InputReceiver> receiver;
std::thread receiveThread;
int wakeFd = -1;
std::atomic<int64_t> lastForcedFrame{0};

std::shared_ptr<ChannelInputs> current() {
    std::lock_guard<std::mutex> l(bridgeLock);
    return inputs;
}

int64_t wallMS() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool sequencePlaying() {
    return sequence && sequence->IsSequenceRunning();
}

// Reads bursts as they come and sends each on at once while no sequence
// plays (while one plays, the paced frame carries the live channels).
// Normal priority: a real-time reader would preempt a sender on the same
// machine in the middle of its frame and split every frame in several.
void receiveLoop(InputReceiver* rx, int wake) {
    std::vector<int> fds = rx->Descriptors();
    std::vector<struct pollfd> p;
    for (int fd : fds) p.push_back({fd, POLLIN, 0});
    p.push_back({wake, POLLIN, 0});
    for (;;) {
        int r = poll(p.data(), nfds_t(p.size()), -1);
        if (r < 0 && errno != EINTR) {
            LogErr(VB_E131BRIDGE, "Input receive thread: poll failed: %s\n", strerror(errno));
            return;
        }
        if (p.back().revents) return;
        if (r <= 0 || !rx->ReadBurst() || sequencePlaying()) continue;
        lastForcedFrame = ChannelOutputMonotonicNS();
        ForceChannelOutputNow();
    }
}

std::vector<InputUniverse> loadConfig() {
    std::string path = getLyrMediaDir("/config/ci-universes.json");
    if (!FileExists(path)) {
        LogDebug(VB_E131BRIDGE, "No channel inputs configured (%s not found)\n", path.c_str());
        return {};
    }
    Json::Value root;
    if (!LoadJsonFromFile(path, root)) {
        LogErr(VB_E131BRIDGE, "config/ci-universes.json is not valid JSON; no channel inputs\n");
        return {};
    }
    std::vector<std::string> problems;
    std::vector<InputUniverse> list = ParseInputConfig(root, problems);
    for (const auto& p : problems)
        LogErr(VB_E131BRIDGE, "config/ci-universes.json: %s; left out\n", p.c_str());
    return list;
}

}  // namespace

void Bridge_Initialize(CallbackMap& callbacks) {
    (void)callbacks;  // the inputs have a thread of their own
    std::vector<InputUniverse> list = loadConfig();
    if (list.empty()) return;
    auto in = std::make_shared<ChannelInputs>(std::move(list));
    auto rx = std::make_unique<InputReceiver>(*in, ChannelOutputMonotonicNS);
    if (!rx->Open()) return;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        LogErr(VB_E131BRIDGE, "Channel inputs not started: eventfd failed: %s\n", strerror(errno));
        return;
    }
    LogInfo(VB_E131BRIDGE, "Channel inputs: %d universes, channels up to %u\n", int(in->Universes().size()),
            in->MaxChannel());
    {
        std::lock_guard<std::mutex> l(bridgeLock);
        inputs = in;
    }
    receiver = std::move(rx);
    wakeFd = wake;
    receiveThread = std::thread(receiveLoop, receiver.get(), wakeFd);
}

void Bridge_Shutdown() {
    if (receiveThread.joinable()) {
        uint64_t one = 1;
        if (write(wakeFd, &one, sizeof(one)) < 0) LogWarn(VB_E131BRIDGE, "Input receive thread: wake failed\n");
        receiveThread.join();
    }
    if (wakeFd >= 0) close(wakeFd);
    wakeFd = -1;
    receiver.reset();
    std::lock_guard<std::mutex> l(bridgeLock);
    inputs.reset();
}

bool HasBridgeData() {
    auto in = current();
    return in && in->HasData(ChannelOutputMonotonicNS());
}

Json::Value GetE131UniverseBytesReceived() {
    auto in = current();
    if (in) return in->Stats(ChannelOutputMonotonicNS(), wallMS());
    Json::Value result;
    result["universes"] = Json::Value(Json::arrayValue);
    return result;
}

void ResetBytesReceived() {
    if (auto in = current()) in->ResetStats();
}

void CopyBridgeData(uint8_t* dst, size_t len) {
    auto in = current();
    if (in)
        in->Copy(dst, len, ChannelOutputMonotonicNS());
    else
        memset(dst, 0, len);
}

uint32_t GetBridgeMaxChannel() {
    auto in = current();
    return in ? in->MaxChannel() : 0;
}

void ApplyBridgeData(uint8_t* buf, size_t size) {
    if (auto in = current()) in->ApplyLive(buf, size, ChannelOutputMonotonicNS());
}

bool BridgeOutputIsCurrent(int64_t sinceNS) {
    int64_t last = lastForcedFrame.load();
    return last != 0 && last >= sinceNS && !sequencePlaying() && HasBridgeData();
}
