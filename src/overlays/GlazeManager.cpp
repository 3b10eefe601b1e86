#include "overlays/GlazeManager.h"

GlazeManager GlazeManager::INSTANCE;
