#include "playlist/Playlist.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <regex>

#include "Player.h"
#include "channeloutput/LSEQFile.h"
#include "channeloutput/Sequence.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"
#include "platform/MosquittoClient.h"
#include "platform/PluginManager.h"
#include "platform/Warnings.h"
#include "playlist/PlaylistEntries.h"
#include "playlist/PlaylistEntryBase.h"
#include "playlist/PlaylistValues.h"
#include "settings.h"

Playlist* playlist = nullptr;
std::list<Playlist*> PL_CLEANUPS;

namespace {

// PL_CLEANUPS is appended to from whichever thread stops an inserted
// playlist and drained by the main loop.
std::mutex cleanupsLock;

// A Process() may hand over to an inserted playlist and call its Process()
// while still on the stack itself; finished playlists are only deleted by
// the outermost call.
int processDepth = 0;

struct ProcessDepthGuard {
    ProcessDepthGuard() { processDepth++; }
    ~ProcessDepthGuard() { processDepth--; }
    bool outermost() const { return processDepth == 1; }
};

// Playlist files are read whole; anything this large is not a playlist.
const off_t MAX_PLAYLIST_FILE_BYTES = 32 * 1024 * 1024;
// A playlist that includes itself several times grows exponentially before
// the depth cut; these bound the work of one load.
const int MAX_NESTED_LOADS = 1000;
const size_t MAX_ENTRIES = 100000;

std::string TimeText(time_t t) {
    char buf[64];
    if (!ctime_r(&t, buf)) return "";
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

bool StatFile(const std::string& path, struct stat& st) {
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

std::map<std::string, std::string> NameKeyword(const std::string& name) {
    return {{"PLAYLIST_NAME", name}};
}

}  // namespace

// ---------------------------------------------------------------- lifecycle

Playlist::Playlist(Playlist* parent) : parentPlaylist(parent) {
    SetIdle(false);
    SetRepeat(0);
    RegisterMqttCallbacks();
}

Playlist::~Playlist() {
    if (mqtt) {
        for (int id : mqttCallbackIds) mqtt->RemoveCallback(id);
    }
    mqttCallbackIds.clear();
    DeleteSections();
}

void Playlist::RegisterMqttCallbacks() {
    if (!mqtt) {
        LogDebug(VB_PLAYLIST, "Not registered MQTT Callbacks for Playlist. MQTT Not configured. \n");
        return;
    }
    auto cb = [this](const std::string& topic, const std::string& payload) {
        LogInfo(VB_PLAYLIST, "Received deprecated MQTT Topic: '%s' \n", topic.c_str());
        std::string rest = topic.size() > 10 ? topic.substr(10) : "";
        MQTTHandler(rest, payload);
    };
    for (const char* t : {"/playlist/name/set", "/playlist/repeat/set", "/playlist/sectionPosition/set"}) {
        mqttCallbackIds.push_back(mqtt->AddCallback(t, cb));
    }
}

void Playlist::MqttPublish(const std::string& topic, const std::string& value) {
    if (mqtt) mqtt->Publish(topic, value, false, 1);
}

void Playlist::MqttPublish(const std::string& topic, int value) {
    if (mqtt) mqtt->Publish(topic, value, false, 1);
}

void Playlist::PluginCallback(const char* action) {
    PluginManager::INSTANCE.playlistCallback(GetInfo(), action, currentSectionName, sectionPosition);
}

void Playlist::DeleteFinishedPlaylists() {
    std::list<Playlist*> done;
    {
        std::lock_guard<std::mutex> l(cleanupsLock);
        done.swap(PL_CLEANUPS);
    }
    for (Playlist* p : done) {
        // Wait for any other thread still inside one of its locked calls.
        p->playlistMutex.lock();
        p->playlistMutex.unlock();
        delete p;
    }
}

static void AddToCleanups(Playlist* p) {
    std::lock_guard<std::mutex> l(cleanupsLock);
    for (Playlist* q : PL_CLEANUPS)
        if (q == p) return;
    PL_CLEANUPS.push_back(p);
}

// ------------------------------------------------------------------ loading

std::string Playlist::PlaylistPathFor(const std::string& playlistName) {
    return getLyrMediaDir("/playlists") + "/" + playlistName + ".json";
}

int Playlist::Load(const char* nameIn) {
    std::string requested = nameIn ? nameIn : "";
    LogDebug(VB_PLAYLIST, "Playlist::Load(%s)\n", requested.c_str());
    MqttPublish("playlist/name/status", requested);

    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    Json::Value root;
    if (endsWith(requested, ".lseq")) {
        filename = getLyrMediaDir("/sequences") + "/" + requested;
        root = BuildOnTheFlyPlaylist(requested);
    } else {
        filename = PlaylistPathFor(requested);
        root = LoadJSON(filename.c_str());
    }
    // A hand-written file may leave out "name"; the playlist is still known
    // by the name it was started with (presets and status need one).
    if (root.isObject() && !root["name"].isString()) root["name"] = requested;
    if (root.isNull()) {
        Load(root);
        return 0;
    }
    return Load(root);
}

Json::Value Playlist::BuildOnTheFlyPlaylist(const std::string& seqName) {
    Json::Value root(Json::objectValue);
    root["name"] = seqName;
    root["repeat"] = 0;
    root["loopCount"] = 0;

    std::string mediaName;
    LSEQFile* seq = LSEQFile::openLSEQFile(filename);
    if (seq) {
        const LSEQFile::VariableHeader* mf = seq->findVariableHeader("mf");
        if (mf) {
            std::string text = mf->text();
            size_t slash = text.rfind('/');
            size_t bslash = text.rfind('\\');
            if (slash != std::string::npos) {
                mediaName = text.substr(slash + 1);
            } else if (bslash != std::string::npos) {
                mediaName = text.substr(bslash + 1);
            } else {
                mediaName = text;
            }
            if (!mediaName.empty()) {
                std::string found = sanitizeMediaName(mediaName);
                if (found.empty()) {
                    std::string warning = "lseq \"" + seqName + "\" lists a media file of \"" + mediaName +
                                          "\" but it can not be found";
                    WarningHolder::AddWarningTimeout(warning, 60);
                    LogWarn(VB_PLAYLIST, "%s\n", warning.c_str());
                }
                mediaName = found;
            }
        }
        delete seq;
    }

    Json::Value entry(Json::objectValue);
    if (!mediaName.empty()) {
        entry["type"] = "both";
        entry["mediaName"] = mediaName;
        LogInfo(VB_PLAYLIST, "Generated an on-the-fly playlist for %s/%s\n", seqName.c_str(), mediaName.c_str());
    } else {
        entry["type"] = "sequence";
        LogInfo(VB_PLAYLIST, "Generated an on-the-fly playlist for %s\n", seqName.c_str());
    }
    entry["enabled"] = 1;
    entry["playOnce"] = 0;
    entry["sequenceName"] = seqName;
    entry["videoOut"] = "--Default--";
    root["mainPlaylist"].append(entry);
    return root;
}

Json::Value Playlist::LoadJSON(const char* path) {
    LogDebug(VB_PLAYLIST, "Playlist::LoadJSON(%s)\n", path);
    std::string p = path ? path : "";
    struct stat st;
    bool exists = StatFile(p, st);
    if (exists && st.st_size > MAX_PLAYLIST_FILE_BYTES) {
        LogErr(VB_PLAYLIST, "Playlist file %s is too large (%lld bytes)\n", p.c_str(), (long long)st.st_size);
        LogErr(VB_PLAYLIST, "Error loading %s\n", p.c_str());
        return Json::Value();
    }
    Json::Value root;
    if (!exists || !LoadJsonFromFile(p, root)) {
        LogErr(VB_PLAYLIST, "Error loading %s\n", p.c_str());
        return Json::Value();
    }
    if (p == filename) {
        LogDebug(VB_PLAYLIST, "Playlist Last Modified: %s\n", TimeText(st.st_mtime).c_str());
        fileTime = st.st_mtime;
        fileTimeNs = st.st_mtim.tv_nsec;
    }
    return root;
}

int Playlist::Load(Json::Value& root) {
    LogDebug(VB_PLAYLIST, "Playlist::Load(JSON)\n");
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    Cleanup();

    static const Json::Value emptyDoc(Json::objectValue);
    if (!root.isNull() && !root.isObject()) {
        LogErr(VB_PLAYLIST, "Playlist %s is not a JSON object; it has no entries\n", filename.c_str());
    }
    const Json::Value& doc = root.isObject() ? root : emptyDoc;
    const std::string where = filename.empty() ? std::string("(JSON)") : filename;

    name = PlaylistValues::Text(doc, "name", "", where);
    desc = PlaylistValues::Text(doc, "desc", "", where);
    repeat = PlaylistValues::Int(doc, "repeat", 0, where);
    loopCount = PlaylistValues::Int(doc, "loopCount", 0, where);
    subPlaylistDepth = 0;
    nestedLoads = 0;
    playlistInfo = doc.isMember("playlistInfo") ? doc["playlistInfo"] : Json::Value();

    if (doc.isMember("leadIn")) {
        LogDebug(VB_PLAYLIST, "Loading LeadIn:\n");
        LoadJSONIntoPlaylist(leadIn, doc["leadIn"]);
    }
    if (doc.isMember("mainPlaylist")) {
        LogDebug(VB_PLAYLIST, "Loading MainPlaylist:\n");
        LoadJSONIntoPlaylist(mainPlaylist, doc["mainPlaylist"]);
    }
    if (doc.isMember("leadOut")) {
        LogDebug(VB_PLAYLIST, "Loading LeadOut:\n");
        LoadJSONIntoPlaylist(leadOut, doc["leadOut"]);
    }
    NumberEntries();

    random = PlaylistValues::Int(doc, "random", 0, where);
    sectionPosition = 0;
    currentSection = nullptr;
    if (WillLog(LOG_DEBUG, VB_PLAYLIST)) Dump();
    return 1;
}

void Playlist::NumberEntries() {
    int pos = 0;
    for (auto* section : {&leadIn, &mainPlaylist, &leadOut})
        for (PlaylistEntryBase* e : *section) e->playlistPosition = pos++;
}

size_t Playlist::EntryCount() const { return leadIn.size() + mainPlaylist.size() + leadOut.size(); }

bool Playlist::LoadJSONIntoPlaylist(std::vector<PlaylistEntryBase*>& section, const Json::Value& entries) {
    if (!entries.isArray()) {
        LogErr(VB_PLAYLIST, "Playlist %s: a section is not a list of entries; it is ignored\n", filename.c_str());
        return true;
    }
    for (Json::ArrayIndex i = 0; i < entries.size(); i++) {
        const Json::Value& element = entries[i];
        if (EntryCount() + section.size() >= MAX_ENTRIES) {
            LogErr(VB_PLAYLIST, "Playlist %s has more than %zu entries; the rest is ignored\n", filename.c_str(),
                   MAX_ENTRIES);
            return true;
        }
        if (element.isObject() && element["type"].isString() && element["type"].asString() == "playlist") {
            LoadSubPlaylist(section, element);
            continue;
        }
        PlaylistEntryBase* e = LoadPlaylistEntry(element);
        if (e) section.push_back(e);
    }
    return true;
}

void Playlist::LoadSubPlaylist(std::vector<PlaylistEntryBase*>& section, const Json::Value& element) {
    std::string subName = element["name"].isString() ? element["name"].asString() : "";
    subPlaylistDepth++;
    if (subPlaylistDepth >= PLAYLIST_MAX_SUB_DEPTH) {
        LogErr(VB_PLAYLIST, "Error, recursive playlist.  Sub-playlist depth exceeded 5 trying to include '%s'\n",
               subName.c_str());
    } else if (subName.empty()) {
        LogErr(VB_PLAYLIST, "Playlist %s: a \"playlist\" entry has no \"name\"; skipped\n", filename.c_str());
    } else if (++nestedLoads > MAX_NESTED_LOADS) {
        if (nestedLoads == MAX_NESTED_LOADS + 1)
            LogErr(VB_PLAYLIST, "Playlist %s includes more than %d playlists; the rest are skipped\n",
                   filename.c_str(), MAX_NESTED_LOADS);
    } else {
        Json::Value sub = LoadJSON(PlaylistPathFor(subName).c_str());
        if (sub.isObject()) {
            for (const char* key : {"leadIn", "mainPlaylist", "leadOut"})
                if (sub.isMember(key)) LoadJSONIntoPlaylist(section, sub[key]);
        } else if (!sub.isNull()) {
            LogErr(VB_PLAYLIST, "Playlist %s is not a JSON object; it adds no entries\n", subName.c_str());
        }
    }
    subPlaylistDepth--;
}

PlaylistEntryBase* Playlist::LoadPlaylistEntry(Json::Value entry) {
    if (!entry.isObject()) {
        LogErr(VB_PLAYLIST, "Playlist %s: an entry is not a JSON object; skipped\n", filename.c_str());
        return nullptr;
    }
    if (!entry["type"].isString()) {
        LogErr(VB_PLAYLIST, "Playlist %s: an entry has no \"type\"; skipped\n", filename.c_str());
        return nullptr;
    }
    std::string type = entry["type"].asString();
    PlaylistEntryBase* e = CreatePlaylistEntry(type, this, nullptr);
    if (!e) {
        LogErr(VB_PLAYLIST, "Unknown Playlist Entry Type: %s\n", type.c_str());
        return nullptr;
    }
    bool ok = false;
    try {
        ok = e->Init(entry);
    } catch (const std::exception& ex) {
        // A value of the wrong type in one entry must not take the rest down.
        LogErr(VB_PLAYLIST, "Playlist %s: bad value in a \"%s\" entry (%s); skipped\n", filename.c_str(),
               type.c_str(), ex.what());
        ok = false;
    }
    if (!ok) {
        delete e;
        return nullptr;
    }
    return e;
}

bool Playlist::FileHasBeenModified() {
    if (endsWith(filename, ".lseq")) return false;
    struct stat st;
    if (!StatFile(filename, st)) return false;
    LogDebug(VB_PLAYLIST, "Playlist Last Modified: %s\n", TimeText(st.st_mtime).c_str());
    // Nanoseconds too: an edit within the second of the last load counts.
    if (st.st_mtime != fileTime) return st.st_mtime > fileTime;
    return st.st_mtim.tv_nsec > fileTimeNs;
}

void Playlist::ReloadIfNeeded() {
    if (!FileHasBeenModified()) return;
    LogInfo(VB_PLAYLIST, "Playlist .json file has been modified, reloading playlist\n");
    if (!ReloadPlaylist()) LogErr(VB_PLAYLIST, "Error reloading playlist, continuing with existing copy.");
}

int Playlist::ReloadPlaylist() {
    LogDebug(VB_PLAYLIST, "Playlist::ReloadPlaylist()\n");
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    int savedRepeat = repeat;
    int savedLoopCount = loopCount;
    uint64_t savedStartTime = startTime;
    std::string savedName = name;
    std::string savedFilename = filename;

    Json::Value root = LoadJSON(filename.c_str());
    if (!root.isObject()) {
        // Either unreadable or not a playlist: keep playing what we have.
        return 0;
    }
    if (!root["name"].isString()) root["name"] = savedName;
    Load(root);
    filename = savedFilename;
    if (random > 0) RandomizeMainPlaylist();
    repeat = savedRepeat;
    loopCount = savedLoopCount;
    startTime = savedStartTime;
    currentSectionName = "MainPlaylist";
    currentSection = &mainPlaylist;
    sectionPosition = 0;
    return 1;
}

void Playlist::RandomizeMainPlaylist() {
    if (!random || mainPlaylist.empty()) return;
    std::vector<PlaylistEntryBase*> scratch;
    scratch.swap(mainPlaylist);
    PlaylistEntryBase* lastBefore = scratch.back();
    bool first = true;
    while (scratch.size() > 1) {
        size_t i = (size_t)rand() % scratch.size();
        while (first && scratch[i] == lastBefore) i = (size_t)rand() % scratch.size();
        first = false;
        mainPlaylist.push_back(scratch[i]);
        scratch.erase(scratch.begin() + (long)i);
    }
    mainPlaylist.push_back(scratch.front());
    NumberEntries();
}

void Playlist::DeleteSections() {
    for (auto* section : {&leadOut, &mainPlaylist, &leadIn}) {
        for (auto it = section->rbegin(); it != section->rend(); ++it) delete *it;
        section->clear();
    }
}

int Playlist::Cleanup() {
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    DeleteSections();
    name = "";
    desc = "";
    repeat = 0;
    loopCount = 0;
    startTime = 0;
    sectionPosition = 0;
    startPosition = 0;
    currentSectionName = "New";
    currentSection = nullptr;
    return 1;
}

std::string sanitizeMediaName(std::string mediaName) {
    LogDebug(VB_PLAYLIST, "Searching for Media File (%s)\n", mediaName.c_str());
    static const std::regex unusual("([^\\w\\s\\d\\-_~,;\\[\\]\\(\\).])");
    std::string cleaned = std::regex_replace(mediaName, unusual, "");

    struct Attempt {
        const char* folder;
        const std::string* candidate;
        const char* message;
    };
    const Attempt attempts[] = {
        {"/music/", &mediaName, "SanitizeMedia: Checking Raw Music (%s)\n"},
        {"/music/", &cleaned, "SanitizeMedia: Checking Cleaned Music (%s)\n"},
        {"/videos/", &mediaName, "SanitizeMedia: Checking Raw Video (%s)\n"},
        {"/videos/", &cleaned, "SanitizeMedia: Checking Clean Video (%s)\n"},
    };
    for (const Attempt& a : attempts) {
        std::string path = getLyrMediaDir(std::string(a.folder) + *a.candidate);
        LogDebug(VB_PLAYLIST, a.message, path.c_str());
        if (!a.candidate->empty() && FileExists(path)) return *a.candidate;
    }
    LogWarn(VB_PLAYLIST, "SanitizeMedia: Unable to find Media: (%s)\n", mediaName.c_str());
    return "";
}

// ------------------------------------------------------------------ running

int Playlist::IsPlaying() {
    return status == PLAYLIST_STATUS_PLAYING || status == PLAYLIST_STATUS_STOPPING_GRACEFULLY ||
           status == PLAYLIST_STATUS_STOPPING_AFTER_LOOP || status == PLAYLIST_STATUS_PAUSED;
}

PlaylistEntryBase* Playlist::CurrentEntry() {
    if (!currentSection || sectionPosition < 0 || sectionPosition >= (int)currentSection->size()) return nullptr;
    return (*currentSection)[sectionPosition];
}

int Playlist::Play(const char* nameIn, int position, int repeatIn, int scheduleEntryIn, int endPositionIn) {
    if (!nameIn || !*nameIn) return 0;
    std::string requested = nameIn;
    LogDebug(VB_PLAYLIST, "Playlist::Play('%s', %d, %d, %d)\n", requested.c_str(), position, repeatIn,
             scheduleEntryIn);
    std::lock_guard<std::recursive_mutex> l(playlistMutex);

    if (status == PLAYLIST_STATUS_PLAYING || status == PLAYLIST_STATUS_STOPPING_GRACEFULLY ||
        status == PLAYLIST_STATUS_STOPPING_AFTER_LOOP) {
        if (PlaylistPathFor(requested) == filename && repeatIn == repeat && currentSection && position >= 0) {
            PlaylistEntryBase* e = CurrentEntry();
            if (e && e->IsPlaying()) e->Stop();
            sectionPosition = 0;
            SetPosition(position);
            status = PLAYLIST_STATUS_PLAYING;
            Start();
            return 1;
        }
        if (currentSection) {
            StopNow(1);
            if (playlist != this && IsPendingCleanup(this)) {
                // This was an inserted playlist and control went back to its
                // parent: the new playlist replaces the whole chain.
                return playlist ? playlist->Play(nameIn, position, repeatIn, scheduleEntryIn, endPositionIn) : 0;
            }
            sleep(1);
        }
    }

    scheduleEntry = scheduleEntryIn;
    Load(requested.c_str());

    if (position == -2) {
        if (mainPlaylist.size() >= 3) {
            position = (int)leadIn.size() + rand() % (int)mainPlaylist.size();
        } else {
            position = -1;
        }
    }
    if (position == 0 && random > 0) RandomizeMainPlaylist();
    if (position >= 0) SetPosition(position);
    if (repeatIn >= 0) SetRepeat(repeatIn);
    endPosition = endPositionIn;
    status = PLAYLIST_STATUS_PLAYING;

    int started = Start();
    if (started == 1) CommandManager::INSTANCE.TriggerPreset("PLAYLIST_STARTED", NameKeyword(name));
    return started;
}

void Playlist::PlaceAtStartPosition() {
    int li = (int)leadIn.size(), mi = (int)mainPlaylist.size(), lo = (int)leadOut.size();
    if (startPosition >= 1 && startPosition >= li + mi + lo) startPosition = 0;
    if (startPosition < 1) {
        sectionPosition = 0;
        if (li) {
            currentSection = &leadIn;
            currentSectionName = "LeadIn";
        } else if (mi) {
            currentSection = &mainPlaylist;
            currentSectionName = "MainPlaylist";
        } else {
            currentSection = &leadOut;
            currentSectionName = "LeadOut";
        }
        return;
    }
    if (startPosition < li) {
        currentSection = &leadIn;
        currentSectionName = "LeadIn";
        sectionPosition = startPosition;
    } else if (startPosition < li + mi) {
        currentSection = &mainPlaylist;
        currentSectionName = "MainPlaylist";
        sectionPosition = startPosition - li;
    } else {
        currentSection = &leadOut;
        currentSectionName = "LeadOut";
        sectionPosition = startPosition - li - mi;
    }
}

int Playlist::Start() {
    LogDebug(VB_PLAYLIST, "Playlist::Start()\n");
    if (EntryCount() == 0) {
        SetIdle(true);
        return 0;
    }
    std::string previousState = currentState;
    status = PLAYLIST_STATUS_PLAYING;
    currentState = "playing";
    startTime = (uint64_t)GetTime();
    loop = 0;
    PlaceAtStartPosition();
    PluginCallback(previousState != "playing" ? "start" : "playing");
    MqttPublish("status", currentState);
    PublishSection();
    CurrentEntry()->StartPlaying();
    LogDebug(VB_PLAYLIST, "Exiting Playlist::Start()\n");
    return 1;
}

void Playlist::PublishSection() {
    MqttPublish("playlist/section/status", currentSectionName);
    MqttPublish("playlist/sectionPosition/status", sectionPosition);
}

int Playlist::Process() {
    ProcessDepthGuard depth;
    if (depth.outermost()) DeleteFinishedPlaylists();

    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    PlaylistEntryBase* e = CurrentEntry();
    if (!e) {
        LogErr(VB_PLAYLIST, "Section position %d is outside of section %s\n", sectionPosition.load(),
               currentSectionName.c_str());
        StopNow(0);
        return 0;
    }

    if (!e->IsPaused()) {
        if (e->IsPlaying()) e->Process();
    } else if (!insertedPlaylist.empty()) {
        Playlist* next = SwitchToInsertedPlaylist(false);
        if (next) return next->Process();
    }

    // Entries that finish as soon as they start (commands, non-blocking
    // scripts, disabled entries) are passed in the same tick, but never more
    // than once round the whole playlist, so a playlist of nothing but such
    // entries cannot spin here.
    size_t budget = EntryCount() + 1;
    while (budget-- > 0) {
        e = CurrentEntry();
        if (!e || !e->IsFinished()) break;
        Playlist* next = nullptr;
        bool more = HandleFinishedEntry(e, next);
        if (next) return next->Process();
        if (!more) break;
        if (status == PLAYLIST_STATUS_IDLE || playlist != this) break;
    }
    return 1;
}

// Returns false when nothing more should happen in this tick.  `next` is set
// when an inserted playlist took over.
bool Playlist::HandleFinishedEntry(PlaylistEntryBase* e, Playlist*& next) {
    LogDebug(VB_PLAYLIST, "Playlist entry finished\n");
    if (WillLog(LOG_DEBUG, VB_PLAYLIST)) e->Dump();

    if (status == PLAYLIST_STATUS_STOPPING_GRACEFULLY &&
        (currentSection == &leadIn || currentSection == &mainPlaylist)) {
        ReloadIfNeeded();
        if (leadOut.empty()) {
            SetIdle(true);
        } else {
            LogInfo(VB_PLAYLIST, "Stopping Gracefully\n");
            SwitchToLeadOut();
        }
        return false;
    }

    if (endPosition != -1 && endPosition < GetPosition()) {
        next = SwitchToInsertedPlaylist(true);
        if (next) return false;
        LogInfo(VB_PLAYLIST, "Stopping after end position\n");
        SetIdle(true);
        return false;
    }

    next = SwitchToInsertedPlaylist(WillStopAfterCurrent());
    if (next) return false;

    // The finished entry may be deleted by a reload below: read it first.
    Branch branch{e->GetNextBranchType(), e->GetNextSection(), e->GetNextItem(), e->GetNextData()};
    if (!Advance(branch)) return false;
    if (status == PLAYLIST_STATUS_IDLE) return false;
    PluginCallback("playing");
    PublishSection();
    return true;
}

// Moves to the entry after a finished one.  False when the playlist stopped
// or handed over and this tick is done.
bool Playlist::Advance(const Branch& branch) {
    int size = (int)currentSection->size();
    int index = sectionPosition + 1;
    switch (branch.type) {
        case 1:
            if (!branch.section.empty()) {
                LogInfo(VB_PLAYLIST, "Attempting Switch to %s section.\n", branch.section.c_str());
                if (branch.section == "leadIn") {
                    currentSection = &leadIn;
                    currentSectionName = "LeadIn";
                } else if (branch.section == "leadOut") {
                    currentSection = &leadOut;
                    currentSectionName = "LeadOut";
                } else {
                    currentSection = &mainPlaylist;
                    currentSectionName = "MainPlaylist";
                }
                size = (int)currentSection->size();
                index = branch.item;
                if (index < 0 || index >= size) index = 0;
            } else if (branch.item == -1) {
                index = sectionPosition + 1;
            } else if (branch.item >= size) {
                index = size;
            } else {
                index = branch.item < 0 ? 0 : branch.item;
            }
            break;
        case 2:
            index = sectionPosition + branch.item;
            LogInfo(VB_PLAYLIST, "Attempting Offset Branch to section position %d\n", index);
            if (index < 0) {
                LogInfo(VB_PLAYLIST, "New position negative, branching to first position in section\n");
                index = 0;
            } else if (index > size) {
                LogInfo(VB_PLAYLIST, "Offset outside current section, ending section\n");
                index = size;
            }
            break;
        case 3:
            if (!branch.data.empty()) InsertPlaylistImmediate(branch.data, 0, -1);
            break;
        default:
            break;
    }

    if (index >= 0 && index < size) {
        sectionPosition = index;
        (*currentSection)[index]->StartPlaying();
        return true;
    }
    sectionPosition = size;
    return EndOfSection();
}

bool Playlist::EndOfSection() {
    if (currentSection == &leadIn) {
        LogInfo(VB_PLAYLIST, "At end of leadIn.\n");
        ReloadIfNeeded();
        if (!mainPlaylist.empty()) {
            SwitchToMainPlaylist();
        } else if (!leadOut.empty()) {
            SwitchToLeadOut();
        } else {
            LogInfo(VB_PLAYLIST, "No more playlist entries, switching to idle.\n");
            SetIdle(true);
        }
        return true;
    }
    if (currentSection != &mainPlaylist) {
        LogInfo(VB_PLAYLIST, "No more playlist entries, switching to idle.\n");
        SetIdle(true);
        return true;
    }

    loop++;
    LogInfo(VB_PLAYLIST, "mainPlaylist loop now: %d\n", loop);
    if (repeat == 0 || (loopCount != 0 && loop >= loopCount)) {
        if (leadOut.empty()) {
            LogInfo(VB_PLAYLIST, "No more playlist entries, switching to idle.\n");
            SetIdle(true);
        } else {
            ReloadIfNeeded();
            SwitchToLeadOut();
        }
        return true;
    }
    ReloadIfNeeded();
    if (status == PLAYLIST_STATUS_STOPPING_AFTER_LOOP) {
        if (leadOut.empty()) {
            LogInfo(VB_PLAYLIST, "Stopping Gracefully after loop. Empty leadOut, setting to Idle state\n");
            SetIdle(true);
        } else {
            LogInfo(VB_PLAYLIST, "Stopping Gracefully after loop\n");
            SwitchToLeadOut();
        }
        return false;
    }
    if (loopCount != 0) {
        LogInfo(VB_PLAYLIST, "mainPlaylist repeating for another loop, %d <= %d\n", loop, loopCount);
    } else {
        LogInfo(VB_PLAYLIST, "mainPlaylist repeating for another loop, loopCount == 0\n");
    }
    if (random == 2) RandomizeMainPlaylist();
    if (mainPlaylist.empty()) {
        // A reload emptied the main section.
        if (leadOut.empty()) {
            SetIdle(true);
        } else {
            SwitchToLeadOut();
        }
        return true;
    }
    currentSection = &mainPlaylist;
    currentSectionName = "MainPlaylist";
    sectionPosition = 0;
    mainPlaylist[0]->StartPlaying();
    return true;
}

void Playlist::SwitchToMainPlaylist() {
    LogInfo(VB_PLAYLIST, "Switching to MainPlaylist\n");
    currentSectionName = "MainPlaylist";
    currentSection = &mainPlaylist;
    sectionPosition = 0;
    if (mainPlaylist.empty()) {
        SetIdle(true);
        return;
    }
    mainPlaylist[0]->StartPlaying();
}

void Playlist::SwitchToLeadOut() {
    LogInfo(VB_PLAYLIST, "Switching to LeadOut\n");
    currentSectionName = "LeadOut";
    currentSection = &leadOut;
    sectionPosition = 0;
    if (leadOut.empty()) {
        SetIdle(true);
        return;
    }
    leadOut[0]->StartPlaying();
}

bool Playlist::WillStopAfterCurrent() {
    int size = currentSection ? (int)currentSection->size() : 0;
    if (sectionPosition + 1 < size) return false;
    if (currentSection == &leadIn) return !mainPlaylist.empty() || !leadOut.empty();
    if (currentSection == &mainPlaylist) return repeat ? false : !leadOut.empty();
    return true;
}

int Playlist::StartAt(int target) {
    sectionPosition = 0;
    startPosition = target - 1;
    return Start();
}

void Playlist::StopCurrentEntry() {
    PlaylistEntryBase* e = CurrentEntry();
    if (e && e->IsPlaying()) e->Stop();
}

void Playlist::NextItem() {
    LogDebug(VB_PLAYLIST, "NextItem called for '%s'\n", name.c_str());
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    if (currentState == "idle" || status != PLAYLIST_STATUS_PLAYING) return;
    int p = GetPosition();
    int li = (int)leadIn.size(), mi = (int)mainPlaylist.size(), lo = (int)leadOut.size();
    int target = p + 1;
    bool haveTarget = true;
    if (currentSection == &leadIn) {
        if (p >= li && mi == 0 && lo == 0) haveTarget = false;
    } else if (currentSection == &mainPlaylist) {
        if (p >= li + mi) {
            if (repeat) {
                target = li + 1;
            } else if (lo == 0) {
                haveTarget = false;
            }
        }
    } else if (currentSection == &leadOut) {
        if (p >= li + mi + lo) haveTarget = false;
    } else {
        target = p;
    }
    StopCurrentEntry();
    if (haveTarget) StartAt(target);
}

void Playlist::PrevItem() {
    LogDebug(VB_PLAYLIST, "PrevItem called for '%s'\n", name.c_str());
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    if (currentState == "idle" || status != PLAYLIST_STATUS_PLAYING) return;
    int p = GetPosition();
    int li = (int)leadIn.size(), mi = (int)mainPlaylist.size();
    int target = p;
    if (currentSection == &leadIn || currentSection == &leadOut) {
        if (p >= 2) target = p - 1;
    } else if (currentSection == &mainPlaylist) {
        if (p > li + 1) {
            target = p - 1;
        } else if (repeat) {
            target = li + mi;
        } else if (li > 0) {
            target = li;
        }
    }
    StopCurrentEntry();
    StartAt(target);
}

void Playlist::RestartItem() {
    LogDebug(VB_PLAYLIST, "RestartItem called for '%s'\n", name.c_str());
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    if (currentState == "idle" || status != PLAYLIST_STATUS_PLAYING) return;
    StopCurrentEntry();
    StartAt(GetPosition());
}

int Playlist::GetPosition() {
    // HTTP status threads ask while the main loop moves through the sections.
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    if (currentState == "idle") return 0;
    int li = (int)leadIn.size(), mi = (int)mainPlaylist.size();
    if (currentSection == &leadIn) return sectionPosition + 1;
    if (currentSection == &mainPlaylist) return li + sectionPosition + 1;
    if (currentSection == &leadOut) return li + mi + sectionPosition + 1;
    return 0;
}

int Playlist::StopNow(int forced) {
    LogDebug(VB_PLAYLIST, "Playlist::StopNow(%d)\n", forced);
    if (status == PLAYLIST_STATUS_IDLE) return 1;
    CommandManager::INSTANCE.TriggerPreset("PLAYLIST_STOPPING_NOW", NameKeyword(name));
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    if (status == PLAYLIST_STATUS_IDLE) return 1;
    status = PLAYLIST_STATUS_STOPPING_NOW;
    StopCurrentEntry();
    SetIdle(true);
    return 1;
}

int Playlist::StopGracefully(int forced, int afterCurrentLoop) {
    LogDebug(VB_PLAYLIST, "Playlist::StopGracefully(%d, %d)\n", forced, afterCurrentLoop);
    // An idle playlist has nothing to finish; marking it stopping would make
    // it look busy until the next tick tripped over the missing section.
    if (status == PLAYLIST_STATUS_IDLE || status == PLAYLIST_STATUS_STOPPING_NOW) return 1;
    if (status == PLAYLIST_STATUS_PAUSED && playlist == this) Resume();
    if (afterCurrentLoop) {
        CommandManager::INSTANCE.TriggerPreset("PLAYLIST_STOPPING_AFTER_LOOP", NameKeyword(name));
        status = PLAYLIST_STATUS_STOPPING_AFTER_LOOP;
        currentState = "stoppingAfterLoop";
    } else {
        CommandManager::INSTANCE.TriggerPreset("PLAYLIST_STOPPING_GRACEFULLY", NameKeyword(name));
        status = PLAYLIST_STATUS_STOPPING_GRACEFULLY;
        currentState = "stoppingGracefully";
    }
    if (parentPlaylist) parentPlaylist->StopGracefully(forced, afterCurrentLoop);
    return 1;
}

void Playlist::SetIdle(bool returnToParent) {
    if (!name.empty()) CommandManager::INSTANCE.TriggerPreset("PLAYLIST_STOPPED", NameKeyword(name));
    status = PLAYLIST_STATUS_IDLE;
    currentState = "idle";
    Cleanup();
    PluginCallback("stop");

    if (parentPlaylist && returnToParent) {
        Playlist* parent = parentPlaylist;
        playlist = parent;
        parent->ResumeAfterChild();
        AddToCleanups(this);
        if (parent->status != PLAYLIST_STATUS_IDLE) return;
    } else if (!parentPlaylist && returnToParent) {
        if (sequence) sequence->SendBlankingData();
    }
    if (parentPlaylist && parentPlaylist->status != PLAYLIST_STATUS_IDLE) return;

    MqttPublish("status", "idle");
    MqttPublish("playlist/name/status", "");
    MqttPublish("playlist/section/status", "");
    MqttPublish("playlist/sectionPosition/status", 0);
    MqttPublish("playlist/repeat/status", 0);
}

// A child playlist ended.  The parent may have been asked to stop gracefully
// while it waited paused; its paused entry must still go on, or it would
// wait forever.
void Playlist::ResumeAfterChild() {
    if (status == PLAYLIST_STATUS_PAUSED) {
        Resume();
        return;
    }
    PlaylistEntryBase* e = CurrentEntry();
    if (IsPlaying() && e && e->IsPaused()) e->Resume();
}

void Playlist::Pause() {
    LogDebug(VB_PLAYLIST, "Playlist::Pause called on %s\n", name.c_str());
    if (!IsPlaying() || status == PLAYLIST_STATUS_PAUSED) return;
    PlaylistEntryBase* e = CurrentEntry();
    if (!e || !e->IsPlaying()) return;
    e->Pause();
    if (e->IsPaused()) {
        // A stop asked for before the pause still applies after it.
        statusBeforePause = status;
        status = PLAYLIST_STATUS_PAUSED;
    }
}

void Playlist::Resume() {
    LogDebug(VB_PLAYLIST, "Playlist::Resume called on %s\n", name.c_str());
    if (status != PLAYLIST_STATUS_PAUSED) return;
    PlaylistEntryBase* e = CurrentEntry();
    if (e) e->Resume();
    status = statusBeforePause;
    statusBeforePause = PLAYLIST_STATUS_PLAYING;
    MqttPublish("playlist/name/status", name);
}

void Playlist::InsertPlaylistAsNext(const std::string& insertName, int position, int endPos) {
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    if (status == PLAYLIST_STATUS_IDLE) {
        Play(insertName.c_str(), position, 0, scheduleEntry, endPos);
        return;
    }
    insertedPlaylist = insertName;
    insertedStartPosition = position;
    insertedEndPosition = endPos;
}

void Playlist::InsertPlaylistImmediate(const std::string& insertName, int position, int endPos) {
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    if (status == PLAYLIST_STATUS_IDLE) {
        Play(insertName.c_str(), position, 0, scheduleEntry, endPos);
        return;
    }
    Pause();
    insertedPlaylist = insertName;
    insertedStartPosition = position;
    insertedEndPosition = endPos;
}

Playlist* Playlist::SwitchToInsertedPlaylist(bool replaceThis) {
    if (insertedPlaylist.empty()) return nullptr;
    std::string insertName = insertedPlaylist;
    insertedPlaylist = "";

    // Started as this one's child first: if it fails, its SetIdle hands
    // control straight back here and the current playlist carries on.
    Playlist* next = new Playlist(this);
    next->Play(insertName.c_str(), insertedStartPosition, 0, scheduleEntry, insertedEndPosition);
    if (!next->IsPlaying()) {
        playlist = this;
        if (!IsPendingCleanup(next)) delete next;
        return nullptr;
    }
    if (replaceThis && parentPlaylist) {
        next->parentPlaylist = parentPlaylist;
        parentPlaylist = nullptr;
        AddToCleanups(this);
    }
    LogInfo(VB_PLAYLIST, "Switching to inserted playlist '%s'\n", next->name.c_str());
    playlist = next;
    return next;
}

bool Playlist::IsPendingCleanup(Playlist* p) {
    std::lock_guard<std::mutex> l(cleanupsLock);
    for (Playlist* q : PL_CLEANUPS)
        if (q == p) return true;
    return false;
}

void Playlist::SetPosition(int position) {
    startPosition = position;
    MqttPublish("playlist/position/status", position);
}

void Playlist::SetRepeat(int r) {
    repeat = r;
    MqttPublish("playlist/repeat/status", r);
}

void Playlist::ProcessMedia() {
    std::lock_guard<std::recursive_mutex> l(mediaOutputLock);
    if (mediaOutput) mediaOutput->Process();
}

// ------------------------------------------------------------------- status

Json::Value Playlist::GetCurrentEntry() {
    if (currentState == "idle") return Json::Value();
    PlaylistEntryBase* e = CurrentEntry();
    if (!e) return Json::Value();
    return e->GetConfig();
}

int Playlist::GetSize() {
    if (currentState == "idle") return 0;
    return (int)EntryCount();
}

Json::Value Playlist::GetInfo() {
    Json::Value result(Json::objectValue);
    bool idle = currentState == "idle";
    result["currentState"] = idle ? std::string("idle") : currentState;
    result["name"] = idle ? std::string() : name;
    result["desc"] = idle ? std::string() : desc;
    result["repeat"] = idle ? 0 : repeat.load();
    result["loop"] = idle ? 0 : loop;
    result["loopCount"] = idle ? 0 : loopCount;
    result["random"] = idle ? 0 : random;
    result["blankBetweenSequences"] = 0;
    result["blankBetweenIterations"] = 0;
    result["blankAtEnd"] = idle ? 0 : blankAtEnd;
    result["size"] = GetSize();
    result["currentEntry"] = GetCurrentEntry();
    return result;
}

static Json::Value SectionConfig(const std::vector<PlaylistEntryBase*>& section) {
    Json::Value arr(Json::arrayValue);
    for (PlaylistEntryBase* e : section) arr.append(e->GetConfig());
    return arr;
}

Json::Value Playlist::GetConfig() {
    Json::Value result = GetInfo();
    if (!leadIn.empty()) result["leadIn"] = SectionConfig(leadIn);
    if (!mainPlaylist.empty()) result["mainPlaylist"] = SectionConfig(mainPlaylist);
    if (!leadOut.empty()) result["leadOut"] = SectionConfig(leadOut);
    result["configTime"] = (Json::UInt64)time(nullptr);
    result["random"] = random;
    result["playlistInfo"] = playlistInfo;
    return result;
}

std::string Playlist::GetConfigStr() {
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    return SaveJsonToString(GetConfig(), "");
}

Json::Value Playlist::GetMqttStatusJSON() {
    std::lock_guard<std::recursive_mutex> l(playlistMutex);
    Json::Value result(Json::objectValue);
    result["status"] = currentState;
    Json::Value active(Json::arrayValue);
    if (currentState != "idle") {
        Json::Value pl(Json::objectValue);
        pl["name"] = name;
        pl["repeat"] = repeat.load();
        pl["description"] = desc;
        Json::Value items(Json::arrayValue);
        PlaylistEntryBase* e = CurrentEntry();
        if (e) items.append(e->GetMqttStatus());
        pl["currentItems"] = items;
        active.append(pl);
    }
    result["activePlaylists"] = active;
    return result;
}

int Playlist::FindPosForMS(uint64_t& ms) {
    for (auto* section : {&leadIn, &mainPlaylist, &leadOut}) {
        for (PlaylistEntryBase* e : *section) {
            uint64_t len = e->GetLengthInMS();
            if (ms < len) return e->playlistPosition;
            ms -= len;
        }
    }
    ms = 0;
    return -1;
}

static uint64_t SectionLength(const std::vector<PlaylistEntryBase*>& section) {
    uint64_t total = 0;
    for (PlaylistEntryBase* e : section) total += e->GetLengthInMS();
    return total;
}

uint64_t Playlist::GetCurrentPosInMS(int& position, uint64_t& positionInEntry) {
    position = -1;
    positionInEntry = 0;
    if (currentState == "idle") return 0;
    PlaylistEntryBase* e = CurrentEntry();
    if (!e) return 0;
    uint64_t ms = 0;
    for (int i = 0; i < sectionPosition; i++) ms += (*currentSection)[i]->GetLengthInMS();
    position = e->playlistPosition;
    positionInEntry = e->GetElapsedMS();
    ms += positionInEntry;
    if (currentSection == &mainPlaylist) {
        ms += SectionLength(leadIn);
    } else if (currentSection == &leadOut) {
        ms += SectionLength(leadIn) + SectionLength(mainPlaylist);
    }
    return ms;
}

uint64_t Playlist::GetCurrentPosInMS() {
    int position;
    uint64_t inEntry;
    return GetCurrentPosInMS(position, inEntry);
}

uint64_t Playlist::GetPosStartInMS(int position) {
    uint64_t ms = 0;
    for (auto* section : {&leadIn, &mainPlaylist, &leadOut}) {
        for (PlaylistEntryBase* e : *section) {
            if (e->playlistPosition == position) return ms;
            ms += e->GetLengthInMS();
        }
    }
    return ms;
}

void Playlist::GetFilenamesForPos(int position, std::string& seq, std::string& media) {
    for (auto* section : {&leadIn, &mainPlaylist, &leadOut}) {
        for (PlaylistEntryBase* e : *section) {
            if (e->playlistPosition != position) continue;
            EntryFilenames(e, seq, media);
            return;
        }
    }
}

std::string Playlist::ReplaceMatches(std::string text) {
    LogDebug(VB_PLAYLIST, "In: '%s'\n", text.c_str());
    LogDebug(VB_PLAYLIST, "Out: '%s'\n", text.c_str());
    return text;
}

void Playlist::Dump() {
    LogDebug(VB_PLAYLIST, "Playlist: %s\n", name.c_str());
    LogDebug(VB_PLAYLIST, "  Description      : %s\n", desc.c_str());
    LogDebug(VB_PLAYLIST, "  Repeat           : %d\n", repeat.load());
    LogDebug(VB_PLAYLIST, "  Loop Count       : %d\n", loopCount);
    LogDebug(VB_PLAYLIST, "  Current Section  : %s\n", currentSectionName.c_str());
    LogDebug(VB_PLAYLIST, "  Section Position : %d\n", sectionPosition.load());
    struct S {
        const std::vector<PlaylistEntryBase*>* section;
        const char* header;
        const char* none;
    };
    const S sections[] = {
        {&leadIn, "  Lead In:\n", "  Lead In          : (No Lead In)\n"},
        {&mainPlaylist, "  Main Playlist:\n", "  Main Playlist    : (No Main Playlist)\n"},
        {&leadOut, "  Lead Out:\n", "  Lead Out         : (No Lead Out)\n"},
    };
    for (const S& s : sections) {
        if (s.section->empty()) {
            LogDebug(VB_PLAYLIST, "%s", s.none);
            continue;
        }
        LogDebug(VB_PLAYLIST, "%s", s.header);
        for (PlaylistEntryBase* e : *s.section) e->Dump();
    }
}

bool Playlist::MQTTHandler(std::string topic, std::string payload) {
    LogDebug(VB_PLAYLIST, "Playlist::MQTTHandler('%s', '%s') while playing '%s'\n", topic.c_str(),
             payload.c_str(), name.c_str());
    size_t slash = topic.find('/');
    if (slash == std::string::npos) {
        LogWarn(VB_PLAYLIST, "Ignoring Invalid playlist topic: playlist/%s\n", topic.c_str());
        return false;
    }
    std::string rest = topic.substr(slash);
    int number = (int)strtol(payload.c_str(), nullptr, 10);

    if (topic == "ALLPLAYLISTS/stop/now" || rest == "/stop/now") {
        StopRequested(PLAYLIST_STATUS_STOPPING_NOW);
    } else if (topic == "ALLPLAYLISTS/stop/graceful" || rest == "/stop/graceful") {
        StopRequested(PLAYLIST_STATUS_STOPPING_GRACEFULLY);
    } else if (topic == "ALLPLAYLISTS/stop/afterloop" || rest == "/stop/afterloop") {
        StopRequested(PLAYLIST_STATUS_STOPPING_AFTER_LOOP);
    } else if (rest == "/next") {
        NextItem();
    } else if (rest == "/prev") {
        PrevItem();
    } else if (rest == "/repeat") {
        SetRepeat(number);
    } else if (rest == "/startPosition") {
        SetPosition(number);
    } else if (topic == "name/set" || topic == "repeat/set" || topic == "sectionPosition/set") {
        LogInfo(VB_PLAYLIST, "playlist/%s is deprecated and will be removed in a future release\n",
                topic.c_str());
        if (topic == "name/set") {
            Play(payload.c_str(), sectionPosition, repeat, -1, -1);
        } else if (topic == "repeat/set") {
            SetRepeat(number);
        } else {
            SetPosition(number);
        }
    } else {
        LogWarn(VB_PLAYLIST, "Ignoring Invalid playlist topic: playlist/%s\n", topic.c_str());
        return false;
    }
    return true;
}

// Stops asked for over MQTT go through the player when this playlist is the
// one in charge, so that the forced stop is recorded like any other.
void Playlist::StopRequested(int how) {
    if (playlist == this) {
        if (how == PLAYLIST_STATUS_STOPPING_NOW) {
            Player::INSTANCE.StopNow(1);
        } else {
            Player::INSTANCE.StopGracefully(1, how == PLAYLIST_STATUS_STOPPING_AFTER_LOOP ? 1 : 0);
        }
        return;
    }
    if (how == PLAYLIST_STATUS_STOPPING_NOW) {
        StopNow(1);
    } else {
        StopGracefully(1, how == PLAYLIST_STATUS_STOPPING_AFTER_LOOP ? 1 : 0);
    }
}
