#include "playlist/FeedEntry.h"

#include "common.h"
#include "platform/Logging.h"
#include "playlist/Playlist.h"

static constexpr long HTTP_TIMEOUT_SECONDS = 5;

// Entry types a dynamic document may hold.
static const char* const DYNAMIC_TYPES[] = {"both",  "command", "effect",   "media", "pause",
                                            "remap", "script",  "sequence", "url"};

static bool IsDynamicType(const std::string& t) {
    for (const char* d : DYNAMIC_TYPES)
        if (t == d) return true;
    return false;
}

FeedEntry::FeedEntry(Playlist* playlist, PlaylistEntryBase* parent) : PlaylistEntryBase(playlist, parent) {
    LogDebug(VB_PLAYLIST, "FeedEntry::FeedEntry()\n");
    type = "dynamic";
}

FeedEntry::~FeedEntry() {
    ClearPlaylistEntries();
    if (m_curl) curl_easy_cleanup(m_curl);
}

bool FeedEntry::Init(Json::Value& config) {
    LogDebug(VB_PLAYLIST, "FeedEntry::Init()\n");
    m_subType = config.get("subType", "").asString();
    m_drainQueue = config.isMember("drainQueue") ? config["drainQueue"].asInt() : 0;
    if (config.isMember("pluginHost")) m_pluginHost = config["pluginHost"].asString();
    if (m_subType == "file") {
        m_data = config.get("dataFile", "").asString();
    } else if (m_subType == "url") {
        m_data = config.get("url", "").asString();
    } else if (m_subType == "plugin") {
        m_data = config.get("pluginName", "").asString();
    }

    if (m_subType == "plugin" || m_subType == "url") {
        m_curl = curl_easy_init();
        if (!m_curl) {
            LogErr(VB_PLAYLIST, "Unable to create curl instance\n");
            return false;
        }
        CURLcode rc = curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &FeedEntry::write_data);
        if (rc != CURLE_OK) {
            LogErr(VB_PLAYLIST, "curl_easy_setopt() Error setting write callback function: %s\n",
                   curl_easy_strerror(rc));
            return false;
        }
        rc = curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, this);
        if (rc != CURLE_OK) {
            LogErr(VB_PLAYLIST, "curl_easy_setopt() Error setting class pointer: %s\n", curl_easy_strerror(rc));
            return false;
        }
        rc = curl_easy_setopt(m_curl, CURLOPT_COOKIEFILE, "");
        if (rc != CURLE_OK) {
            LogErr(VB_PLAYLIST, "curl_easy_setopt() Error initializing cookie jar: %s\n", curl_easy_strerror(rc));
            return false;
        }
        rc = curl_easy_setopt(m_curl, CURLOPT_TIMEOUT, HTTP_TIMEOUT_SECONDS);
        if (rc != CURLE_OK) {
            LogErr(VB_PLAYLIST, "curl_easy_setopt() Error setting timeout: %s\n", curl_easy_strerror(rc));
            return false;
        }
        // Timeouts must not be delivered as signals to the daemon's threads.
        curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
    }
    return PlaylistEntryBase::Init(config);
}

int FeedEntry::Prep() {
    LogDebug(VB_PLAYLIST, "FeedEntry::Prep()\n");
    if (m_subType == "plugin" && !PrepPlugin()) return 0;
    return PlaylistEntryBase::Prep();
}

int FeedEntry::StartPlaying() {
    LogDebug(VB_PLAYLIST, "FeedEntry::StartPlaying()\n");
    bool ok = CanPlay() && (prepared || Prep());
    if (ok) {
        if (m_subType == "command") {
            ok = ReadFromCommand();
        } else if (m_subType == "file") {
            ok = ReadFromFile();
        } else if (m_subType == "plugin") {
            ok = ReadFromPlugin();
        } else if (m_subType == "url") {
            ok = ReadFromURL(m_data);
        } else {
            ok = false;
        }
    }
    if (!ok) {
        FinishPlay();
        return 0;
    }
    prepared = false;
    if (m_currentEntry >= 0) {
        m_playlistEntries[m_currentEntry]->StartPlaying();
        Started();
        return PlaylistEntryBase::StartPlaying();
    }
    FinishPlay();
    return 0;
}

