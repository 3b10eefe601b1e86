#include "playlist/PlaylistEntries.h"

#include "playlist/ClipEntry.h"
#include "playlist/FeedEntry.h"
#include "playlist/PairedEntry.h"
#include "playlist/PlaylistEntryBranch.h"
#include "playlist/PlaylistEntryCommand.h"
#include "playlist/PlaylistEntryEffect.h"
#include "playlist/PlaylistEntryImage.h"
#include "playlist/PlaylistEntryPause.h"
#include "playlist/PlaylistEntryPlaylist.h"
#include "playlist/PlaylistEntryPlugin.h"
#include "playlist/PlaylistEntryRemap.h"
#include "playlist/PlaylistEntrySequence.h"
#include "playlist/PlaylistEntryURL.h"
#include "playlist/ShellEntry.h"

PlaylistEntryBase* CreatePlaylistEntry(const std::string& type, Playlist* pl, PlaylistEntryBase* parent) {
    if (type == "both") return new PairedEntry(pl, parent);
    if (type == "branch") return new PlaylistEntryBranch(pl, parent);
    if (type == "dynamic") return new FeedEntry(pl, parent);
    if (type == "effect") return new PlaylistEntryEffect(pl, parent);
    if (type == "image") return new PlaylistEntryImage(pl, parent);
    if (type == "media") return new ClipEntry(pl, parent);
    if (type == "pause") return new PlaylistEntryPause(pl, parent);
    if (type == "playlist") return new PlaylistEntryPlaylist(pl, parent);
    if (type == "plugin") return new PlaylistEntryPlugin(pl, parent);
    if (type == "remap") return new PlaylistEntryRemap(pl, parent);
    if (type == "script") return new ShellEntry(pl, parent);
    if (type == "sequence") return new PlaylistEntrySequence(pl, parent);
    if (type == "url") return new PlaylistEntryURL(pl, parent);
    if (type == "command") return new PlaylistEntryCommand(pl, parent);
    return nullptr;
}

void EntryFilenames(PlaylistEntryBase* entry, std::string& sequence, std::string& media) {
    if (auto* s = dynamic_cast<PlaylistEntrySequence*>(entry)) {
        sequence = s->sequenceName;
    } else if (auto* c = dynamic_cast<ClipEntry*>(entry)) {
        media = c->mediaName;
    } else if (auto* p = dynamic_cast<PairedEntry*>(entry)) {
        sequence = p->sequenceName;
        media = p->mediaName;
    }
}
