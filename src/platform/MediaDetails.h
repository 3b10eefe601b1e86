// Title, artist, album and length of a media file, read with libVLC's own
// parser (local metadata only, never the network).  `INSTANCE` holds the
// details of the file the playlist is about to play; entries may also parse
// into a local object.
//
// Threading: ParseMedia fills the object it is called on; use one object per
// thread.  Parsing blocks for at most a few seconds on a broken file.
#pragma once

#include <string>

class MediaDetails {
public:
    static MediaDetails INSTANCE;

    // `mediaFilename` is a path, or a name in the music or videos folder.
    // Returns false (details cleared) when the file is missing or unreadable.
    bool ParseMedia(const std::string& mediaFilename);
    void Clear();

    std::string title;
    std::string artist;
    std::string album;
    int year = 0;
    std::string comment;
    int track = 0;
    std::string genre;
    int lengthMS = 0;
    int seconds = 0;
    int minutes = 0;
    std::string filename;
};

// Full path of a media file name: the name itself when it exists, else the
// music folder's file, else the videos folder's (even when that is missing).
std::string ResolveMediaPath(const std::string& mediaFilename);
