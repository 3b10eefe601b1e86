// Playlist entry "dynamic": fetches a playlist document when reached (from a
// file, a URL, or a plug-in's page on an HTTP server, local by default),
// builds child entries from it and plays them in order.  With "drainQueue"
// it fetches again whenever the children run out, until nothing playable
// comes back.  HTTP requests time out after 5 seconds.
//
// Threading: playlist thread only; the libcurl handle is used synchronously.
#pragma once

#include <curl/curl.h>

#include <string>
#include <vector>

#include "playlist/PlaylistEntryBase.h"

class FeedEntry : public PlaylistEntryBase {
public:
    FeedEntry(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~FeedEntry();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual int Prep() override;
    virtual int Process() override;
    virtual int Stop() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;

    bool ReadFromFile();
    bool ReadFromURL(std::string url);
    bool ReadFromPlugin();
    bool ReadFromCommand();
    bool ReadFromString(std::string text);
    bool PrepPlugin();
    bool StartedPlugin();
    bool Started();
    void ClearPlaylistEntries();

    static size_t write_data(void* data, size_t size, size_t count, void* self);
    size_t ProcessData(void* data, size_t size, size_t count);

    std::string m_subType;
    std::string m_data;
    std::string m_pluginHost;
    int m_drainQueue = 0;
    CURL* m_curl = nullptr;
    std::string m_response;
    std::vector<PlaylistEntryBase*> m_playlistEntries;
    int m_currentEntry = -1;

private:
    std::string PluginURL(const std::string& command) const;
    bool RequestIgnoringReply(const std::string& url, bool logURL);
};
