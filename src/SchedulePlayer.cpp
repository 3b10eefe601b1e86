#include "SchedulePlayer.h"

#include "Player.h"

PlayerFrontSchedulePlayer& PlayerFrontSchedulePlayer::Get() {
    static PlayerFrontSchedulePlayer player;
    return player;
}

namespace {
Player& P() {
    return Player::INSTANCE;
}
}  // namespace

int PlayerFrontSchedulePlayer::GetStatus() {
    return P().GetStatus();
}
std::string PlayerFrontSchedulePlayer::GetPlaylistName() {
    return P().GetPlaylistName();
}
bool PlayerFrontSchedulePlayer::WasScheduled() {
    return P().WasScheduled();
}
int PlayerFrontSchedulePlayer::GetRepeat() {
    return P().GetRepeat();
}
int PlayerFrontSchedulePlayer::GetStopMethod() {
    return P().GetStopMethod();
}
int PlayerFrontSchedulePlayer::GetScheduleEntry() {
    return P().GetScheduleEntry();
}
int PlayerFrontSchedulePlayer::GetPriority() {
    return P().GetPriority();
}
time_t PlayerFrontSchedulePlayer::GetScheduledStartTime() {
    return P().GetOrigStartTime();
}
time_t PlayerFrontSchedulePlayer::GetScheduledStopTime() {
    return P().GetOrigStopTime();
}
time_t PlayerFrontSchedulePlayer::GetActualStartTime() {
    return P().GetStartTime();
}
time_t PlayerFrontSchedulePlayer::GetCurrentStopTime() {
    return P().GetStopTime();
}
bool PlayerFrontSchedulePlayer::WasForceStopped() {
    return P().forceStopped;
}
std::string PlayerFrontSchedulePlayer::GetForceStoppedPlaylist() {
    return P().GetForceStoppedPlaylist();
}

int PlayerFrontSchedulePlayer::StartScheduledPlaylist(const std::string& name, int startPosition, int repeat,
                                                      int scheduleEntry, int priority, long startTime,
                                                      long stopTime, int stopMethod) {
    return P().StartScheduledPlaylist(name, startPosition, repeat, scheduleEntry, priority, startTime,
                                      stopTime, stopMethod);
}
void PlayerFrontSchedulePlayer::StopNow(int forced) {
    P().StopNow(forced);
}
void PlayerFrontSchedulePlayer::StopGracefully(int forced, int afterCurrentLoop) {
    P().StopGracefully(forced, afterCurrentLoop);
}
bool PlayerFrontSchedulePlayer::AdjustPlaylistStopTime(int seconds) {
    return P().AdjustPlaylistStopTime(seconds);
}
