#include "MainLoop.h"

#include <SDL2/SDL.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "CrashHandler.h"
#include "Lockstep.h"
#include "LoopTiming.h"
#include "Player.h"
#include "Portal.h"
#include "Scheduler.h"
#include "channelinput/RecorderCommands.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/Sequence.h"
#include "command.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "overlays/Glaze.h"
#include "platform/Bridge.h"
#include "platform/Callbacks.h"
#include "platform/ChannelTester.h"
#include "platform/GPIO.h"
#include "platform/Logging.h"
#include "platform/MosquittoClient.h"
#include "platform/NetworkMonitor.h"
#include "platform/PluginManager.h"
#include "platform/ServiceNotify.h"
#include "platform/Version.h"
#include "platform/Warnings.h"
#include "settings.h"

volatile int runMainLYRDLoop = 1;
volatile bool restartLYRD = false;

void ShutdownLYRDCallback(bool restart) {
    LogInfo(VB_GENERAL, "Shutting down main loop.\n");
    restartLYRD = restart;
    runMainLYRDLoop = 0;
}

namespace {

const int MAX_EVENTS = 20;

bool isPlayerMode() { return (getLyrmode() & PLAYER_MODE) != 0; }

bool isPlayingStatus(int status) { return status == 1 || status == 2 || status == 3 || status == 5; }

// State carried from one iteration to the next.
struct LoopState {
    int timeout = 50;
    int lastStatus = 0;
    int idleTicks = 0;
    int statsCountdown = 200;
    std::string statsReason = "Startup";
    int alwaysTransmit = 0;
};

void addCallbacksToEpoll(int epollFd, CallbackMap& callbacks) {
    // std::map iterates in ascending descriptor order.
    for (auto& cb : callbacks) {
        struct epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN;
        ev.data.fd = cb.first;
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, cb.first, &ev) != 0) {
            LogWarn(VB_GENERAL, "epoll_ctl() failed for socket: %d  %s\n", cb.first, strerror(errno));
        }
    }
}

void maybeStartChannelOutput(const LoopState& st, bool force) {
    if (ChannelOutputThreadIsRunning()) return;
    if (GlazeManager::INSTANCE.hasActiveOverlays() || ChannelTester::INSTANCE.Testing() || st.alwaysTransmit ||
        (sequence && sequence->hasBridgeData()) || force) {
        StartChannelOutputThread();
    }
}

void processPlayerAndScheduler(LoopState& st) {
    if (isPlayerMode()) {
        if (Player::INSTANCE.IsPlaying()) {
            if (st.lastStatus == 0) st.timeout = 10;
            if (Player::INSTANCE.IsPlaying()) Player::INSTANCE.Process();
        }
        int status = Player::INSTANCE.GetStatus();
        if (status == 0 && isPlayingStatus(st.lastStatus)) {
            Player::INSTANCE.Cleanup();
            int entry = Player::INSTANCE.forceStopped ? Player::INSTANCE.GetScheduleEntry() : -1;
            if (scheduler) scheduler->CheckIfShouldBePlayingNow(0, entry);
            if (Player::INSTANCE.GetStatus() == 0) {
                st.timeout = 50;
                st.lastStatus = Player::INSTANCE.GetStatus();
            } else {
                st.lastStatus = 0;
            }
        } else {
            st.lastStatus = status;
        }
        if (scheduler) scheduler->ScheduleProc();
    } else if (getLyrmode() == REMOTE_MODE) {
        if (mediaOutputStatus && mediaOutputStatus->status == 1) Player::INSTANCE.ProcessMedia();
    }
}

void periodicTick(LoopState& st) {
    if (lockstep) lockstep->PeriodicPing();
    st.statsCountdown--;
    st.idleTicks = 0;
    if (st.statsCountdown < 0) {
        PublishStatsBackground(st.statsReason);
        st.statsReason = "normal";
        st.statsCountdown = 60480;
    }
}

void drainSDLEvents() {
    // SDL is only initialised by components that need it; with nothing
    // initialised there are no events to drain.
    if (SDL_WasInit(SDL_INIT_EVENTS) == 0) return;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
    }
}

