// Dynamic-entry documents (what a file, URL, plug-in page or command hands
// a "dynamic" playlist entry) through FeedEntry::ReadFromString, as the
// download callback delivers them, then the entry's own status.
//
// Neutralised: the document is handed over directly; nothing is fetched,
// and the child entries are built but never played.
#include "FuzzSupport.h"
#include "playlist/FeedEntry.h"
#include "playlist/Playlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::MediaDir(), true);
    (void)ready;
    Playlist pl(nullptr);
    FeedEntry entry(&pl);
    Json::Value config;
    config["type"] = "dynamic";
    config["subType"] = "file";
    config["dataFile"] = "none.json";
    entry.Init(config);
    // Delivered in two chunks, as a download may arrive.
    size_t half = size / 2;
    entry.ProcessData(const_cast<uint8_t*>(data), 1, half);
    entry.ProcessData(const_cast<uint8_t*>(data + half), 1, size - half);
    entry.ReadFromString(entry.m_response);
    (void)entry.GetConfig();
    entry.ClearPlaylistEntries();
    fuzz::ResetLogLevels();
    return 0;
}
