#include "playlist/ClipEntry.h"

#include <ctime>

int ClipEntry::m_openStartDelay = -1;

ClipEntry::ClipEntry(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent), randomSeed(time(nullptr)) {
    type = "media";
}
ClipEntry::~ClipEntry() {}
bool ClipEntry::Init(Json::Value& config) { return false; }
int ClipEntry::StartPlaying() { return 0; }
int ClipEntry::Process() { return PlaylistEntryBase::Process(); }
int ClipEntry::Stop() { return PlaylistEntryBase::Stop(); }
void ClipEntry::Pause() {}
bool ClipEntry::IsPaused() { return pausedAtMS >= 0; }
void ClipEntry::Resume() {}
bool ClipEntry::HandleSigChild(int pid) { return false; }
void ClipEntry::Dump() { PlaylistEntryBase::Dump(); }
Json::Value ClipEntry::GetConfig() { return PlaylistEntryBase::GetConfig(); }
Json::Value ClipEntry::GetMqttStatus() { return PlaylistEntryBase::GetMqttStatus(); }
uint64_t ClipEntry::GetLengthInMS() { return mediaLengthMS; }
uint64_t ClipEntry::GetElapsedMS() { return 0; }
bool ClipEntry::PreparePlay() { return false; }
