#include "channeloutput/Sequence.h"

Sequence* sequence = nullptr;
