// Logging: facility loggers, five levels, console or file output.
//
// Every log line goes through _LogWrite() with the source file, line, level
// and facility.  The Log* macros test WillLog() first so that building the
// arguments costs nothing when the facility would drop the line.
//
// Threading: levels are atomics and output is serialised by one mutex, so any
// thread may log.  SetLogFile/SetLogSink are meant for start-up and tests.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

enum LogLevel { LOG_ERR = 1, LOG_WARN = 2, LOG_INFO = 3, LOG_DEBUG = 4, LOG_EXCESS = 5 };

class LyrLoggerInstance {
public:
    explicit LyrLoggerInstance(const std::string& n, LogLevel l = LOG_INFO) : name(n), level(l) {}
    const std::string name;
    std::atomic<int> level;
    bool willLog(int lvl) const { return lvl <= level.load(std::memory_order_relaxed); }
};

class LyrLogger {
public:
    static LyrLogger INSTANCE;

    LyrLoggerInstance ChannelData{"ChannelData"};
    LyrLoggerInstance ChannelOut{"ChannelOut"};
    LyrLoggerInstance Command{"Command"};
    LyrLoggerInstance Control{"Control"};
    LyrLoggerInstance E131Bridge{"E131Bridge"};
    LyrLoggerInstance Effect{"Effect"};
    LyrLoggerInstance General{"General"};
    LyrLoggerInstance GPIO{"GPIO"};
    LyrLoggerInstance HTTP{"HTTP"};
    LyrLoggerInstance MediaOut{"MediaOut"};
    LyrLoggerInstance Playlist{"Playlist"};
    LyrLoggerInstance Plugin{"Plugin"};
    LyrLoggerInstance Schedule{"Schedule"};
    LyrLoggerInstance Sequence{"Sequence"};
    LyrLoggerInstance Setting{"Setting"};
    LyrLoggerInstance Sync{"Sync"};
    LyrLoggerInstance MQTT{"MQTT"};

    // Reads "LogLevel_<facility>" settings already applied; resets nothing.
    void Init();

    // All facility loggers, in the order of the usage text.
    std::vector<LyrLoggerInstance*> all();
    // Case-insensitive lookup by facility name; nullptr when unknown.
    LyrLoggerInstance* find(const std::string& name);

    // name is a facility name or "LogLevel_<facility>"; level a level text.
    bool SetLevel(const std::string& name, const std::string& level);
    void SetAllLevels(LogLevel level);

    // "info", or "debug:Schedule,Playlist;info" style when facilities differ.
    static std::string GetLogLevelString();
    // The most verbose level of any facility.
    static int MinimumLogLevel();
};

// Level text ("error", "warn", "info", "debug", "excess") to level; -1 if unknown.
int LogLevelFromString(const std::string& text);
const char* LogLevelToString(int level);

bool WillLog(int level, const LyrLoggerInstance& facility);
void _LogWrite(const char* file, int line, int level, const LyrLoggerInstance& facility, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// Empty file name: console only.  toStdOut: also (or only) write to stdout.
void SetLogFile(const char* file, bool toStdOut = true);
inline void SetLogFile(const std::string& file, bool toStdOut = true) { SetLogFile(file.c_str(), toStdOut); }
bool loggingToFile();

// "debug" sets every facility; "debug:schedule,playlist;excess:mqtt" sets some.
// Returns false (and changes nothing) when any part does not parse.
bool SetLogLevelComplex(const std::string& spec);

// Test seam: when set, every line that would be written is also passed here
// (level, facility name, formatted message).  Pass nullptr to remove.
using LogSink = std::function<void(int level, const std::string& facility, const std::string& message)>;
void SetLogSink(LogSink sink);

// The daemon's own reader of its log (the web page's log tail): called
// with every written line, prefix included, under the log's lock, so it
// must neither log nor block.  Pass nullptr to remove.
using LogTap = void (*)(const std::string& line);
void SetLogTap(LogTap tap);

#define VB_CHANNELDATA LyrLogger::INSTANCE.ChannelData
#define VB_CHANNELOUT LyrLogger::INSTANCE.ChannelOut
#define VB_COMMAND LyrLogger::INSTANCE.Command
#define VB_CONTROL LyrLogger::INSTANCE.Control
#define VB_E131BRIDGE LyrLogger::INSTANCE.E131Bridge
#define VB_EFFECT LyrLogger::INSTANCE.Effect
#define VB_GENERAL LyrLogger::INSTANCE.General
#define VB_GPIO LyrLogger::INSTANCE.GPIO
#define VB_HTTP LyrLogger::INSTANCE.HTTP
#define VB_MEDIAOUT LyrLogger::INSTANCE.MediaOut
#define VB_PLAYLIST LyrLogger::INSTANCE.Playlist
#define VB_PLUGIN LyrLogger::INSTANCE.Plugin
#define VB_SCHEDULE LyrLogger::INSTANCE.Schedule
#define VB_SEQUENCE LyrLogger::INSTANCE.Sequence
#define VB_SETTING LyrLogger::INSTANCE.Setting
#define VB_SYNC LyrLogger::INSTANCE.Sync
#define VB_MQTT LyrLogger::INSTANCE.MQTT

#define LYR_LOG_AT(lvl, facility, ...)                                 \
    do {                                                               \
        if (WillLog(lvl, facility)) {                                  \
            _LogWrite(__FILE__, __LINE__, lvl, facility, __VA_ARGS__); \
        }                                                              \
    } while (0)

#define LogErr(facility, ...) LYR_LOG_AT(LOG_ERR, facility, __VA_ARGS__)
#define LogWarn(facility, ...) LYR_LOG_AT(LOG_WARN, facility, __VA_ARGS__)
#define LogInfo(facility, ...) LYR_LOG_AT(LOG_INFO, facility, __VA_ARGS__)
#define LogDebug(facility, ...) LYR_LOG_AT(LOG_DEBUG, facility, __VA_ARGS__)
#define LogExcess(facility, ...) LYR_LOG_AT(LOG_EXCESS, facility, __VA_ARGS__)
