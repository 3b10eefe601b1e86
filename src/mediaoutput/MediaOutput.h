// The media-output layer: creates media outputs for files, owns the one
// current output `mediaOutput` (used on a remote that follows a master, and
// by forced playlist positions), holds the shared status record and the
// volume.
//
// Volume: setVolume clamps to 0..100, applies it to every live output and
// keeps it for the next one.  It is stored as the setting "volume" and in
// the media directory's "config/volume.json" (written atomically) so that it
// survives a restart; InitMediaOutput reads it back.
//
// Remote side: OpenMediaOutput/StartMediaOutput/CloseMediaOutput manage
// `mediaOutput`; UpdateMasterMediaPosition hands the master's position to the
// playing output's AdjustSpeed.  On a remote a position for a file that is not
// open opens and starts it at that position, so a late-joining remote follows.
//
// Threading: `mediaOutputLock` (recursive) guards `mediaOutput`; every function
// here that touches it takes the lock, so callers may hold it or not.  The
// status record is written by the playing output and read anywhere unlocked.
#pragma once

#include <mutex>
#include <string>

#include "mediaoutput/MediaOutputBase.h"

extern MediaOutputStatus* mediaOutputStatus;
extern MediaOutputBase* mediaOutput;
extern std::recursive_mutex mediaOutputLock;

void InitMediaOutput();
void CleanupMediaOutput();

// Returns the clamped volume now in effect.
int setVolume(int volume);
int getVolume();

// An output able to play the file (audio and video go to the VLC output), or
// null when the name has no known media extension.  `videoOut` names the
// video device ("--Disabled--" for none).
MediaOutputBase* CreateMediaOutput(const std::string& mediaFilename, const std::string& videoOut);

// True for the extensions CreateMediaOutput plays.
bool IsExtensionAudio(const std::string& ext);
bool IsExtensionVideo(const std::string& ext);

// The video output name for a "videoOut" value: "--Default--" becomes the
// "VideoOutput" setting, and an empty result "--Disabled--".
std::string ResolveVideoOutput(const std::string& videoOut);

// Replaces the current output with a new one for `filename`; false (and no
// output) when none can be created.
bool OpenMediaOutput(const std::string& filename);
// Starts the current output, opening `filename` first when it is not the
// open file.  Does nothing when that file already plays.
bool StartMediaOutput(const std::string& filename);
// Same, starting at `msTime`.
bool StartMediaOutputAt(const std::string& filename, int msTime);
// Deletes the current output, if any, and marks the status idle.
void CloseMediaOutput();
// True when the current output exists and plays `filename`.
bool MatchesRunningMediaFilename(const std::string& filename);
// The master's media position for `filename` in seconds.
void UpdateMasterMediaPosition(const std::string& filename, float seconds);

// True when this system is a sync master sending packets.
bool IsSendingMediaSync();

// Outputs register themselves for their lifetime (MediaOutputBase does it).
void RegisterMediaOutput(MediaOutputBase* output);
void UnregisterMediaOutput(MediaOutputBase* output);

// Test seam: forget the volume read at start-up and the late-join memory.
void ResetMediaOutputForTesting();
