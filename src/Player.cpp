#include "Player.h"

#include "playlist/Playlist.h"

// Placeholder bodies: the engine behind them lands next.
Player Player::INSTANCE;

Player::Player() { lastProcessSecond = time(nullptr); }
Player::~Player() {}
void Player::Init() {}
int Player::Load(std::string) { return 0; }
int Player::Start() { return 0; }
void Player::RestartItem() {}
void Player::NextItem() {}
void Player::PrevItem() {}
void Player::Pause() {}
void Player::Resume() {}
void Player::Cleanup() {}
void Player::ProcessMedia() {}
bool Player::IsPlaying() { return false; }
int Player::GetStatus() { return 0; }
int Player::GetPosition() { return 0; }
Json::Value Player::GetInfo() { return Json::Value(Json::objectValue); }
Json::Value Player::GetConfig() { return Json::Value(Json::objectValue); }
Json::Value Player::GetMqttStatusJSON() { return Json::Value(Json::objectValue); }
int Player::FindPosForMS(uint64_t& ms) {
    ms = 0;
    return -1;
}
void Player::GetFilenamesForPos(int, std::string&, std::string&) {}
void Player::InsertPlaylistAsNext(const std::string&, int, int) {}
void Player::InsertPlaylistImmediate(const std::string&, int, int) {}
std::string Player::GetPlaylistName() { return ""; }
int Player::GetRepeat() { return 0; }
int Player::GetScheduleEntry() { return -1; }
bool Player::WasScheduled() { return false; }
int64_t Player::GetFileTime() { return 0; }
int Player::StartPlaylist(const std::string&, int, int, int, int) { return 0; }
int Player::StartScheduledPlaylist(const std::string&, int, int, int, int, long, long, int) { return 0; }
void Player::StopNow(int) {}
void Player::StopGracefully(int, int) {}
bool Player::AdjustPlaylistStopTime(int) { return false; }
int Player::Process() { return 0; }
Json::Value Player::GetStatusJSON() { return Json::Value(Json::objectValue); }
std::shared_ptr<httpserver::http_response> Player::render_GET(const httpserver::http_request&) {
    return std::make_shared<httpserver::string_response>("Not Found", 404, "text/plain");
}
std::shared_ptr<httpserver::http_response> Player::render_PUT(const httpserver::http_request&) {
    return std::make_shared<httpserver::string_response>("Not Found", 404, "text/plain");
}
void Player::SetClockForTesting(time_t (*c)()) { clock = c; }
time_t Player::Now() { return clock ? clock() : time(nullptr); }
void Player::CountDown(time_t) {}
void Player::ResetRecord() {}
