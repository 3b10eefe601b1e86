#include "platform/Logging.h"

#include <strings.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "settings.h"

// Static objects of other modules (the settings store among them) log while
// they are constructed, before main; build the loggers and the output state
// ahead of every ordinary static object.
#define LYRD_EARLY_INIT __attribute__((init_priority(101)))

LyrLogger LyrLogger::INSTANCE LYRD_EARLY_INIT;

namespace {
std::mutex logMutex;
std::string logFileName LYRD_EARLY_INIT;
bool logToStdOut = true;
LogSink logSink LYRD_EARLY_INIT;
std::atomic<LogTap> logTap{nullptr};  // constant-initialised, usable before main

const char* const LEVEL_NAMES[] = {"", "error", "warn", "info", "debug", "excess"};

std::string formatMessage(const char* format, va_list ap) {
    char buf[1024];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(buf, sizeof(buf), format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof(buf)) return std::string(buf, n);
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&big[0], big.size(), format, ap);
    big.resize(n);
    return big;
}

std::string timestamp() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char buf[64];
    size_t len = strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm);
    snprintf(buf + len, sizeof(buf) - len, ".%03d", static_cast<int>(tv.tv_usec / 1000));
    return buf;
}

const char* baseName(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}
}  // namespace

int LogLevelFromString(const std::string& text) {
    if (strcasecmp(text.c_str(), "error") == 0 || strcasecmp(text.c_str(), "err") == 0) return LOG_ERR;
    if (strcasecmp(text.c_str(), "warn") == 0 || strcasecmp(text.c_str(), "warning") == 0) return LOG_WARN;
    if (strcasecmp(text.c_str(), "info") == 0) return LOG_INFO;
    if (strcasecmp(text.c_str(), "debug") == 0) return LOG_DEBUG;
    if (strcasecmp(text.c_str(), "excess") == 0) return LOG_EXCESS;
    return -1;
}

const char* LogLevelToString(int level) {
    if (level < LOG_ERR || level > LOG_EXCESS) return "unknown";
    return LEVEL_NAMES[level];
}

void LyrLogger::Init() {
    // The settings store already holds the described defaults; the settings
    // file's own LogLevel_ lines are applied as they are loaded.
    for (auto* l : all()) {
        std::string level = getSetting(("LogLevel_" + l->name).c_str(), "");
        if (!level.empty()) SetLevel(l->name, level);
    }
}

std::vector<LyrLoggerInstance*> LyrLogger::all() {
    return {&ChannelData, &ChannelOut, &Command, &Control,  &E131Bridge, &Effect,  &General, &GPIO, &HTTP,
            &MediaOut,    &Playlist,   &Plugin,  &Schedule, &Sequence,   &Setting, &Sync,    &MQTT};
}

LyrLoggerInstance* LyrLogger::find(const std::string& name) {
    std::string n = name;
    if (strncasecmp(n.c_str(), "LogLevel_", 9) == 0) n = n.substr(9);
    for (auto* l : all()) {
        if (strcasecmp(l->name.c_str(), n.c_str()) == 0) return l;
    }
    // Short aliases used by the web front end and older documentation.
    if (strcasecmp(n.c_str(), "player") == 0) return &Playlist;
    if (strcasecmp(n.c_str(), "channeloutput") == 0) return &ChannelOut;
    return nullptr;
}

bool LyrLogger::SetLevel(const std::string& name, const std::string& level) {
    int lvl = LogLevelFromString(level);
    LyrLoggerInstance* l = find(name);
    if (lvl < 0 || !l) return false;
    l->level = lvl;
    return true;
}

void LyrLogger::SetAllLevels(LogLevel level) {
    for (auto* l : all()) l->level = level;
}

