#include "platform/Effects.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/LSEQFile.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "platform/EffectCommands.h"
#include "platform/EffectRunner.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

EffectRunner& runner() {
    // Never destroyed: the output thread may still draw during static teardown.
    static EffectRunner* r = new EffectRunner([] { return ChannelOutputMonotonicNS(); });
    return *r;
}

std::string baseName(const std::string& name) {
    return endsWith(name, ".lseq") ? name.substr(0, name.size() - 5) : name;
}

// The effect's own first channel: its "sc" header, else 1.
int ownStartChannel(const LSEQFile& f) {
    const LSEQFile::VariableHeader* sc = f.findVariableHeader("sc");
    if (!sc) return 1;
    std::string text = sc->text();
    char* end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (errno || end == text.c_str() || *end || v < 1 || v > LYRD_MAX_CHANNELS) {
        LogWarn(VB_EFFECT, "Effect %s: start channel header '%s' is not a channel number; using 1\n",
                f.getFilename().c_str(), text.c_str());
        return 1;
    }
    return int(v);
}

}  // namespace

std::string EffectPath(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
        name.find("..") != std::string::npos)
        return "";
    return getLyrMediaDir("/effects") + "/" + baseName(name) + ".lseq";
}

void InitEffects() {
    RegisterEffectCommands();
}

void CloseEffects() {
    runner().stopAll();
}

namespace {

int startEffect(const std::string& name, int startChannel, int loop, bool background, std::string& error) {
    std::string path = EffectPath(name);
    if (path.empty()) {
        error = "Effect name '" + name + "' is not a file name in the effects folder";
        return -1;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "Effect '" + name + "' not found (" + path + ")";
        return -1;
    }
    std::unique_ptr<LSEQFile> file(LSEQFile::openLSEQFile(path));
    if (!file) {
        error = "Effect '" + name + "' is not a readable sequence file (" + path + ")";
        return -1;
    }
    if (file->getNumFrames() == 0) {
        error = "Effect '" + name + "' has no frames";
        return -1;
    }
    if (startChannel > LYRD_MAX_CHANNELS) {
        error = "Effect '" + name + "': start channel " + std::to_string(startChannel) +
                " is past the last channel";
        return -1;
    }
    if (startChannel < 1) startChannel = ownStartChannel(*file);
    uint32_t channels = file->getChannelCount();
    int id = runner().start(std::move(file), baseName(name), startChannel, loop != 0, background);
    LogInfo(VB_EFFECT, "Started effect '%s' (id %d) at channel %d, %u channels%s%s\n", baseName(name).c_str(),
            id, startChannel, channels, loop ? ", looping" : "", background ? ", in the background" : "");
    StartChannelOutputThread();
    return id;
}

}  // namespace

int StartEffect(const std::string& name, int startChannel, int loop, bool background, std::string& error) {
    int id = startEffect(name, startChannel, loop, background, error);
    if (id < 0) LogErr(VB_EFFECT, "Unable to start effect: %s\n", error.c_str());
    return id;
}

int StartEffect(const std::string& name, int startChannel, int loop, bool background) {
    std::string error;
    return StartEffect(name, startChannel, loop, background, error);
}

bool StopEffect(const std::string& name) {
    bool stopped = runner().stop(baseName(name));
    if (stopped) LogInfo(VB_EFFECT, "Stopped effect '%s'\n", baseName(name).c_str());
    return stopped;
}

bool StopEffect(int id) {
    bool stopped = runner().stop(id);
    if (stopped) LogInfo(VB_EFFECT, "Stopped effect %d\n", id);
    return stopped;
}

void StopAllEffects() {
    runner().stopAll();
    LogDebug(VB_EFFECT, "Stopped all effects\n");
}

bool IsEffectRunning(int id) {
    return runner().isRunning(id);
}

bool EffectsRunning() {
    return runner().anyRunning();
}

std::string GetRunningEffects() {
    std::string out;
    for (const auto& e : runner().list()) out += "\n" + std::to_string(e.id) + "," + e.name;
    return out;
}

Json::Value GetRunningEffectsJson() {
    Json::Value out(Json::arrayValue);
    for (const auto& e : runner().list()) {
        Json::Value v(Json::objectValue);
        v["id"] = e.id;
        v["name"] = e.name;
        v["startChannel"] = e.startChannel;
        v["channelCount"] = e.channelCount;
        v["loop"] = e.loop;
        v["background"] = e.background;
        v["frame"] = e.frame;
        v["frameCount"] = e.frameCount;
        v["stepTime"] = e.stepMS;
        out.append(v);
    }
    return out;
}

void OverlayEffectData(uint8_t* channels, uint32_t size, int64_t nowNS) {
    runner().draw(channels, size, nowNS);
}
