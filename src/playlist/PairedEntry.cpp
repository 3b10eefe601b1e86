#include "playlist/PairedEntry.h"

PairedEntry::PairedEntry(Playlist* playlist, PlaylistEntryBase* parent) : PlaylistEntryBase(playlist, parent) {
    type = "both";
}
PairedEntry::~PairedEntry() {}
bool PairedEntry::Init(Json::Value& config) { return false; }
int PairedEntry::StartPlaying() { return 0; }
int PairedEntry::Process() { return PlaylistEntryBase::Process(); }
int PairedEntry::Stop() { return PlaylistEntryBase::Stop(); }
void PairedEntry::Pause() {}
bool PairedEntry::IsPaused() { return false; }
void PairedEntry::Resume() {}
void PairedEntry::Dump() { PlaylistEntryBase::Dump(); }
Json::Value PairedEntry::GetConfig() { return PlaylistEntryBase::GetConfig(); }
Json::Value PairedEntry::GetMqttStatus() { return PlaylistEntryBase::GetMqttStatus(); }
uint64_t PairedEntry::GetLengthInMS() { return 0; }
uint64_t PairedEntry::GetElapsedMS() { return 0; }
