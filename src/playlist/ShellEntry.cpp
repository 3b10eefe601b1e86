#include "playlist/ShellEntry.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "common.h"
#include "platform/Logging.h"
#include "playlist/PlaylistValues.h"
#include "settings.h"

extern char** environ;

// --------------------------------------------------------------- RunScript

bool SplitScriptArgs(const std::string& text, std::vector<std::string>& out) {
    out.clear();
    std::string cur;
    bool inWord = false;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord) out.push_back(cur);
            cur.clear();
            inWord = false;
            i++;
        } else if (c == '\'') {
            size_t end = text.find('\'', i + 1);
            if (end == std::string::npos) return false;
            cur += text.substr(i + 1, end - i - 1);
            inWord = true;
            i = end + 1;
        } else if (c == '"') {
            inWord = true;
            i++;
            bool closed = false;
            while (i < text.size()) {
                char d = text[i];
                if (d == '"') {
                    closed = true;
                    i++;
                    break;
                }
                if (d == '\\' && i + 1 < text.size() && strchr("\"\\$`\n", text[i + 1])) {
                    if (text[i + 1] != '\n') cur += text[i + 1];
                    i += 2;
                    continue;
                }
                cur += d;
                i++;
            }
            if (!closed) return false;
        } else if (c == '\\') {
            if (i + 1 >= text.size()) return false;
            if (text[i + 1] != '\n') {
                cur += text[i + 1];
                inWord = true;
            }
            i += 2;
        } else {
            cur += c;
            inWord = true;
            i++;
        }
    }
    if (inWord) out.push_back(cur);
    return true;
}

std::string ScriptPath(const std::string& scriptName) {
    if (scriptName.empty()) return "";
    if (scriptName[0] == '/') return "";
    if (scriptName.find('\0') != std::string::npos) return "";
    for (const std::string& part : split(scriptName, '/'))
        if (part == "..") return "";
    return getLyrMediaDir("/scripts") + "/" + scriptName;
}

void ReapChildInBackground(pid_t pid) {
    if (pid <= 0) return;
    try {
        std::thread([pid] {
            int st;
            while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::exception&) {
        // No thread to spare: the child stays a zombie until the daemon ends.
    }
}

int RunScript(std::string scriptName, std::string scriptArgs) {
    std::string path = ScriptPath(scriptName);
    if (path.empty()) {
        LogErr(VB_PLAYLIST, "Refusing script '%s': scripts must be inside the scripts folder\n",
               scriptName.c_str());
        return -1;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        LogErr(VB_PLAYLIST, "Script '%s' not found (%s)\n", scriptName.c_str(), path.c_str());
        return -1;
    }
    std::vector<std::string> args;
    if (!SplitScriptArgs(scriptArgs, args)) {
        LogErr(VB_PLAYLIST, "Script '%s': arguments have an unterminated quote or escape: %s\n",
               scriptName.c_str(), scriptArgs.c_str());
        return -1;
    }

    std::vector<std::string> argvText;
    std::string program = path;
    if (access(path.c_str(), X_OK) != 0) {
        program = "/bin/sh";
        argvText.push_back("sh");
    }
    argvText.push_back(path);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    std::string dir = getLyrMediaDir("/scripts");
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    // The daemon's sockets and files are none of the script's business.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    // Its own process group, so that Stop reaches what the script started.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        LogErr(VB_PLAYLIST, "Could not start script '%s': %s\n", scriptName.c_str(), strerror(rc));
        return -1;
    }
    LogInfo(VB_PLAYLIST, "Started script '%s' (pid %d)\n", scriptName.c_str(), (int)pid);
    return (int)pid;
}

// --------------------------------------------------------------- the entry

ShellEntry::ShellEntry(Playlist* playlist, PlaylistEntryBase* parent) : PlaylistEntryBase(playlist, parent) {
    type = "script";
    LogDebug(VB_PLAYLIST, "ShellEntry::ShellEntry()\n");
}

ShellEntry::~ShellEntry() { TerminateChild(); }

bool ShellEntry::Init(Json::Value& config) {
    LogDebug(VB_PLAYLIST, "ShellEntry::Init()\n");
    std::string where = "script entry";
    if (!config.isMember("scriptName")) {
        LogErr(VB_PLAYLIST, "Missing scriptName entry\n");
        return false;
    }
    scriptName = PlaylistValues::Text(config, "scriptName", "", where);
    if (scriptName.empty()) {
        LogErr(VB_PLAYLIST, "Missing scriptName entry\n");
        return false;
    }
    scriptArgs = PlaylistValues::Text(config, "scriptArgs", "", where);
    blocking = PlaylistValues::Bool(config, "blocking", false, where);
    return PlaylistEntryBase::Init(config);
}

int ShellEntry::StartPlaying() {
    LogDebug(VB_PLAYLIST, "ShellEntry::StartPlaying()\n");
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    scriptStartTime = (uint64_t)GetTime();
    PlaylistEntryBase::StartPlaying();
    int pid = RunScript(scriptName, scriptArgs);
    if (blocking && pid > 0) {
        childPid = pid;
        return PlaylistEntryBase::StartPlaying();
    }
    ReapChildInBackground(pid);
    childPid = 0;
    FinishPlay();
    return 0;
}

bool ShellEntry::isChildRunning() {
    int pid = childPid;
    if (pid <= 0) return false;
    int st;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == 0) return true;
    if (r == pid) {
        if (WIFEXITED(st)) {
            LogInfo(VB_PLAYLIST, "Script '%s' exited with status %d\n", scriptName.c_str(), WEXITSTATUS(st));
        } else if (WIFSIGNALED(st)) {
            LogInfo(VB_PLAYLIST, "Script '%s' ended by signal %d\n", scriptName.c_str(), WTERMSIG(st));
        }
    }
    // Reaped now, or already gone (children reaped by the system).
    return false;
}

int ShellEntry::Process() {
    if (childPid > 0 && !isChildRunning()) {
        childPid = 0;
        FinishPlay();
    }
    return PlaylistEntryBase::Process();
}

void ShellEntry::TerminateChild() {
    int pid = childPid;
    if (pid <= 0) return;
    childPid = 0;
    // Only signal a process we have not reaped: its id can not have been
    // reused yet.
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
        LogInfo(VB_PLAYLIST, "Stopping script '%s' (pid %d)\n", scriptName.c_str(), pid);
        if (kill(-pid, SIGTERM) != 0) kill(pid, SIGTERM);
        ReapChildInBackground(pid);
    }
}

int ShellEntry::Stop() {
    LogDebug(VB_PLAYLIST, "ShellEntry::Stop()\n");
    if (childPid > 0) {
        TerminateChild();
        FinishPlay();
    }
    return PlaylistEntryBase::Stop();
}

void ShellEntry::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Script Filename: %s\n", scriptName.c_str());
    LogDebug(VB_PLAYLIST, "Blocking       : %d\n", blocking ? 1 : 0);
}

void ShellEntry::AddScriptFields(Json::Value& result) {
    result["scriptFilename"] = scriptName;
    result["blocking"] = blocking;
    uint64_t start = scriptStartTime;
    uint64_t now = (uint64_t)GetTime();
    result["secondsElapsed"] = (Json::UInt64)(start && now > start ? (now - start) / 1000000 : 0);
}

Json::Value ShellEntry::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    AddScriptFields(result);
    return result;
}

Json::Value ShellEntry::GetMqttStatus() {
    Json::Value result = PlaylistEntryBase::GetMqttStatus();
    AddScriptFields(result);
    return result;
}
