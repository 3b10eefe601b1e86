#include "CrashHandler.h"

#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "MainLoop.h"
#include "common.h"
#include "platform/Logging.h"
#include "platform/Version.h"
#include "settings.h"

namespace {

const char* CRASH_LOG = "/tmp/lyrd_crash.log";
volatile sig_atomic_t inCrashHandler = 0;

bool debuggerAttached() {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return false;
    char line[256];
    bool attached = false;
    while (fgets(line, sizeof(line), f)) {
        if (strncmp(line, "TracerPid:", 10) == 0) {
            attached = atoi(line + 10) != 0;
            break;
        }
    }
    fclose(f);
    return attached;
}

pid_t forkSleeper(int seconds) {
    pid_t p = fork();
    if (p == 0) {
        sleep(seconds);
        _exit(0);
    }
    return p;
}

// Runs gdb against this process with its output in the crash log.  The
// placeholder and timer bound how long a hung debugger can hold the report.
void runDebuggerSupervisor(pid_t target) {
    char exe[512];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    exe[n > 0 ? n : 0] = '\0';
    char pidText[32];
    snprintf(pidText, sizeof(pidText), "%d", static_cast<int>(target));

    pid_t placeholder = forkSleeper(10);
    pid_t timer = forkSleeper(20);
    pid_t debugger = fork();
    if (debugger == 0) {
        int fd = open(CRASH_LOG, O_CREAT | O_WRONLY | O_TRUNC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execlp("gdb", "gdb", "--batch", "-n", "-ex", "thread apply all bt", "-ex", "info threads", "-ex", "bt",
               "-ex", "detach", exe, pidText, static_cast<char*>(nullptr));
        _exit(127);
    }
    bool debuggerDone = debugger < 0, timerDone = timer < 0, placeholderDone = placeholder < 0;
    while (!debuggerDone && !timerDone) {
        usleep(100000);
        if (!debuggerDone && waitpid(debugger, nullptr, WNOHANG) != 0) debuggerDone = true;
        if (!timerDone && waitpid(timer, nullptr, WNOHANG) != 0) timerDone = true;
        if (!placeholderDone && waitpid(placeholder, nullptr, WNOHANG) != 0) {
            placeholderDone = true;
            char cmd[64];
            snprintf(cmd, sizeof(cmd), "pkill -KILL -P %d", static_cast<int>(debugger));
            if (system(cmd) != 0) {
                // nothing left to kill
            }
        }
    }
    if (debuggerDone) {
        if (!timerDone) kill(timer, SIGKILL);
        if (!placeholderDone) kill(placeholder, SIGKILL);
    } else {
        kill(debugger, SIGKILL);
    }
    _exit(0);
}

void debuggerDump() {
    if (debuggerAttached()) return;
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    pid_t self = getpid();
    pid_t supervisor = fork();
    if (supervisor < 0) return;
    if (supervisor == 0) runDebuggerSupervisor(self);
    waitpid(supervisor, nullptr, 0);
    if (FileExists(CRASH_LOG)) {
        std::string stack = GetFileContents(CRASH_LOG);
        LogErr(VB_GENERAL, "Stack: \n%s\n", stack.c_str());
    }
}

void inProcessTrace() {
    void* frames[128];
    int count = backtrace(frames, 128);
    char** symbols = backtrace_symbols(frames, count);
    int fd = open(CRASH_LOG, O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd >= 0) fchmod(fd, 0600);
    for (int i = 0; i < count; i++) {
        const char* s = symbols ? symbols[i] : "?";
        LogErr(VB_GENERAL, "  %s\n", s);
        printf("%s\n", s);
        if (fd >= 0) {
            if (write(fd, s, strlen(s)) < 0 || write(fd, "\n", 1) < 0) {
                // the daemon log still holds the trace
            }
        }
    }
    fflush(stdout);
    if (fd >= 0) close(fd);
    free(symbols);
}

void uploadArchive(const std::string& archive) {
    std::string server = getSetting("CrashReportServer");
    if (server.empty()) return;  // no collection endpoint configured: keep it local
    std::string cmd = "curl -s -m 60 -F 'userfile=@" + archive + "' '" + server + "/crashUpload/index.php'";
    if (system(cmd.c_str()) != 0) {
        // the archive stays in the crashes folder
    }
}

void archiveReport(int level) {
    std::string dir = getLyrMediaDir("/crashes");
    crash::RotateArchives(dir, 10);
    if (chdir(getLyrMediaDir().c_str()) != 0) return;
    mkdir(dir.c_str(), 0775);
    SetFilePerms(dir, true);

    char stamp[64];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d_%H-%M-%S", &tm);
    char name[512];
    snprintf(name, sizeof(name), "crashes/lyr-%s-%s-%s.zip", "BBB", getLyrVersion().c_str(), stamp);

    std::string cmd = crash::ZipCommand(name, level);
    if (system(cmd.c_str()) != 0) {
        // zip's result is not checked: a partial archive is still useful
    }
    SetFilePerms(name, false);
    uploadArchive(name);
}

std::chrono::steady_clock::time_point lastPublish;
bool lastPublishSet = false;

}  // namespace

namespace crash {

void RotateArchives(const std::string& dir, size_t keep) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (size_t i = 0; names.size() - i > keep; i++) unlink((dir + "/" + names[i]).c_str());
}

std::string ZipCommand(const std::string& archive, int level) {
    std::string cmd = "zip -r " + archive + " /tmp/lyrd_crash.log";
    if (level != 1) cmd += " settings";
    if (level != 1 && level != 2) cmd += " config tmp logs/lyrd.log";
    return cmd;
}

void ResetStatsClockForTesting() { lastPublishSet = false; }

}  // namespace crash

void handleCrash(int sig) {
    if (inCrashHandler) return;
    inCrashHandler = 1;

    LogErr(VB_GENERAL, "Crash handler called:  %d\n", sig);
    debuggerDump();
    inProcessTrace();

    int level = getSettingInt("ShareCrashData", 3);
    if (level > 0) archiveReport(level);

    inCrashHandler = 0;
    runMainLYRDLoop = 0;
    if (sig != SIGQUIT && sig != SIGUSR1) exit(-1);
}

void PublishStatsBackground(std::string reason) {
    auto now = std::chrono::steady_clock::now();
    if (!lastPublishSet) {
        lastPublish = now - std::chrono::hours(24 * 10);
        lastPublishSet = true;
    }
    if (now - lastPublish < std::chrono::seconds(864000)) {
        LogDebug(VB_GENERAL, "PublishStats called, but not been 10 days yet.\n");
        return;
    }
    lastPublish = now;
    std::string mode = getSetting("statsPublish");
    if (mode == "Enabled") {
        std::thread(PublishStatsForce, reason).detach();
    } else {
        LogInfo(VB_GENERAL, "Not Publishing statistics as mode is '%s'\n", mode.c_str());
    }
}

void PublishStatsForce(std::string reason) {
    std::string resp;
    urlPost("http://127.0.0.1/api/statistics/usage?reason=" + reason, "", resp);
    LogInfo(VB_GENERAL, "Publishing statistics because of \"%s\" = %s\n", reason.c_str(), resp.c_str());
}
