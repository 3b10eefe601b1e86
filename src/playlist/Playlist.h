// The playlist engine: a playlist file loaded into three sections of entries
// (lead-in, main section that may loop, lead-out) and the engine that walks
// them one entry at a time.
//
// Loading: Load(name) reads "<media>/playlists/<name>.json", or builds a
// one-entry playlist on the fly for a name ending in ".lseq".  Nested
// "playlist" elements are inlined (at most four levels deep).  Bad JSON,
// unknown entry types and entries whose Init fails are logged and skipped;
// the rest loads.  A changed file is reloaded at section boundaries only.
//
// Running: Play() loads and starts; Process() is called every main-loop tick
// while playing.  Another playlist may be inserted after the current entry or
// at once; it becomes the global `playlist` until it ends, then hands control
// back to its parent.  Finished inserted playlists are deleted at the next
// Process() of any playlist.
//
// Threading: Process() runs on the main thread.  HTTP, command socket, MQTT
// and scheduler threads call the rest.  The recursive playlistMutex is held by
// loading, Play, Process, the item moves, StopNow, the insert calls and the
// locked status documents; Start, Pause, Resume, StopGracefully and SetIdle
// expect their caller to hold it or to be on the main thread.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <list>
#include <mutex>
#include <string>
#include <vector>

class PlaylistEntryBase;

// Playlist status (`status`, getPlaylistStatus()).
enum PlaylistStatus {
    PLAYLIST_STATUS_IDLE = 0,
    PLAYLIST_STATUS_PLAYING = 1,
    PLAYLIST_STATUS_STOPPING_GRACEFULLY = 2,
    PLAYLIST_STATUS_STOPPING_AFTER_LOOP = 3,
    PLAYLIST_STATUS_STOPPING_NOW = 4,
    PLAYLIST_STATUS_PAUSED = 5,
};

// Maximum nesting of "playlist" elements inside playlist files.
#define PLAYLIST_MAX_SUB_DEPTH 5

class Playlist {
public:
    explicit Playlist(Playlist* parent = nullptr);
    ~Playlist();

    // ---- loading ----
    int Load(const char* name);
    int Load(Json::Value& root);
    Json::Value LoadJSON(const char* path);
    bool LoadJSONIntoPlaylist(std::vector<PlaylistEntryBase*>& section, const Json::Value& entries);
    PlaylistEntryBase* LoadPlaylistEntry(Json::Value entry);
    bool FileHasBeenModified();
    int ReloadPlaylist();
    void ReloadIfNeeded();
    void RandomizeMainPlaylist();
    int Cleanup();

    // ---- running ----
    // position: 0-based overall start position (-1 none, -2 random main entry);
    // repeat: -1 keeps the current value; scheduleEntry: -1 for manual starts;
    // endPosition: 0-based index of the last entry to play, -1 none.
    // Returns 1 when started, 0 when not.
    int Play(const char* name, int position = -1, int repeat = -1, int scheduleEntry = -1, int endPosition = -1);
    int Start();
    int Process();
    void NextItem();
    void PrevItem();
    void RestartItem();
    int StopNow(int forced = 0);
    int StopGracefully(int forced = 0, int afterCurrentLoop = 0);
    void Pause();
    void Resume();
    void SetIdle(bool returnToParent = true);
    void InsertPlaylistAsNext(const std::string& name, int position = -1, int endPosition = -1);
    void InsertPlaylistImmediate(const std::string& name, int position = -1, int endPosition = -1);
    Playlist* SwitchToInsertedPlaylist(bool replaceThis = false);
    void SwitchToMainPlaylist();
    void SwitchToLeadOut();
    bool WillStopAfterCurrent();
    void SetPosition(int position);
    void SetRepeat(int repeat);
    int GetPosition();  // 1-based overall position; 0 when idle
    int IsPlaying();    // status 1, 2, 3 or 5
    int getPlaylistStatus() { return status; }
    void ProcessMedia();

    // ---- status ----
    Json::Value GetInfo();
    Json::Value GetConfig();
    std::string GetConfigStr();
    Json::Value GetMqttStatusJSON();
    Json::Value GetCurrentEntry();
    int GetSize();
    // Overall position of the entry that holds `ms`; `ms` becomes the offset
    // into it.  Past the end: -1 and `ms` = 0.
    int FindPosForMS(uint64_t& ms);
    uint64_t GetCurrentPosInMS(int& position, uint64_t& positionInEntry);
    uint64_t GetCurrentPosInMS();
    uint64_t GetPosStartInMS(int position);
    void GetFilenamesForPos(int position, std::string& sequence, std::string& media);
    std::string ReplaceMatches(std::string text);
    void Dump();
    // topic is the part after "playlist/"; true when it was understood.
    bool MQTTHandler(std::string topic, std::string payload);

