#include "mediaoutput/CinemaOut.h"

struct CinemaPlayback {};
VLCManager vlcManager;
std::string currentMediaFilename;
RateHistory sharedRateHistory;
std::list<float>& lastRates = sharedRateHistory.lastRates;
float& rateSum = sharedRateHistory.rateSum;

VLCManager::~VLCManager() {}
libvlc_instance_t* VLCManager::Instance() { return nullptr; }
CinemaOutput::CinemaOutput(const std::string& mediaFilename, MediaOutputStatus* status, const std::string& videoOut) {
    m_mediaOutputStatus = status;
}
CinemaOutput::~CinemaOutput() {}
bool CinemaOutput::Start(int msTime) { return false; }
bool CinemaOutput::Stop() { return true; }
bool CinemaOutput::Process() { return false; }
bool CinemaOutput::AdjustSpeed(float masterMediaSeconds) { return true; }
bool CinemaOutput::Close() { return false; }
bool CinemaOutput::IsPlaying() { return false; }
bool CinemaOutput::Restart() { return false; }
void CinemaOutput::Starting() {}
void CinemaOutput::Stopped() {}
void CinemaOutput::SetVolumeAdjustment(int percent) {}
const SpeedController* CinemaOutput::GetSpeedController() const { return nullptr; }
int64_t CinemaOutput::GetPlayerTimeMS() const { return -1; }
bool CinemaOutput::ApplyVolume(int volume) { return false; }
void CinemaOutput::FillTotals(int64_t lengthMS) {}
void CinemaOutput::ReadLength() {}
