#include "playlist/FeedEntry.h"

FeedEntry::FeedEntry(Playlist* playlist, PlaylistEntryBase* parent) : PlaylistEntryBase(playlist, parent) {
    type = "dynamic";
}
FeedEntry::~FeedEntry() {}
bool FeedEntry::Init(Json::Value& config) { return false; }
int FeedEntry::StartPlaying() { return 0; }
int FeedEntry::Prep() { return 0; }
int FeedEntry::Process() { return PlaylistEntryBase::Process(); }
int FeedEntry::Stop() { return PlaylistEntryBase::Stop(); }
void FeedEntry::Dump() {}
Json::Value FeedEntry::GetConfig() { return PlaylistEntryBase::GetConfig(); }
bool FeedEntry::ReadFromFile() { return false; }
bool FeedEntry::ReadFromURL(std::string url) { return false; }
bool FeedEntry::ReadFromPlugin() { return false; }
bool FeedEntry::ReadFromCommand() { return false; }
bool FeedEntry::ReadFromString(std::string text) { return false; }
bool FeedEntry::PrepPlugin() { return false; }
bool FeedEntry::StartedPlugin() { return false; }
bool FeedEntry::Started() { return true; }
void FeedEntry::ClearPlaylistEntries() {}
size_t FeedEntry::write_data(void* data, size_t size, size_t count, void* self) { return 0; }
size_t FeedEntry::ProcessData(void* data, size_t size, size_t count) { return 0; }
std::string FeedEntry::PluginURL(const std::string& command) const { return ""; }
bool FeedEntry::RequestIgnoringReply(const std::string& url, bool logURL) { return false; }
