#include "ScheduleClock.h"

SystemScheduleClock& SystemScheduleClock::Get() {
    static SystemScheduleClock clock;
    return clock;
}
