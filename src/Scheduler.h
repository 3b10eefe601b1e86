// Stand-in scheduler: replaced by the calendar scheduler.
#pragma once

#include <json/json.h>
#include <string>

class Scheduler {
public:
    Scheduler() {}
    ~Scheduler() {}
    void CheckIfShouldBePlayingNow(int ignoreRepeat = 0, int forceStoppedEntry = -1) {}
    void ScheduleProc() {}
    void ReloadScheduleFile() {}
};

extern Scheduler* scheduler;
