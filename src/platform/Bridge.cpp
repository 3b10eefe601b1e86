#include "platform/Bridge.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
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

std::mutex bridgeLock;  // guards the two pointers, not what they point to
std::shared_ptr<ChannelInputs> inputs;
std::unique_ptr<InputReceiver> receiver;  // main thread only
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

bool onReadable(int) {
    if (!receiver || !receiver->ReadBurst()) return false;
    // While a sequence plays the paced frame carries the live channels.
    if (sequencePlaying()) return false;
    lastForcedFrame = ChannelOutputMonotonicNS();
    return true;
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
    std::vector<InputUniverse> list = loadConfig();
    if (list.empty()) return;
    auto in = std::make_shared<ChannelInputs>(std::move(list));
    auto rx = std::make_unique<InputReceiver>(*in, ChannelOutputMonotonicNS);
    if (!rx->Open()) return;
    for (int fd : rx->Descriptors()) callbacks[fd] = onReadable;
    LogInfo(VB_E131BRIDGE, "Channel inputs: %d universes, channels up to %u\n", int(in->Universes().size()),
            in->MaxChannel());
    {
        std::lock_guard<std::mutex> l(bridgeLock);
        inputs = in;
    }
    receiver = std::move(rx);
}

void Bridge_Shutdown() {
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
