// Process entry: command line, settings, daemonising, service start-up in a
// fixed order, the main loop, and the orderly tear-down that ends in exit or
// in re-executing the daemon to resume a scheduled playlist.
#include <Magick++.h>
#include <curl/curl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ctime>
#include <string>
#include <vector>

#include "CrashHandler.h"
#include "Lockstep.h"
#include "MainLoop.h"
#include "Player.h"
#include "Scheduler.h"
#include "channelinput/RecorderCommands.h"
#include "channeloutput/ChannelOutputs.h"
#include "channeloutput/Sequence.h"
#include "command.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "mediaoutput/SoloMedia.h"
#include "overlays/Glaze.h"
#include "platform/ChannelTester.h"
#include "platform/CommandManager.h"
#include "platform/Effects.h"
#include "platform/GPIO.h"
#include "platform/Hardware.h"
#include "platform/HomeAssistant.h"
#include "platform/Logging.h"
#include "platform/MosquittoClient.h"
#include "platform/PluginManager.h"
#include "platform/Sensors.h"
#include "platform/ShowCommands.h"
#include "platform/Version.h"
#include "platform/Warnings.h"
#include "settings.h"

int pid = 0;
int sid = 0;

static const char* USAGE_TEXT =
    "Usage: %s [OPTION...]\n\nlyrd is the Tamrin Player daemon.\n\nOptions:\n"
    "  -f, --foreground              - Don't daemonize the application.  In the\n"
    "                                  foreground, all logging will be on the\n"
    "                                  console instead of the log file\n"
    "  -d, --daemonize               - Daemonize even if the config file says not to.\n"
    "  -v, --volume VOLUME           - Set a volume (over-written by config file)\n"
    "  -m, --mode MODE               - Set the mode: \"player\", \"bridge\",\n"
    "                                  \"master\", or \"remote\"\n"
    "  -l, --log-file FILENAME       - Set the log file\n"
    "  -H  --detect-hardware         - Detect Tamrin hardware on SPI port\n"
    "  -C  --configure-hardware      - Configured detected Tamrin hardware on SPI\n"
    "  -h, --help                    - This menu.\n"
    "      --log-level LEVEL         - Set the global log output level (all loggers):\n"
    "                                  \"info\", \"warn\", \"debug\", \"excess\")\n"
    "      --log-level LEVEL:logger  - Set the loger level for one or more loggers.\n"
    "                                  each level should be spereated by semicolon\n"
    "                                  with one or more loggers seperated by comma\n"
    "                                  example: debug:schedule,player;excess:mqtt \n"
    "                                  valid loggers are: \n"
    "                                    ChannelData - channel data itself\n"
    "                                    ChannelOut  - channel output code\n"
    "                                    Command     - command processing\n"
    "                                    Control     - Control socket debugging\n"
    "                                    E131Bridge  - E1.31 bridge\n"
    "                                    Effect      - Effects sequences\n"
    "                                    General     - general messages\n"
    "                                    GPIO        - GPIO Input handling\n"
    "                                    HTTP        - HTTP API requests\n"
    "                                    MediaOut    - Media file handling\n"
    "                                    Playlist    - Playlist handling\n"
    "                                    Plugin      - Plugin handling\n"
    "                                    Schedule    - Playlist scheduling\n"
    "                                    Sequence    - Sequence parsing\n"
    "                                    Setting     - Settings parsing\n"
    "                                    Sync        - Player/Remote Synchronization\n"
    "                                  The default logging is read from settings\n";

void usage(const char* progName) { printf(USAGE_TEXT, progName); }

static void detectHardware(bool configure) {
    PinCapabilities::InitGPIO("LYRD", new BBBPinProvider());
    SetLogFile("", true);
    VB_SETTING.level = LOG_DEBUG;
    exit(DetectTamrinHardware(configure) == 0 ? 0 : 1);
}

static void parseMode(const char* text) {
    if (strcmp(text, "player") == 0) {
        settings.lyrMode = PLAYER_MODE;
    } else if (strcmp(text, "master") == 0) {
        settings.lyrMode = PLAYER_MODE;
        SetSetting("LockstepEnabled", "1");
    } else if (strcmp(text, "remote") == 0) {
        settings.lyrMode = REMOTE_MODE;
    } else {
        fprintf(stderr, "Error parsing mode\n");
        exit(1);
    }
}

