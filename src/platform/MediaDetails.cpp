#include "platform/MediaDetails.h"

#include <unistd.h>

#include <cstdlib>

#include "common.h"
#include "mediaoutput/CinemaOut.h"
#include "mediaoutput/VLCCompat.h"
#include "platform/Logging.h"
#include "settings.h"

MediaDetails MediaDetails::INSTANCE;

static constexpr int PARSE_TIMEOUT_MS = 5000;

std::string ResolveMediaPath(const std::string& mediaFilename) {
    if (FileExists(mediaFilename)) return mediaFilename;
    std::string music = getLyrMediaDir("/music") + "/" + mediaFilename;
    if (FileExists(music)) return music;
    return getLyrMediaDir("/videos") + "/" + mediaFilename;
}

void MediaDetails::Clear() {
    title.clear();
    artist.clear();
    album.clear();
    year = 0;
    comment.clear();
    track = 0;
    genre.clear();
    lengthMS = 0;
    seconds = 0;
    minutes = 0;
    filename.clear();
}

static std::string Meta(libvlc_media_t* media, libvlc_meta_t which) {
    char* v = libvlc_media_get_meta(media, which);
    if (!v) return "";
    std::string s(v);
    libvlc_free(v);
    return s;
}

bool MediaDetails::ParseMedia(const std::string& mediaFilename) {
    Clear();
    filename = mediaFilename;
    std::string path = ResolveMediaPath(mediaFilename);
    if (!FileExists(path)) {
        LogDebug(VB_MEDIAOUT, "MediaDetails: %s does not exist\n", path.c_str());
        return false;
    }
    libvlc_instance_t* instance = vlcManager.Instance();
    if (!instance) return false;
    libvlc_media_t* media = vlcMediaFromPath(instance, path.c_str());
    if (!media) return false;

    bool ok = false;
    if (vlcParseLocal(instance, media, PARSE_TIMEOUT_MS)) {
        // The parser reports through its status; poll it rather than wiring an
        // event for one short wait.  Its own timeout bounds the loop, with a
        // margin in case it never reports.
        for (int waited = 0; waited < PARSE_TIMEOUT_MS + 1000; waited += 5) {
            libvlc_media_parsed_status_t st = libvlc_media_get_parsed_status(media);
            if (st == libvlc_media_parsed_status_done) {
                ok = true;
                break;
            }
            if (st == libvlc_media_parsed_status_failed || st == libvlc_media_parsed_status_timeout ||
                st == libvlc_media_parsed_status_skipped) {
                break;
            }
            usleep(5000);
        }
    }
    if (ok) {
        title = Meta(media, libvlc_meta_Title);
        artist = Meta(media, libvlc_meta_Artist);
        album = Meta(media, libvlc_meta_Album);
        comment = Meta(media, libvlc_meta_Description);
        genre = Meta(media, libvlc_meta_Genre);
        year = atoi(Meta(media, libvlc_meta_Date).c_str());
        track = atoi(Meta(media, libvlc_meta_TrackNumber).c_str());
        int64_t d = libvlc_media_get_duration(media);
        lengthMS = d > 0 ? static_cast<int>(d) : 0;
        seconds = (lengthMS / 1000) % 60;
        minutes = lengthMS / 60000;
    } else {
        LogWarn(VB_MEDIAOUT, "Could not read the details of %s\n", path.c_str());
    }
    libvlc_media_release(media);
    return ok;
}