    // ---- accessors ----
    const std::string& GetPlaylistName() const { return name; }
    const std::string& GetFilename() const { return filename; }
    int GetRepeat() const { return repeat; }
    int GetLoopCount() const { return loopCount; }
    int GetScheduleEntry() const { return scheduleEntry; }
    int64_t GetFileTime() const { return (int64_t)fileTime; }
    uint64_t GetStartTime() const { return startTime; }
    int GetEndPosition() const { return endPosition; }
    const std::string& GetCurrentState() const { return currentState; }
    const std::string& GetCurrentSectionName() const { return currentSectionName; }
    int GetSectionPosition() const { return sectionPosition; }
    int GetLoop() const { return loop; }
    Playlist* GetParentPlaylist() const { return parentPlaylist; }
    const std::string& GetInsertedPlaylist() const { return insertedPlaylist; }
    std::recursive_mutex& GetMutex() { return playlistMutex; }

    // Loaded state (owned; see Load).  Public so that entries and tests can
    // inspect and, for tests, fill sections directly.
    std::string filename;
    std::string name;
    std::string desc;
    std::atomic<int> repeat{0};
    int loopCount = 0;
    int random = 0;
    Json::Value playlistInfo;
    std::vector<PlaylistEntryBase*> leadIn;
    std::vector<PlaylistEntryBase*> mainPlaylist;
    std::vector<PlaylistEntryBase*> leadOut;
    time_t fileTime = 0;
    int subPlaylistDepth = 0;

    // Reported only.
    int blankBetweenSequences = 0;
    int blankBetweenIterations = 0;
    int blankAtEnd = 1;

    // Numbers the entries (playlistPosition) in section order; Load does it,
    // callers that fill sections themselves call it afterwards.
    void NumberEntries();

    // Deletes the finished inserted playlists waiting in PL_CLEANUPS.
    static void DeleteFinishedPlaylists();

private:
    // What a finished entry asks for next (see PlaylistEntryBase).
    struct Branch {
        int type;
        std::string section;
        int item;
        std::string data;
    };

    std::string PlaylistPathFor(const std::string& playlistName);
    Json::Value BuildOnTheFlyPlaylist(const std::string& seqName);
    void LoadSubPlaylist(std::vector<PlaylistEntryBase*>& section, const Json::Value& element);
    size_t EntryCount() const;
    void DeleteSections();
    void PlaceAtStartPosition();
    bool HandleFinishedEntry(PlaylistEntryBase* e, Playlist*& next);
    bool Advance(const Branch& branch);
    bool EndOfSection();
    void PublishSection();
    void PluginCallback(const char* action);
    void RegisterMqttCallbacks();
    void MqttPublish(const std::string& topic, const std::string& value);
    void MqttPublish(const std::string& topic, int value);
    PlaylistEntryBase* CurrentEntry();
    void StopCurrentEntry();
    int StartAt(int target);
    void ResumeAfterChild();
    void StopRequested(int how);
    static bool IsPendingCleanup(Playlist* p);

    // Written under playlistMutex; status, position and repeat are also read
    // without it by the player front on HTTP threads.
    std::atomic<int> status{PLAYLIST_STATUS_IDLE};
    int statusBeforePause = PLAYLIST_STATUS_PLAYING;
    std::string currentState = "idle";
    std::string currentSectionName = "New";
    std::vector<PlaylistEntryBase*>* currentSection = nullptr;
    std::atomic<int> sectionPosition{0};
    int startPosition = 0;
    int loop = 0;
    uint64_t startTime = 0;
    int scheduleEntry = -1;
    int endPosition = -1;
    std::string insertedPlaylist;
    int insertedStartPosition = 0;
    int insertedEndPosition = -1;
    Playlist* parentPlaylist = nullptr;
    std::recursive_mutex playlistMutex;
    std::vector<int> mqttCallbackIds;
    long fileTimeNs = 0;  // sub-second part of the modification time
    int nestedLoads = 0;  // playlist files inlined by the current load
};

// The playlist in charge; the Player and every other caller go through it.
extern Playlist* playlist;
// Finished inserted playlists waiting to be deleted (guarded internally).
extern std::list<Playlist*> PL_CLEANUPS;

// Finds the media file a sequence refers to in the music or videos folder:
// the name as given or with unusual characters removed; "" when neither exists.
std::string sanitizeMediaName(std::string name);