int parseArguments(int argc, char** argv) {
    static struct option longOptions[] = {
        {"displayvers", no_argument, nullptr, 'V'},     {"foreground", no_argument, nullptr, 'f'},
        {"daemonize", no_argument, nullptr, 'd'},       {"restarted", no_argument, nullptr, 'r'},
        {"volume", required_argument, nullptr, 'v'},    {"mode", required_argument, nullptr, 'm'},
        {"log-file", required_argument, nullptr, 'l'},  {"playlist", required_argument, nullptr, 'p'},
        {"position", required_argument, nullptr, 'P'},  {"detect-hardware", no_argument, nullptr, 'H'},
        {"configure-hardware", no_argument, nullptr, 'C'}, {"detect-piface", no_argument, nullptr, 4},
        {"help", no_argument, nullptr, 'h'},            {"log-level", required_argument, nullptr, 2},
        {nullptr, 0, nullptr, 0}};

    SetSetting("logFile", getLyrMediaDir("/logs/lyrd.log"));
    int c;
    while ((c = getopt_long(argc, argv, "Vfdrv:m:l:p:P:HCh", longOptions, nullptr)) != -1) {
        switch (c) {
            case 'V':
                printVersionInfo();
                exit(0);
            case 'f': SetSetting("daemonize", "0"); break;
            case 'd': SetSetting("daemonize", "1"); break;
            case 'r': SetSetting("restarted", "1"); break;
            case 'v': setVolume(static_cast<int>(strtol(optarg, nullptr, 10))); break;
            case 'm': parseMode(optarg); break;
            case 'l': SetSetting("logFile", optarg); break;
            case 'p': SetSetting("resumePlaylist", optarg); break;
            case 'P': SetSetting("resumePosition", static_cast<int>(strtol(optarg, nullptr, 10))); break;
            case 'H': detectHardware(false); break;
            case 'C': detectHardware(true); break;
            case 'h':
                usage(argv[0]);
                exit(0);
            case 2:
                if (SetLogLevelComplex(optarg)) {
                    printf("%s\n", LyrLogger::GetLogLevelString().c_str());
                    LogInfo(VB_SETTING, "Log Level set to %d (%s)\n", LyrLogger::MinimumLogLevel(), optarg);
                }
                break;
            default:
                usage(argv[0]);
                exit(1);
        }
    }
    SetLogFile(getSetting("logFile"), getSettingInt("daemonize") == 0);
    return 0;
}

void CreateDaemon() {
    if ((pid = fork()) < 0) exit(1);
    if (pid != 0) exit(0);
    umask(0);
    if ((sid = setsid()) < 0) exit(1);
    if ((pid = fork()) < 0) exit(1);
    if (pid != 0) exit(0);
    close(0);
    close(1);
    close(2);
}

bool setupExceptionHandlers() {
    static bool saved = false;
    static struct sigaction oldActions[4];
    static const int fatal[4] = {SIGFPE, SIGILL, SIGBUS, SIGSEGV};
    if (!saved) {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = handleCrash;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        bool ok = true;
        for (int i = 0; i < 4; i++) ok &= sigaction(fatal[i], &sa, &oldActions[i]) == 0;
        ok &= sigaction(SIGQUIT, &sa, nullptr) == 0;
        ok &= sigaction(SIGUSR1, &sa, nullptr) == 0;
        struct sigaction child;
        memset(&child, 0, sizeof(child));
        child.sa_handler = SIG_DFL;
        sigemptyset(&child.sa_mask);
        child.sa_flags = SA_NOCLDWAIT;
        ok &= sigaction(SIGCHLD, &child, nullptr) == 0;
        saved = true;
        if (!ok) {
            LogWarn(VB_GENERAL, "Failed to install our signal handler.\n");
            return false;
        }
        return true;
    }
    bool ok = true;
    for (int i = 0; i < 4; i++) ok &= sigaction(fatal[i], &oldActions[i], nullptr) == 0;
    saved = false;
    if (!ok) {
        LogWarn(VB_GENERAL, "Failed to install default signal handlers.\n");
        return false;
    }
    return true;
}

void WriteRuntimeInfoFile(Json::Value systems) {
    std::string path = getLyrMediaDir("/lyr-info.json");
    const Json::Value& list = systems["systems"];
    if (!list.isArray() || list.empty()) {
        if (FileExists(path) && unlink(path.c_str()) != 0) {
            LogWarn(VB_GENERAL, "Failed to remove file: %s\n", path.c_str());
        }
        LogInfo(VB_GENERAL, "Not creating %s as no IP addresses found\n", path.c_str());
        return;
    }
    Json::Value info = list[0];
    info.removeMember("address");
    std::string addresses;
    for (const auto& sys : list) {
        if (!addresses.empty()) addresses += ",";
        addresses += sys["address"].asString();
    }
    info["addresses"] = addresses;
    SaveJsonToFile(info, path, "\t");
}

// Users expect a fresh media directory to be laid out for them.
static void createMediaFolders() {
    static const char* folders[] = {"",        "/playlists", "/sequences", "/music", "/videos", "/config",
                                    "/logs",   "/tmp",       "/scripts",   "/images", "/effects"};
    for (const char* f : folders) {
        std::string dir = getLyrMediaDir(f);
        if (!DirectoryExists(dir) && mkdir(dir.c_str(), 0775) != 0) {
            fprintf(stderr, "Unable to create %s: %s\n", dir.c_str(), strerror(errno));
        }
    }
}

static void loadSensorFile(const std::string& path) {
    if (!FileExists(path)) return;
    Json::Value root;
    if (LoadJsonFromFile(path, root) && root.isObject() && root.isMember("sensors")) {
        Sensors::INSTANCE.addSensors(root["sensors"]);
    }
}

