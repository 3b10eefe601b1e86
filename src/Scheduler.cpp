#include "Scheduler.h"

Scheduler* scheduler = nullptr;
