#include "mediaoutput/SpeedController.h"

void RateHistory::Append(float rate) {}
void RateHistory::DropOldest() {}
void SpeedController::Adjust(float localSeconds, float masterSeconds) {}
