#include "platform/ShowCommands.h"

#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "channeloutput/Sequence.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "mediaoutput/SoloMedia.h"
#include "overlays/Glaze.h"
#include "overlays/GlazeModel.h"
#include "platform/ChannelTester.h"
#include "platform/CommandArgs.h"
#include "platform/CommandManager.h"
#include "platform/Effects.h"
#include "platform/Logging.h"
#include "platform/MosquittoClient.h"
#include "playlist/ShellEntry.h"

using namespace CommandArgs;

namespace {

using Args = std::vector<std::string>;
using ResultPtr = std::unique_ptr<Command::Result>;

ResultPtr runScript(const Args& a) {
    std::string name = At(a, 0);
    if (name.empty()) return Error("Run Script needs a script name");
    std::string path = ScriptPath(name);
    if (path.empty()) return Error("Script '" + name + "' is not inside the scripts folder");
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Error("Script '" + name + "' not found");
    std::vector<std::string> split;
    if (!SplitScriptArgs(At(a, 1), split))
        return Error("Run Script: the arguments have an unterminated quote or escape");
    int pid = RunScript(name, At(a, 1));
    if (pid < 0) return Error("Script '" + name + "' could not be started");
    ReapChildInBackground(pid);
    return Ok("Script '" + name + "' started (pid " + std::to_string(pid) + ")");
}

std::atomic<int> urlsInFlight{0};

ResultPtr url(const Args& a) {
    std::string target = At(a, 0);
    std::string lower = toLowerCopy(target);
    if (!startsWith(lower, "http://") && !startsWith(lower, "https://"))
        return Error("URL needs an http:// or https:// address");
    std::string method = toUpperCopy(At(a, 1).empty() ? "GET" : a[1]);
    if (method != "GET" && method != "POST") return Error("URL: method must be GET or POST");
    std::string body = At(a, 2);
    int timeout = 10;
    if (!At(a, 3).empty() && (!ParseInt(a[3], timeout) || timeout < 1 || timeout > 300))
        return Error("URL: timeout must be 1 to 300 seconds");
    if (++urlsInFlight > MAX_URL_COMMANDS_IN_FLIGHT) {
        --urlsInFlight;
        return Error("URL: too many requests in flight; try again later");
    }
    LogInfo(VB_COMMAND, "URL command: %s %s\n", method.c_str(), target.c_str());
    try {
        std::thread([method, target, body, timeout] {
            std::string resp;
            if (urlHelper(method, target, body, resp, unsigned(timeout))) {
                LogInfo(VB_COMMAND, "URL command: %s %s answered (%zu bytes)\n", method.c_str(),
                        target.c_str(), resp.size());
            } else {
                LogWarn(VB_COMMAND, "URL command: %s %s failed\n", method.c_str(), target.c_str());
            }
            --urlsInFlight;
        }).detach();
    } catch (const std::exception& ex) {
        --urlsInFlight;
        return Error(std::string("URL: could not start the request: ") + ex.what());
    }
    return Ok("URL " + method + " " + target + " sent");
}

ResultPtr mqttPublish(const Args& a) {
    std::string topic = At(a, 0);
    if (topic.empty()) return Error("MQTT Publish needs a topic");
    bool retain = false;
    if (!ParseFlag(At(a, 2), retain)) return Error("MQTT Publish: retain must be true or false");
    if (!mqtt) return Error("MQTT Publish: no MQTT broker is configured (MQTTHost setting)");
    std::string error;
    if (!mqtt->PublishTopic(topic, At(a, 1), retain, error)) return Error(error);
    LogDebug(VB_COMMAND, "MQTT Publish to '%s'\n", topic.c_str());
    return Ok("Published to '" + topic + "'");
}

ResultPtr volumeStep(const Args& a, int sign, const std::string& name) {
    int step = 5;
    if (!At(a, 0).empty() && (!ParseInt(a[0], step) || step < 1 || step > 100))
        return Error(name + ": step must be 1 to 100");
    int now = setVolume(getVolume() + sign * step);
    return Ok("Volume " + std::to_string(now));
}

ResultPtr playMedia(const Args& a) {
    std::string name = At(a, 0);
    if (name.empty()) return Error("Play Media needs a music or video file name");
    std::string error;
    if (!PlaySoloMedia(name, error)) return Error(error);
    return Ok("Playing '" + name + "'");
}

ResultPtr allLightsOff(const Args&) {
    StopAllEffects();
    for (const std::string& name : GlazeManager::INSTANCE.getModelNames()) {
        GlazeModel* m = GlazeManager::INSTANCE.getModel(name);
        if (!m) continue;
        m->clear();
        m->setState(GlazeState(GlazeState::Disabled));
    }
    Json::Value off;
    off["enabled"] = 0;
    ChannelTester::INSTANCE.SetupTest(off);
    if (sequence) sequence->SendBlankingData();
    LogInfo(VB_COMMAND, "All lights off\n");
    return Ok("All lights off");
}

}  // namespace

void RegisterShowCommands() {
    CommandManager& cm = CommandManager::INSTANCE;

    auto* script = new FunctionCommand("Run Script", "Runs a script of the scripts folder", runScript);
    script->arg("script", "string", "Script").arg("args", "string", "Arguments", true);
    cm.addCommand(script);

    auto* get = new FunctionCommand("URL", "Sends an HTTP request to a device", url);
    get->arg("url", "string", "URL").arg("method", "string", "Method", true, "GET");
    get->args.back().allowableValues = {"GET", "POST"};
    get->arg("data", "string", "Body (POST)", true).arg("timeout", "int", "Timeout (seconds)", true, "10");
    get->args.back().min = 1;
    get->args.back().max = 300;
    cm.addCommand(get);

    auto* pub =
        new FunctionCommand("MQTT Publish", "Publishes a message through the MQTT broker", mqttPublish);
    pub->arg("topic", "string", "Topic").arg("payload", "string", "Payload", true);
    pub->arg("retain", "bool", "Retain", true, "false");
    cm.addCommand(pub);

    for (int sign : {1, -1}) {
        std::string name = sign > 0 ? "Volume Increase" : "Volume Decrease";
        auto* vol = new FunctionCommand(
            name, sign > 0 ? "Raises the volume by a step" : "Lowers the volume by a step",
            [sign, name](const Args& a) { return volumeStep(a, sign, name); });
        vol->arg("step", "int", "Step", true, "5");
        vol->args.back().min = 1;
        vol->args.back().max = 100;
        cm.addCommand(vol);
    }

    auto* media = new FunctionCommand("Play Media", "Plays a music or video file alone", playMedia);
    media->arg("media", "string", "Media file");
    cm.addCommand(media);

    cm.addCommand(new FunctionCommand("All Lights Off",
                                      "Stops effects and overlays and blacks out the outputs", allLightsOff));
}
