#include "channelinput/RecorderCommands.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "channelinput/Recorder.h"
#include "common.h"
#include "platform/Command.h"
#include "platform/CommandManager.h"
#include "settings.h"

namespace {

using Args = std::vector<std::string>;
using Result = Command::Result;

std::unique_ptr<Result> Error(const std::string& text) {
    return std::make_unique<Command::ErrorResult>(text);
}

class StartRecordingCommand : public Command {
public:
    explicit StartRecordingCommand(Recorder& r)
        : Command("Start Recording", "Records the channel input into a sequence until Stop Recording"),
          recorder(r) {
        args.push_back(CommandArg("name", "string", "Sequence Name"));
        CommandArg interval("interval", "int", "Frame Interval (ms)", true);
        interval.defaultValue = std::to_string(Recorder::DEFAULT_INTERVAL_MS);
        interval.min = Recorder::MIN_INTERVAL_MS;
        interval.max = Recorder::MAX_INTERVAL_MS;
        args.push_back(interval);
        args.push_back(CommandArg("media", "string", "Media File", true));
    }
    std::unique_ptr<Result> run(const Args& a) override {
        std::string name, media;
        int interval = Recorder::DEFAULT_INTERVAL_MS;
        std::string error = ParseStartRecordingArgs(a, name, interval, media);
        if (error.empty()) error = recorder.start(name, interval, media);
        if (!error.empty()) return Error(error);
        return std::make_unique<Result>("Recording " + recorder.status().name);
    }

private:
    Recorder& recorder;
};

class StopRecordingCommand : public Command {
public:
    explicit StopRecordingCommand(Recorder& r)
        : Command("Stop Recording", "Ends the recording and saves it"), recorder(r) {}
    std::unique_ptr<Result> run(const Args&) override {
        std::string error = recorder.stop();
        if (!error.empty()) return Error(error);
        Recorder::Status s = recorder.status();
        char text[64];
        snprintf(text, sizeof(text), ": %llu frames (%.3f s)", (unsigned long long)s.frames,
                 s.frames * s.intervalMS / 1000.0);
        return std::make_unique<Result>("Recording " + s.name + " saved" + text);
    }

private:
    Recorder& recorder;
};

MonotonicRecorderClock* daemonClock = nullptr;
BridgeFrameSource* daemonSource = nullptr;
Recorder* daemonRecorder = nullptr;

}  // namespace

std::string ParseStartRecordingArgs(const Args& a, std::string& name, int& intervalMS,
                                    std::string& mediaFile) {
    if (a.empty() || a[0].empty()) return "Start Recording needs a sequence name";
    if (a.size() > 3)
        return "Start Recording takes a sequence name, a frame interval and a media file, no more";
    name = a[0];
    intervalMS = Recorder::DEFAULT_INTERVAL_MS;
    if (a.size() > 1) {
        std::string t = a[1];
        TrimWhiteSpace(t);
        if (!t.empty()) {
            char* end = nullptr;
            errno = 0;
            long v = strtol(t.c_str(), &end, 10);
            if (errno != 0 || *end != '\0' || v < Recorder::MIN_INTERVAL_MS ||
                v > Recorder::MAX_INTERVAL_MS) {
                return "Frame interval must be a whole number of ms from " +
                       std::to_string(Recorder::MIN_INTERVAL_MS) + " to " +
                       std::to_string(Recorder::MAX_INTERVAL_MS) + ", not '" + a[1] + "'";
            }
            intervalMS = int(v);
        }
    }
    mediaFile = a.size() > 2 ? a[2] : "";
    return "";
}

void RegisterRecorderCommands(CommandManager& cm, Recorder& recorder) {
    cm.addCommand(new StartRecordingCommand(recorder));
    cm.addCommand(new StopRecordingCommand(recorder));
}

void InitRecorder() {
    if (daemonRecorder) return;
    daemonClock = new MonotonicRecorderClock();
    daemonSource = new BridgeFrameSource();
    daemonRecorder = new Recorder(getLyrMediaDir("/sequences"), *daemonSource, *daemonClock, true);
    RegisterRecorderCommands(CommandManager::INSTANCE, *daemonRecorder);
}

void ShutdownRecorder() {
    if (daemonRecorder) daemonRecorder->shutdown();
}

void CloseRecorder() {
    delete daemonRecorder;
    daemonRecorder = nullptr;
    delete daemonSource;
    daemonSource = nullptr;
    delete daemonClock;
    daemonClock = nullptr;
}

Recorder* GetRecorder() {
    return daemonRecorder;
}
