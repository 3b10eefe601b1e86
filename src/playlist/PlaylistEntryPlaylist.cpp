#include "playlist/PlaylistEntryPlaylist.h"

#include "platform/Logging.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistValues.h"

PlaylistEntryPlaylist::PlaylistEntryPlaylist(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    type = "playlist";
}

PlaylistEntryPlaylist::~PlaylistEntryPlaylist() {}

bool PlaylistEntryPlaylist::Init(Json::Value& config) {
    playlistName = PlaylistValues::Text(config, "name", "", "playlist entry");
    if (playlistName.empty()) {
        LogErr(VB_PLAYLIST, "Missing name entry\n");
        return false;
    }
    return PlaylistEntryBase::Init(config);
}

int PlaylistEntryPlaylist::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    PlaylistEntryBase::StartPlaying();
    if (playlist && playlistName == playlist->GetPlaylistName()) {
        LogErr(VB_PLAYLIST, "Playlist '%s' can not play itself; entry skipped\n", playlistName.c_str());
    } else if (playlist) {
        // Finishing at once lets the owning playlist switch to the inserted
        // one in the same tick.
        playlist->InsertPlaylistAsNext(playlistName, 0, -1);
    }
    FinishPlay();
    return 1;
}

void PlaylistEntryPlaylist::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Playlist Name  : %s\n", playlistName.c_str());
}

Json::Value PlaylistEntryPlaylist::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["name"] = playlistName;
    return result;
}
