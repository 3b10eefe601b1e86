// "Play Media": one music or video file played alone, beside (not as part
// of) any playlist.  A new file replaces the one playing.  The output gets a
// status record of its own, so the playlist's media status is not touched.
// Names are files of the media directory's "music" or "videos" folder (in
// that order); names with a path separator or ".." are refused.
//
// Threading: any thread.  A worker thread polls the output while it plays
// and releases it at the end; StopSoloMedia joins it.
#pragma once

#include <string>

// False with the reason in `error` when the name is refused, not found, not a
// media type or the player cannot start.
bool PlaySoloMedia(const std::string& name, std::string& error);
void StopSoloMedia();
bool SoloMediaPlaying();