void runIteration(int epollFd, struct epoll_event* events, CallbackMap& callbacks, LoopState& st) {
    int n = epoll_wait(epollFd, events, MAX_EVENTS, st.timeout);
    LoopTiming::INSTANCE.IterationStart(LoopTimingNow());
    if (n < 0) {
        if (errno != EINTR) {
            LogErr(VB_GENERAL, "Main epoll() failed: %s\n", strerror(errno));
            runMainLYRDLoop = 0;
        }
        return;
    }
    bool force = false;
    for (int i = 0; i < n; i++) {
        auto it = callbacks.find(events[i].data.fd);
        if (it != callbacks.end()) force |= it->second(events[i].data.fd);
    }
    maybeStartChannelOutput(st, force);
    processPlayerAndScheduler(st);
    if (force) ForceChannelOutputNow();

    bool tick = false;
    if (n == 0) {
        st.idleTicks++;
        drainSDLEvents();
        tick = st.idleTicks > 19;
    } else if (st.idleTicks > 0) {
        tick = true;
    } else {
        st.idleTicks--;
        tick = st.idleTicks < -20;
    }
    if (tick) periodicTick(st);
    GPIOManager::INSTANCE.CheckGPIOInputs();
    LoopTiming::INSTANCE.IterationEnd(LoopTimingNow());
}

}  // namespace

void MainLoop() {
    CallbackMap callbacks;
    LoopState st;

    RegisterShutdownHandler(ShutdownLYRDCallback);

    LogDebug(VB_GENERAL, "MainLoop()\n");
    int sock = Command_Initialize();
    LogDebug(VB_GENERAL, "Command socket: %d\n", sock);
    if (sock >= 0) {
        callbacks[sock] = [](int) {
            CommandProc();
            return false;
        };
    }
    int syncSock = lockstep ? lockstep->GetReceiveSocket() : -1;
    LogDebug(VB_GENERAL, "Lockstep socket: %d\n", syncSock);
    if (syncSock >= 0) {
        callbacks[syncSock] = [](int) {
            lockstep->ProcessControlPacket(false);
            return false;
        };
    }
    if (isPlayerMode()) {
        if (scheduler) scheduler->CheckIfShouldBePlayingNow(0, -1);
        if (getSettingInt("alwaysTransmit")) StartChannelOutputThread();
    }
    Bridge_Initialize(callbacks);

    std::unique_ptr<APIServer> apiServer(new APIServer());
    apiServer->Init();

    GPIOManager::INSTANCE.Initialize(callbacks);
    PluginManager::INSTANCE.addControlCallbacks(callbacks);
    NetworkMonitor::INSTANCE.Init(callbacks);

    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    addCallbacksToEpoll(epollFd, callbacks);

    if (lockstep) lockstep->Discover();

    LogInfo(VB_GENERAL, "Checking MQTT\n");
    if (mqtt) {
        mqtt->SetReady();
        mqtt->Publish("version", getLyrVersion(), true, 1);
        mqtt->Publish("branch", getLyrBranch(), true, 1);
    }

    LogInfo(VB_GENERAL, "Starting main processing loop\n");
    if (LyrLogger::MinimumLogLevel() == LOG_EXCESS) WarningHolder::AddWarning("A Log Level is set to Excessive");
    if (LyrLogger::MinimumLogLevel() == LOG_DEBUG) WarningHolder::AddWarning("A Log Level is set to Debug");

    struct epoll_event events[MAX_EVENTS];
    memset(events, 0, sizeof(events));
    st.alwaysTransmit = getSettingInt("alwaysTransmit");

    // Fed from the loop itself: a stalled loop stops feeding the watchdog.
    ServiceNotify service;
    service.Ready();
    LoopTiming::INSTANCE.Reset(LoopTimingNow());
    while (runMainLYRDLoop) {
        runIteration(epollFd, events, callbacks, st);
        service.Feed();
    }
    if (restartLYRD) {
        service.Reloading();
    } else {
        service.Stopping();
    }

    close(epollFd);
    LogInfo(VB_GENERAL, "Stopping channel output thread.\n");
    StopChannelOutputThread();
    ShutdownRecorder();  // saves a running recording while its input still exists
    Bridge_Shutdown();
    LogInfo(VB_GENERAL, "Main Loop complete, shutting down.\n");
    apiServer.reset();
    callbacks.clear();
}
