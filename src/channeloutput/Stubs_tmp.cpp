// Placeholder bodies until the real layer lands.
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/ChannelOutputs.h"
#include "channeloutput/LSEQFile.h"
#include "channeloutput/Sequence.h"
#include "platform/ChannelTester.h"

struct Sequence::Open {};
Sequence* sequence = nullptr;
Sequence::Sequence() {}
Sequence::~Sequence() {}
int Sequence::OpenSequenceFile(const std::string&, int, int) { return 0; }
void Sequence::StartSequence() {}
void Sequence::StartSequence(const std::string&, int) {}
int Sequence::IsSequenceRunning() { return 0; }
int Sequence::IsSequenceRunning(const std::string&) { return 0; }
void Sequence::CloseIfOpen(const std::string&) {}
void Sequence::CloseSequenceFile() {}
void Sequence::SendBlankingData() {}
bool Sequence::hasBridgeData() { return false; }
std::string Sequence::GetSequenceFilename() { return ""; }
int Sequence::GetSeqStepTime() { return LYRD_DEFAULT_FRAME_MS; }
int Sequence::GetCurrentFrame() { return -1; }
int Sequence::GetNumFrames() { return 0; }
uint64_t Sequence::GetElapsedMS() { return 0; }
uint64_t Sequence::GetRemainingMS() { return 0; }
uint64_t Sequence::GetLengthMS() { return 0; }
void Sequence::ToggleSequencePause() {}
void Sequence::SetSequencePaused(bool) {}
bool Sequence::IsSequencePaused() { return false; }
void Sequence::SingleStepSequence() {}
void Sequence::SingleStepSequenceBack() {}
void Sequence::StepSequence(int) {}
int64_t Sequence::ProduceFrame(int64_t now, uint8_t*, uint32_t) { return now; }
void Sequence::AfterFrame() {}
void Sequence::ResetMasterPosition() {}
void Sequence::UpdateMasterPosition(int, int64_t) {}
void Sequence::UpdateMediaPosition(float, int64_t) {}
void Sequence::ResetFrameClock() {}
int64_t Sequence::GetFramePeriodNS() { return 25000000; }

LSEQFile* LSEQFile::openLSEQFile(const std::string&) { return nullptr; }
LSEQFile::~LSEQFile() {}

int ChannelOutputThreadIsRunning() { return 0; }
void StartChannelOutputThread() {}
void StopChannelOutputThread() {}
void ForceChannelOutputNow() {}
void ResetChannelOutputFrameNumber() {}
void CalculateNewChannelOutputDelay(float) {}
void ResetMasterPosition() {}
void UpdateMasterPosition(int) {}
void SetChannelOutputAlwaysTransmit(bool) {}
ChannelOutputStats GetChannelOutputStats() { return {}; }
void ResetChannelOutputStats() {}
void SetChannelOutputLatenessHook(void (*)(int64_t)) {}

std::string OutputRanges::toString() const { return ""; }
int InitializeChannelOutputs() { return 0; }
void CloseChannelOutputs() {}
OutputRanges GetOutputRanges(bool) { return {}; }
void EnableChannelOutput() {}
void DisableChannelOutput() {}
bool ChannelOutputEnabled() { return true; }
uint32_t GetChannelOutputMaxChannel() { return 0; }
int SendChannelData(const uint8_t*) { return 0; }

void ChannelTester::RegisterCommands() {}
bool ChannelTester::Testing() { return false; }
std::string ChannelTester::GetConfig() { return "{}"; }
bool ChannelTester::SetupTest(const std::string&) { return false; }
bool ChannelTester::SetupTest(const Json::Value&) { return false; }
std::string ChannelTester::LastError() { return ""; }
void ChannelTester::OverlayTestData(uint8_t*, int64_t) {}