// Home Assistant discovery, while MQTT is configured.
static std::unique_ptr<HomeAssistant> homeAssistant;

static void startServices() {
    PinCapabilities::InitGPIO("LYRD", new BBBPinProvider());
    srand(static_cast<unsigned>(time(nullptr)));
    CommandManager::INSTANCE.Init();

    std::string mqttHost = getSetting("MQTTHost");
    if (!mqttHost.empty()) {
        LogInfo(VB_GENERAL, "Creating MQTT\n");
        mqtt = new MosquittoClient(mqttHost, getSettingInt("MQTTPort"), getSetting("MQTTPrefix"));
        if (!mqtt->Init(getSetting("MQTTUsername"), getSetting("MQTTPassword"), getSetting("MQTTCaFile"))) {
            LogWarn(VB_GENERAL, "MQTT Init failed. Starting without MQTT. -- Maybe MQTT host doesn't resolve\n");
        }
    }
    WarningHolder::StartNotifyThread();

    LogInfo(VB_GENERAL, "Creating Scheduler, Playlist, and Sequence\n");
    scheduler = new Scheduler();
    sequence = new Sequence();
    LogInfo(VB_GENERAL, "Creation of Scheduler, Playlist, and Sequence Complete\n");

    if (!lockstep->Init()) exit(1);

    Sensors::INSTANCE.Init();
    loadSensorFile(getLyrMediaDir("/tmp/cape-sensors.json"));
    loadSensorFile(getLyrMediaDir("/config") + "/sensors.json");

    Player::INSTANCE.Init();

    PluginManager::INSTANCE.init();
    InitMediaOutput();
    GlazeManager::INSTANCE.Initialize();
    InitializeChannelOutputs();
    PluginManager::INSTANCE.loadUserPlugins();

    if (getSettingInt("restarted") == 0) sequence->SendBlankingData();

    InitEffects();
    RegisterShowCommands();
    ChannelTester::INSTANCE.RegisterCommands();
    InitRecorder();

    WriteRuntimeInfoFile(lockstep->GetSystems(true, false));
    if (mqtt) {
        homeAssistant.reset(new HomeAssistant(*mqtt));
        homeAssistant->Start(getSettingInt("HomeAssistantDiscovery", 1) != 0, getSetting("HomeAssistantPrefix"));
    }
    CommandManager::INSTANCE.TriggerPreset("LYRD_STARTED");
}

static std::string stopServices() {
    CommandManager::INSTANCE.TriggerPreset("LYRD_STOPPED");
    homeAssistant.reset();
    if (mqtt) mqtt->PrepareForShutdown();
    StopSoloMedia();
    CleanupMediaOutput();
    CloseEffects();
    CloseChannelOutputs();
    CommandManager::INSTANCE.Cleanup();
    CloseRecorder();
    lockstep->ShutdownSync();
    PluginManager::INSTANCE.Cleanup();
    GPIOManager::INSTANCE.Cleanup();
    delete scheduler;
    scheduler = nullptr;
    delete sequence;
    sequence = nullptr;
    runMainLYRDLoop = -1;
    Sensors::INSTANCE.Close();
    WarningHolder::StopNotifyThread();
    delete mqtt;
    mqtt = nullptr;
    MagickLib::DestroyMagick();
    curl_global_cleanup();
    std::string levels = LyrLogger::GetLogLevelString();
    CloseCommand();
    CloseOpenFiles();
    return levels;
}

static void restartDaemon(const std::string& levels) {
    LogInfo(VB_GENERAL, "Performing Restart.\n");
    unlink(getLyrMediaDir("/lyr-info.json").c_str());
    std::string exe = getLyrDDir("/src/lyrd");
    std::string mode = getSettingInt("daemonize") ? "-d" : "-f";
    std::vector<std::string> args = {exe, mode, "--log-level", levels, "-r"};
    if (Player::INSTANCE.GetStatus() == 1 && Player::INSTANCE.WasScheduled()) {
        args.push_back("-p");
        args.push_back(Player::INSTANCE.GetPlaylistName());
        args.push_back("-P");
        args.push_back(std::to_string(Player::INSTANCE.GetPosition() - 1));
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
}

int main(int argc, char** argv) {
    setupExceptionHandlers();
    LyrLogger::INSTANCE.Init();
    LoadSettings(argv[0]);
    createMediaFolders();
    curl_global_init(CURL_GLOBAL_ALL);
    Magick::InitializeMagick(nullptr);
    parseArguments(argc, argv);

    std::string marker = getLyrMediaDir("/tmp/lyrd_restarted");
    if (FileExists(marker)) {
        unlink(marker.c_str());
        SetSetting("restarted", "1");
    }
    if (loggingToFile()) logVersionInfo();
    if (getSettingInt("daemonize")) CreateDaemon();

    startServices();
    MainLoop();
    std::string levels = stopServices();

    if (!restartLYRD) return 0;
    restartDaemon(levels);
    return 0;
}
