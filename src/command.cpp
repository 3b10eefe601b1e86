#include "command.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "Player.h"
#include "Scheduler.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/ChannelTester.h"
#include "platform/CommandManager.h"
#include "platform/Effects.h"
#include "platform/GPIO.h"
#include "platform/Logging.h"
#include "platform/RuntimeDir.h"
#include "platform/Warnings.h"
#include "settings.h"

namespace {

std::string socketPath = "/run/lyrd/LYRD";
std::string linkPath = "/tmp/LYRD";
int socketFd = -1;
time_t lyrdStartTime = 0;

int mode() { return static_cast<int>(getLyrmode()); }

// Bounded formatting into the reply buffer: a reply never overruns it.
void reply(char* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void reply(char* out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(out, COMMAND_BUFFER_SIZE, fmt, ap);
    va_end(ap);
}

char* allocated(const std::string& text) { return strdup(text.c_str()); }

void exitHandler(int signum) {
    LogInfo(VB_COMMAND, "Caught signal %d\n", signum);
    if (mediaOutputStatus && mediaOutputStatus->status == 1) CloseMediaOutput();
    ShutdownLYRD(false);
    sleep(1);
    CloseCommand();
}

int arg(const std::vector<std::string>& f, size_t i) {
    return i < f.size() ? static_cast<int>(strtol(f[i].c_str(), nullptr, 10)) : 0;
}
std::string sarg(const std::vector<std::string>& f, size_t i) { return i < f.size() ? f[i] : std::string(); }

bool playerBusy(int status) { return status == 1 || status == 2 || status == 3; }

// ---- status reply

struct EntryTimes {
    std::string type, sequence, media;
    int elapsed = 0, remaining = 0;
};

EntryTimes describeEntry(const Json::Value& info) {
    EntryTimes t;
    Json::Value entry = info["currentEntry"];
    if (entry.isObject() && entry["type"].asString() == "dynamic" && entry.isMember("dynamic")) {
        entry = entry["dynamic"];
    }
    t.type = entry["type"].asString();
    if (t.type == "sequence") {
        t.sequence = entry["sequenceName"].asString();
        if (sequence) {
            t.elapsed = static_cast<int>(sequence->GetElapsedMS() / 1000);
            t.remaining = static_cast<int>(sequence->GetRemainingMS() / 1000);
        }
    } else if (t.type == "both") {
        t.sequence = entry["sequence"]["sequenceName"].asString();
        t.media = entry["media"]["mediaFilename"].asString();
        t.elapsed = entry["media"]["secondsElapsed"].asInt();
        t.remaining = entry["media"]["secondsRemaining"].asInt();
    } else if (t.type == "media") {
        t.media = entry["mediaFilename"].asString();
        t.elapsed = entry["secondsElapsed"].asInt();
        t.remaining = entry["secondsRemaining"].asInt();
    } else if (t.type == "pause") {
        t.elapsed = entry["duration"].asInt() - entry["remaining"].asInt();
        t.remaining = entry["remaining"].asInt();
    }
    return t;
}

std::string nextPlaylist() { return scheduler ? scheduler->GetNextPlaylistName() : std::string(); }
std::string nextStart() { return scheduler ? scheduler->GetNextPlaylistStartStr() : std::string(); }

void statusReply(char* out) {
    int status = Player::INSTANCE.GetStatus();
    if (status != 0) {
        Json::Value info = Player::INSTANCE.GetInfo();
        EntryTimes t = describeEntry(info);
        reply(out, "%d,%d,%d,%s,%s,%s,%s,%d,%d,%d,%d,%s,%s,%d\n", mode(), status, getVolume(),
              info["name"].asString().c_str(), t.type.c_str(), t.sequence.c_str(), t.media.c_str(),
              Player::INSTANCE.GetPosition(), info["size"].asInt(), t.elapsed, t.remaining, nextPlaylist().c_str(),
              nextStart().c_str(), info["repeat"].asInt());
    } else if (getLyrmode() == REMOTE_MODE) {
        std::string seq = sequence && sequence->IsSequenceRunning() ? sequence->GetSequenceFilename() : "";
        std::string media;
        int elapsed = 0, remaining = 0;
        if (sequence && sequence->IsSequenceRunning()) {
            elapsed = static_cast<int>(sequence->GetElapsedMS() / 1000);
            remaining = static_cast<int>(sequence->GetRemainingMS() / 1000);
        }
        {
            std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
            if (mediaOutput) {
                media = mediaOutput->m_mediaFilename;
                elapsed = mediaOutputStatus->secondsElapsed;
                remaining = mediaOutputStatus->secondsRemaining;
            }
        }
        reply(out, "%d,%d,%d,%s,%s,%d,%d\n", mode(), 0, getVolume(), seq.c_str(), media.c_str(), elapsed, remaining);
    } else if (sequence && sequence->IsSequenceRunning()) {
        reply(out, "%d,%d,%d,,,%s,,0,0,%d,%d,%s,%s,0\n", mode(), 1, getVolume(),
              sequence->GetSequenceFilename().c_str(), static_cast<int>(sequence->GetElapsedMS() / 1000),
              static_cast<int>(sequence->GetRemainingMS() / 1000), nextPlaylist().c_str(), nextStart().c_str());
    } else {
        reply(out, "%d,%d,%d,%s,%s\n", mode(), 0, getVolume(), nextPlaylist().c_str(), nextStart().c_str());
    }
}

// ---- commands

void startPlaylist(const std::vector<std::string>& f, bool repeat, char* out) {
    std::string name = sarg(f, 1);
    if (name.empty()) {
        reply(out, "%d,%d,Unknown Playlist,,,,,,,,,,\n", mode(), 0);
        return;
    }
    int position = arg(f, 2);
    bool ok = false;
    int scheduledRepeat = 0;
    std::string scheduled = scheduler ? scheduler->GetPlaylistThatShouldBePlaying(scheduledRepeat) : "";
    if (Player::INSTANCE.GetStatus() == 0 && !scheduled.empty() && scheduled == name &&
        (scheduledRepeat != 0) == repeat) {
        scheduler->CheckIfShouldBePlayingNow(1, -1);
        ok = true;
    } else {
        ok = Player::INSTANCE.StartPlaylist(name, repeat ? 1 : 0, position, -1, 1);
    }
    if (ok) {
        reply(out, "%d,%d,Playlist Started,,,,,,,,,,\n", mode(), 1);
    } else {
        reply(out, "%d,%d,Error Starting Playlist,,,,,,,,,,\n", mode(), 0);
    }
}

void stopGracefully(bool afterLoop, char* out) {
    int status = Player::INSTANCE.GetStatus();
    bool allowed = status == 1 || status == (afterLoop ? 2 : 3);
    if (!allowed) {
        reply(out, "%d,Not playing,,,,,,,,,,,\n", 0);
        return;
    }
    Player::INSTANCE.StopGracefully(true, afterLoop);
    reply(out, afterLoop ? "%d,%d,Playlist Stopping Gracefully After Loop,,,,,,,,,,\n"
                         : "%d,%d,Playlist Stopping Gracefully,,,,,,,,,,\n",
          mode(), 1);
}

void stopNow(char* out) {
    if (playerBusy(Player::INSTANCE.GetStatus())) {
        Player::INSTANCE.StopNow(true);
        reply(out, "%d,%d,Playlist Stopping Now,,,,,,,,,,\n", mode(), 1);
    } else if (Player::INSTANCE.GetStatus() == 0 && sequence && sequence->IsSequenceRunning()) {
        sequence->CloseSequenceFile();
        reply(out, "%d,%d,Sequence Stopping Now,,,,,,,,,,\n", mode(), 1);
    } else {
        reply(out, "%d,%d,Not playing,,,,,,,,,,\n", mode(), 0);
    }
}

void triggerPreset(const std::vector<std::string>& f, char* out) {
    std::string name = sarg(f, 1);
    int slot = arg(f, 1);
    int result = slot < 1 ? CommandManager::INSTANCE.TriggerPreset(name) : CommandManager::INSTANCE.TriggerPreset(slot);
    if (result < 0) {
        reply(out, "%d,%d,Command Preset Failed,,,,,,,,,,\n", mode(), 0);
    } else {
        reply(out, "%d,%d,Command Preset Triggered,%d,,,,,,,,,\n", mode(), 1, result);
    }
}

void setLogLevel(const std::vector<std::string>& f, char* out) {
    std::string logger = sarg(f, 1), level = sarg(f, 2);
    if (LyrLogger::INSTANCE.SetLevel(logger, level)) {
        WarningHolder::RemoveWarning("A Log Level is set to Excessive");
        WarningHolder::RemoveWarning("A Log Level is set to Debug");
        int min = LyrLogger::MinimumLogLevel();
        if (min == LOG_EXCESS) WarningHolder::AddWarning("A Log Level is set to Excessive");
        if (min == LOG_DEBUG) WarningHolder::AddWarning("A Log Level is set to Debug");
        reply(out, "%d,%d,Log Level Updated,%s,%s,,,,,,,,,\n", mode(), 1, logger.c_str(), level.c_str());
    } else {
        reply(out, "%d,%d,Error Updating Log Level,%s,%s,,,,,,,,,\n", mode(), 0, logger.c_str(), level.c_str());
    }
}

void setSetting(const std::vector<std::string>& f) {
    std::string name = sarg(f, 1), value = sarg(f, 2);
    if (name.empty()) return;
    // An unknown mode would end the process; at run time that would let any
    // local client kill a running show, so it is refused instead.
    if (name == "lyrMode" && !IsKnownModeString(value)) {
        LogErr(VB_COMMAND, "Refusing to set unknown mode '%s'\n", value.c_str());
        return;
    }
    SetSetting(name, value);
}

void startSequence(const std::vector<std::string>& f, const char* command) {
    if (f.size() < 3) {
        LogErr(VB_COMMAND, "Invalid command: %s\n", command);
        return;
    }
    if (Player::INSTANCE.GetStatus() == 0 && sequence && !sequence->IsSequenceRunning()) {
        sequence->OpenSequenceFile(f[1], 0, arg(f, 2));
        sequence->StartSequence();
    } else {
        LogErr(VB_COMMAND, "Tried to start a sequence when a playlist or sequence is already running\n");
    }
}

bool sequenceAlone() { return Player::INSTANCE.GetStatus() == 0 && sequence && sequence->IsSequenceRunning(); }

void skipItem(bool next, char* out) {
    int status = Player::INSTANCE.GetStatus();
    if (status == 0) {
        reply(out, "%d,%d,No playlist running\n", mode(), 0);
    } else if (status == 2 || status == 3 || status == 4) {
        reply(out, "%d,%d,Playlist is stopping gracefully\n", mode(), 0);
    } else {
        if (next) {
            Player::INSTANCE.NextItem();
        } else {
            Player::INSTANCE.PrevItem();
        }
        reply(out, next ? "%d,%d,Skipping to next playlist item\n" : "%d,%d,Skipping to previous playlist item\n",
              mode(), 1);
    }
}

// The socket is non-blocking; a client whose queue is full (a burst) gets a
// short grace period rather than a lost reply.
ssize_t sendReply(const char* text, const struct sockaddr_un& to, socklen_t toLen) {
    for (int attempt = 0;; attempt++) {
        ssize_t n = sendto(socketFd, text, strlen(text), 0, reinterpret_cast<const struct sockaddr*>(&to), toLen);
        if (n >= 0 || errno != EAGAIN || attempt >= 20) return n;
        struct pollfd p = {socketFd, POLLOUT, 0};
        poll(&p, 1, 10);
    }
}

char* runningEffects() {
    std::string list = GetRunningEffects();
    char head[64];
    snprintf(head, sizeof(head), "%d,%d,Running Effects", mode(), 1);
    return allocated(std::string(head) + list);
}

}  // namespace

void SetCommandSocketPaths(const std::string& sock, const std::string& link) {
    socketPath = sock;
    linkPath = link;
}

int Command_Initialize() {
    LogInfo(VB_COMMAND, "Initializing Command Module\n");
    struct sigaction sa = {};
    sa.sa_handler = exitHandler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    // World-writable for the clients' reply sockets, sticky so none can
    // replace ours; anything unsafe about it is fixed or refused here.
    std::string dir = socketPath.substr(0, socketPath.rfind('/'));
    if (!RuntimeDir::Prepare(dir)) exit(1);

    socketFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        perror("server: socket");
        exit(1);
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, socketPath.c_str(), sizeof(addr.sun_path) - 1);
    unlink(socketPath.c_str());
    mode_t old = umask(9);
    if (bind(socketFd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
        perror("command socket bind");
        exit(1);
    }
    umask(old);
    if (!RuntimeDir::CheckSocket(socketPath)) exit(1);
    lyrdStartTime = time(nullptr);
    unlink(linkPath.c_str());
    if (symlink(socketPath.c_str(), linkPath.c_str()) != 0) {
        LogWarn(VB_COMMAND, "Unable to link %s to %s: %s\n", linkPath.c_str(), socketPath.c_str(), strerror(errno));
    }
    return socketFd;
}

void CloseCommand() {
    if (socketFd < 0) return;
    close(socketFd);
    unlink(socketPath.c_str());
    socketFd = -1;
}

void CommandProc() {
    char command[COMMAND_BUFFER_SIZE];
    char response[COMMAND_BUFFER_SIZE];
    struct sockaddr_un from;
    memset(command, 0, sizeof(command));
    socklen_t fromLen = sizeof(from);
    ssize_t n = recvfrom(socketFd, command, COMMAND_BUFFER_SIZE - 1, 0, reinterpret_cast<struct sockaddr*>(&from),
                         &fromLen);
    if (n <= 0) {
        LogWarn(VB_COMMAND, "Command socket received but no bytes\n");
        return;
    }
    while (n > 0) {
        command[n] = '\0';
        memset(response, 0, sizeof(response));
        char* big = ProcessCommand(command, response);
        const char* text = big ? big : response;
        ssize_t sent = 0;
        if (fromLen > sizeof(sa_family_t)) sent = sendReply(text, from, fromLen);
        LogDebug(VB_COMMAND, "%s - (%d %d %s) %s", command, static_cast<int>(sent), errno, strerror(errno), text);
        free(big);
        memset(command, 0, sizeof(command));
        fromLen = sizeof(from);
        n = recvfrom(socketFd, command, COMMAND_BUFFER_SIZE - 1, 0, reinterpret_cast<struct sockaddr*>(&from),
                     &fromLen);
    }
}

char* ProcessCommand(char* command, char* out) {
    LogExcess(VB_COMMAND, "CMD: %s\n", command);
    out[0] = '\0';
    std::string text = command;
    std::vector<std::string> f = split(text, ',');
    if (f.empty()) f.push_back("");
    std::string cmd = f[0].substr(0, 63);

    if (cmd == "p" || cmd == "P") {
        startPlaylist(f, cmd == "p", out);
    } else if (cmd == "s") {
        statusReply(out);
    } else if (cmd == "S" || cmd == "StopGracefully") {
        stopGracefully(false, out);
    } else if (cmd == "L" || cmd == "StopGracefullyAfterLoop") {
        stopGracefully(true, out);
    } else if (cmd == "d" || cmd == "StopNow") {
        stopNow(out);
    } else if (cmd == "R") {
        if (scheduler) scheduler->ReloadScheduleFile();
        reply(out, "%d,%d,Reloading Schedule,,,,,,,,,,\n", mode(), 1);
    } else if (cmd == "v") {
        if (f.size() > 1 && !f[1].empty()) {
            setVolume(arg(f, 1));
            reply(out, "%d,%d,Setting Volume,,,,,,,,,,\n", mode(), 1);
        } else {
            reply(out, "%d,%d,Invalid Volume,,,,,,,,,,\n", mode(), 0);
        }
    } else if (cmd == "q") {
        if (playerBusy(Player::INSTANCE.GetStatus())) {
            Player::INSTANCE.StopNow(true);
            sleep(2);
        }
        ShutdownLYRD(false);
        sleep(1);
    } else if (cmd == "restart") {
        ShutdownLYRD(true);
    } else if (cmd == "e") {
        int id = f.size() >= 4 ? StartEffect(f[1], arg(f, 2), arg(f, 3), false) : -1;
        if (id >= 0) {
            reply(out, "%d,%d,Starting Effect,%d,,,,,,,,,\n", mode(), 1, id);
        } else {
            reply(out, "%d,%d,Invalid Effect,,,,,,,,,,\n", mode(), 0);
        }
    } else if (cmd == "t") {
        triggerPreset(f, out);
    } else if (cmd == "GetTestMode") {
        return allocated(ChannelTester::INSTANCE.GetConfig());
    } else if (cmd == "SetTestMode") {
        size_t comma = text.find(',');
        std::string json = comma == std::string::npos ? "" : text.substr(comma + 1);
        if (ChannelTester::INSTANCE.SetupTest(json)) {
            reply(out, "0,%d,Test Mode Activated,,,,,,,,,\n", 1);
        } else {
            reply(out, "0,%d,Test Mode Deactivated,,,,,,,,,\n", 1);
        }
    } else if (cmd == "LogLevel") {
        setLogLevel(f, out);
    } else if (cmd == "SetSetting") {
        setSetting(f);
    } else if (cmd == "StopAllEffects") {
        StopAllEffects();
        reply(out, "%d,%d,All Effects Stopped,,,,,,,,,,\n", mode(), 1);
    } else if (cmd == "StopEffectByName") {
        if (f.size() > 1 && StopEffect(f[1])) {
            reply(out, "%d,%d,Stopping Effect,%s,,,,,,,,,\n", mode(), 1, f[1].c_str());
        } else {
            reply(out, "%d,%d,Stop Effect Failed,,,,,,,,,,\n", mode(), 0);
        }
    } else if (cmd == "StopEffect") {
        if (f.size() > 1 && StopEffect(arg(f, 1))) {
            reply(out, "%d,%d,Stopping Effect,%d,,,,,,,,,\n", mode(), 1, arg(f, 1));
        } else {
            reply(out, "%d,%d,Stop Effect Failed,,,,,,,,,,\n", mode(), 0);
        }
    } else if (cmd == "GetRunningEffects") {
        return runningEffects();
    } else if (cmd == "GetLYRDUptime") {
        reply(out, "%d,%d,LYRD Uptime,%ld,,,,,,,,,\n", mode(), 1, static_cast<long>(time(nullptr) - lyrdStartTime));
    } else if (cmd == "StartSequence") {
        startSequence(f, command);
    } else if (cmd == "StopSequence") {
        if (sequenceAlone()) {
            sequence->CloseSequenceFile();
        } else {
            LogDebug(VB_COMMAND, "Tried to stop a sequence when no sequence is running\n");
        }
    } else if (cmd == "ToggleSequencePause") {
        if (sequenceAlone()) sequence->ToggleSequencePause();
    } else if (cmd == "SingleStepSequence" || cmd == "SingleStepSequenceBack") {
        if (sequenceAlone() && sequence->IsSequencePaused()) {
            if (cmd == "SingleStepSequence") {
                sequence->SingleStepSequence();
            } else {
                sequence->SingleStepSequenceBack();
            }
        }
    } else if (cmd == "NextPlaylistItem" || cmd == "PrevPlaylistItem") {
        skipItem(cmd == "NextPlaylistItem", out);
    } else if (cmd == "SetupExtGPIO") {
        int ok = SetupExtGPIO(arg(f, 1), sarg(f, 2).c_str());
        reply(out, "%d,%d,Configuring GPIO,%d,%s,,,,,,,,,\n", mode(), ok ? 1 : 0, arg(f, 1), sarg(f, 2).c_str());
    } else if (cmd == "ExtGPIO") {
        int result = ExtGPIO(arg(f, 1), sarg(f, 2).c_str(), arg(f, 3));
        if (result >= 0) {
            reply(out, "%d,%d,Setting GPIO,%d,%s,%d,%d,,,,,,,\n", mode(), 1, arg(f, 1), sarg(f, 2).c_str(), arg(f, 3),
                  result);
        } else {
            reply(out, "%d,%d,Setting GPIO,%d,%s,%d,,,,,,,,\n", mode(), 0, arg(f, 1), sarg(f, 2).c_str(), arg(f, 3));
        }
    } else {
        reply(out, "Invalid command: '%s'\n", cmd.c_str());
    }
    return nullptr;
}