bool FeedEntry::ReadFromFile() {
    LogDebug(VB_PLAYLIST, "ReadFromFile: %s\n", m_data.c_str());
    if (!FileExists(m_data)) {
        LogErr(VB_PLAYLIST, "Filename %s does not exist\n", m_data.c_str());
        return false;
    }
    return ReadFromString(GetFileContents(m_data));
}

bool FeedEntry::ReadFromURL(std::string url) {
    LogDebug(VB_PLAYLIST, "ReadFromURL: %s\n", url.c_str());
    m_response = "";
    if (!m_curl) {
        LogErr(VB_PLAYLIST, "m_curl is null\n");
        return false;
    }
    CURLcode rc = curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
    if (rc != CURLE_OK) {
        LogErr(VB_PLAYLIST, "curl_easy_setopt() Error setting URL: %s\n", curl_easy_strerror(rc));
        return false;
    }
    rc = curl_easy_perform(m_curl);
    if (rc != CURLE_OK) {
        LogErr(VB_PLAYLIST, "curl_easy_perform() failed: %s\n", curl_easy_strerror(rc));
        return false;
    }
    return ReadFromString(m_response);
}

std::string FeedEntry::PluginURL(const std::string& command) const {
    std::string name = m_data;
    if (m_curl) {
        // A name is a folder name; escaping keeps an odd one from changing the query.
        char* escaped = curl_easy_escape(m_curl, m_data.c_str(), static_cast<int>(m_data.size()));
        if (escaped) {
            name = escaped;
            curl_free(escaped);
        }
    }
    return "http://" + (m_pluginHost.empty() ? std::string("127.0.0.1") : m_pluginHost) +
           "/plugin.php?plugin=" + name + "&page=playlistCallback.php&nopage=1&command=" + command;
}

bool FeedEntry::ReadFromPlugin() {
    LogDebug(VB_PLAYLIST, "ReadFromPlugin: %s\n", m_data.c_str());
    return ReadFromURL(PluginURL("loadNextItem"));
}

bool FeedEntry::RequestIgnoringReply(const std::string& url, bool logURL) {
    if (logURL) LogDebug(VB_PLAYLIST, "URL: %s\n", url.c_str());
    if (!m_curl) {
        LogErr(VB_PLAYLIST, "m_curl is null\n");
        return false;
    }
    m_response = "";
    CURLcode rc = curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
    if (rc != CURLE_OK) {
        LogErr(VB_PLAYLIST, "curl_easy_setopt() Error setting URL: %s\n", curl_easy_strerror(rc));
        return false;
    }
    rc = curl_easy_perform(m_curl);
    if (rc != CURLE_OK) {
        LogErr(VB_PLAYLIST, "curl_easy_perform returned an error: %d\n", static_cast<int>(rc));
        return false;
    }
    return true;
}

bool FeedEntry::PrepPlugin() { return RequestIgnoringReply(PluginURL("prepNextItem"), true); }

bool FeedEntry::StartedPlugin() { return RequestIgnoringReply(PluginURL("startedNextItem"), false); }

bool FeedEntry::Started() {
    LogDebug(VB_PLAYLIST, "FeedEntry::Started()\n");
    if (m_subType == "plugin") return StartedPlugin();
    return true;
}

bool FeedEntry::ReadFromCommand() {
    LogDebug(VB_PLAYLIST, "ReadFromCommand: %s\n", m_data.c_str());
    return false;
}

