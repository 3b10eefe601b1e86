// Placeholder binding while the player front is being built.
#include "SchedulePlayer.h"

#include "Player.h"

PlayerFrontSchedulePlayer& PlayerFrontSchedulePlayer::Get() {
    static PlayerFrontSchedulePlayer player;
    return player;
}

int PlayerFrontSchedulePlayer::GetStatus() { return Player::INSTANCE.GetStatus(); }
std::string PlayerFrontSchedulePlayer::GetPlaylistName() { return Player::INSTANCE.GetPlaylistName(); }
bool PlayerFrontSchedulePlayer::WasScheduled() { return Player::INSTANCE.WasScheduled(); }
int PlayerFrontSchedulePlayer::GetRepeat() { return 0; }
int PlayerFrontSchedulePlayer::GetStopMethod() { return 0; }
int PlayerFrontSchedulePlayer::GetScheduleEntry() { return Player::INSTANCE.GetScheduleEntry(); }
int PlayerFrontSchedulePlayer::GetPriority() { return 0; }
time_t PlayerFrontSchedulePlayer::GetScheduledStartTime() { return 0; }
time_t PlayerFrontSchedulePlayer::GetScheduledStopTime() { return 0; }
time_t PlayerFrontSchedulePlayer::GetActualStartTime() { return 0; }
time_t PlayerFrontSchedulePlayer::GetCurrentStopTime() { return 0; }
bool PlayerFrontSchedulePlayer::WasForceStopped() { return Player::INSTANCE.forceStopped; }
std::string PlayerFrontSchedulePlayer::GetForceStoppedPlaylist() { return ""; }
int PlayerFrontSchedulePlayer::StartScheduledPlaylist(const std::string&, int, int, int, int, long, long, int) {
    return 0;
}
void PlayerFrontSchedulePlayer::StopNow(int) {}
void PlayerFrontSchedulePlayer::StopGracefully(int, int) {}
bool PlayerFrontSchedulePlayer::AdjustPlaylistStopTime(int) { return false; }