std::string LyrLogger::GetLogLevelString() {
    auto loggers = INSTANCE.all();
    // The most common level becomes the default; the rest are listed per level.
    int counts[6] = {0, 0, 0, 0, 0, 0};
    for (auto* l : loggers) counts[l->level.load()]++;
    int common = LOG_INFO;
    for (int i = LOG_ERR; i <= LOG_EXCESS; i++) {
        if (counts[i] > counts[common]) common = i;
    }
    std::string out = LEVEL_NAMES[common];
    for (int lvl = LOG_ERR; lvl <= LOG_EXCESS; lvl++) {
        if (lvl == common || counts[lvl] == 0) continue;
        out += ";";
        out += LEVEL_NAMES[lvl];
        out += ":";
        bool first = true;
        for (auto* l : loggers) {
            if (l->level.load() != lvl) continue;
            if (!first) out += ",";
            out += l->name;
            first = false;
        }
    }
    return out;
}

int LyrLogger::MinimumLogLevel() {
    int most = LOG_ERR;
    for (auto* l : INSTANCE.all()) most = std::max(most, l->level.load());
    return most;
}

bool WillLog(int level, const LyrLoggerInstance& facility) {
    return facility.willLog(level);
}

void _LogWrite(const char* file, int line, int level, const LyrLoggerInstance& facility, const char* format,
               ...) {
    va_list ap;
    va_start(ap, format);
    std::string msg = formatMessage(format, ap);
    va_end(ap);

    std::string prefix = timestamp() + " (" + std::to_string(static_cast<long>(syscall(SYS_gettid))) + ") [" +
                         facility.name + "] " + baseName(file) + ":" + std::to_string(line) + ": ";
    std::lock_guard<std::mutex> lock(logMutex);
    if (logSink) logSink(level, facility.name, msg);
    if (LogTap tap = logTap.load()) tap(prefix + msg);
    if (!logFileName.empty()) {
        FILE* f = fopen(logFileName.c_str(), "a");
        if (f) {
            fputs(prefix.c_str(), f);
            fputs(msg.c_str(), f);
            fclose(f);
        }
    }
    if (logToStdOut || logFileName.empty()) {
        fputs(prefix.c_str(), stdout);
        fputs(msg.c_str(), stdout);
        fflush(stdout);
    }
}

void SetLogFile(const char* file, bool toStdOut) {
    std::lock_guard<std::mutex> lock(logMutex);
    logFileName = file ? file : "";
    logToStdOut = toStdOut;
    // In the foreground the console is the log, as the usage text promises.
    if (toStdOut) logFileName.clear();
}

bool loggingToFile() {
    std::lock_guard<std::mutex> lock(logMutex);
    return !logFileName.empty();
}

bool SetLogLevelComplex(const std::string& spec) {
    // Parse everything first so that a bad part changes nothing.
    std::vector<std::pair<int, std::vector<LyrLoggerInstance*>>> changes;
    size_t start = 0;
    while (start <= spec.size()) {
        size_t end = spec.find(';', start);
        std::string part = spec.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = (end == std::string::npos) ? spec.size() + 1 : end + 1;
        if (part.empty()) continue;
        size_t colon = part.find(':');
        int lvl = LogLevelFromString(part.substr(0, colon));
        if (lvl < 0) return false;
        std::vector<LyrLoggerInstance*> targets;
        if (colon == std::string::npos) {
            targets = LyrLogger::INSTANCE.all();
        } else {
            std::string names = part.substr(colon + 1);
            size_t s = 0;
            while (s <= names.size()) {
                size_t e = names.find(',', s);
                std::string n = names.substr(s, e == std::string::npos ? std::string::npos : e - s);
                s = (e == std::string::npos) ? names.size() + 1 : e + 1;
                if (n.empty()) continue;
                LyrLoggerInstance* l = LyrLogger::INSTANCE.find(n);
                if (!l) return false;
                targets.push_back(l);
            }
        }
        changes.emplace_back(lvl, targets);
    }
    if (changes.empty()) return false;
    for (auto& c : changes) {
        for (auto* l : c.second) l->level = c.first;
    }
    return true;
}

void SetLogTap(LogTap tap) {
    // Under the log's lock, so no call of the old tap is still running
    // when this returns.
    std::lock_guard<std::mutex> lock(logMutex);
    logTap.store(tap);
}

void SetLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(logMutex);
    logSink = std::move(sink);
}