bool FeedEntry::ReadFromString(std::string text) {
    LogDebug(VB_PLAYLIST, "ReadFromString(): String:\n%s\n", text.c_str());
    if (text.empty()) {
        LogWarn(VB_PLAYLIST, "Empty string in ReadFromString()\n");
        return false;
    }
    Json::Value root;
    if (!LoadJsonFromString(text, root)) {
        LogErr(VB_PLAYLIST, "Error parsing JSON: %s\n", text.c_str());
        return false;
    }
    ClearPlaylistEntries();
    if (!root.isObject()) {
        LogErr(VB_PLAYLIST, "Error parsing JSON: %s\n", text.c_str());
        return false;
    }
    const Json::Value* entries = nullptr;
    for (const char* key : {"mainPlaylist", "leadIn", "leadOut", "playlistEntries"}) {
        if (root.isMember(key)) {
            entries = &root[key];
            break;
        }
    }
    if (!entries) return false;
    if (entries->isArray()) {
        for (const Json::Value& element : *entries) {
            std::string t = element.isObject() && element["type"].isString() ? element["type"].asString() : "";
            if (!IsDynamicType(t)) {
                LogErr(VB_PLAYLIST, "Invalid Playlist Entry Type: %s\n", t.c_str());
                ClearPlaylistEntries();
                return false;
            }
            PlaylistEntryBase* child = playlist ? playlist->LoadPlaylistEntry(element) : nullptr;
            if (!child) {
                LogErr(VB_PLAYLIST, "Error initializing %s Playlist Entry\n", t.c_str());
                ClearPlaylistEntries();
                return false;
            }
            m_playlistEntries.push_back(child);
        }
    }
    if (m_playlistEntries.empty()) {
        LogErr(VB_PLAYLIST, "Error, no valid playlistEntries in dynamic data!\n");
        return false;
    }
    m_currentEntry = 0;
    return true;
}

int FeedEntry::Process() {
    if (m_currentEntry < 0 || m_currentEntry >= static_cast<int>(m_playlistEntries.size())) return 1;
    PlaylistEntryBase* child = m_playlistEntries[m_currentEntry];
    child->Process();
    if (child->IsFinished()) {
        int status = playlist ? playlist->getPlaylistStatus() : 0;
        if (status == 2 || status == 3) {
            FinishPlay();
        } else if (m_currentEntry + 1 < static_cast<int>(m_playlistEntries.size())) {
            m_currentEntry++;
            m_playlistEntries[m_currentEntry]->StartPlaying();
        } else if (m_drainQueue) {
            StartPlaying();
        } else {
            FinishPlay();
        }
    }
    return PlaylistEntryBase::Process();
}

int FeedEntry::Stop() {
    LogDebug(VB_PLAYLIST, "FeedEntry::Stop()\n");
    if (m_currentEntry >= 0 && m_currentEntry < static_cast<int>(m_playlistEntries.size())) {
        PlaylistEntryBase* child = m_playlistEntries[m_currentEntry];
        if (child->IsPlaying()) child->Stop();
    }
    // Stopped means stopped: the next Process must not start the next child.
    return PlaylistEntryBase::Stop();
}

void FeedEntry::ClearPlaylistEntries() {
    while (!m_playlistEntries.empty()) {
        delete m_playlistEntries.back();
        m_playlistEntries.pop_back();
    }
    m_currentEntry = -1;
}

size_t FeedEntry::write_data(void* data, size_t size, size_t count, void* self) {
    return static_cast<FeedEntry*>(self)->ProcessData(data, size, count);
}

size_t FeedEntry::ProcessData(void* data, size_t size, size_t count) {
    size_t bytes = size * count;
    LogExcess(VB_PLAYLIST, "ProcessData( %p, %d, %d)\n", data, static_cast<int>(size), static_cast<int>(count));
    m_response.append(static_cast<const char*>(data), bytes);
    LogExcess(VB_PLAYLIST, "m_response length: %d\n", static_cast<int>(m_response.size()));
    return bytes;
}

void FeedEntry::Dump() {
    LogDebug(VB_PLAYLIST, "SubType    : %s\n", m_subType.c_str());
    LogDebug(VB_PLAYLIST, "Data       : %s\n", m_data.c_str());
    LogDebug(VB_PLAYLIST, "Drain Queue: %d\n", m_drainQueue);
    LogDebug(VB_PLAYLIST, "Plugin Host: %s\n", m_pluginHost.c_str());
}

Json::Value FeedEntry::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["subType"] = m_subType;
    result["data"] = m_data;
    if (m_subType == "file") {
        result["dataFile"] = m_data;
    } else if (m_subType == "plugin") {
        result["pluginName"] = m_data;
        result["pluginHost"] = m_pluginHost;
    } else if (m_subType == "url") {
        result["url"] = m_data;
    }
    result["drainQueue"] = m_drainQueue;
    if (m_currentEntry >= 0 && m_currentEntry < static_cast<int>(m_playlistEntries.size())) {
        result["dynamic"] = m_playlistEntries[m_currentEntry]->GetConfig();
    }
    return result;
}
