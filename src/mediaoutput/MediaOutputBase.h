// The base of every media output: one object plays one audio or video file.
//
// Life of an output: created for a file (CreateMediaOutput), Start(ms), then
// Process() is polled while it exists; IsPlaying() turns false when the file
// has ended or Stop() was called; deletion releases everything it opened.
// Starting()/Stopped() are hooks called from the player's own threads when
// playback begins or reaches its end.
//
// Every output registers itself with the media-output layer for its lifetime
// so that a volume change reaches whatever is playing, including outputs that
// a playlist entry owns rather than the layer's current `mediaOutput`.  The
// layer only posts the new volume (RequestVolume); the owner's thread applies
// it, so no player is touched from two threads.
//
// Threading: an output is used by one thread at a time (its owner's); the
// status record it writes is read by other threads without a lock, so it only
// ever holds plain ints and a float.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>

// Shared status of the playing media, shown by the HTTP API, the command
// socket and the media playlist entries.  Field order is relied on.
struct MediaOutputStatus {
    int status = 0;  // 1 playing, 0 idle
    int secondsElapsed = 0;
    int subSecondsElapsed = 0;  // hundredths
    int secondsRemaining = 0;
    int subSecondsRemaining = 0;  // hundredths
    int minutesTotal = 0;
    int secondsTotal = 0;  // 0..59
    float mediaSeconds = 0.0f;  // play position in seconds
};

class MediaOutputBase {
public:
    MediaOutputBase();
    virtual ~MediaOutputBase();

    virtual bool Start(int msTime = 0) = 0;
    virtual bool Stop() = 0;
    virtual bool Process() = 0;
    virtual bool AdjustSpeed(float masterMediaSeconds) { return true; }
    // Remembers the volume (0-100) and applies it to the device.
    virtual void SetVolume(int volume);
    virtual bool Close() = 0;
    virtual bool IsPlaying() = 0;
    virtual bool Restart() = 0;
    virtual void Starting() {}
    virtual void Stopped() {}

    // The volume last given to SetVolume (the layer's volume at creation).
    int GetVolume() const { return m_volume; }
    // Any thread: asks the owner's thread to apply `volume` on its next
    // ApplyRequestedVolume() (outputs call it from Process()).
    void RequestVolume(int volume) { m_requestedVolume.store(volume); }

    std::string m_mediaFilename;
    MediaOutputStatus* m_mediaOutputStatus = nullptr;
    pid_t m_childPID = 0;  // a child player process; 0 when none

protected:
    // Applies the volume to the device; false when it cannot yet (for
    // example before the device is open), in which case the output should
    // retry on its own, typically from Process().
    virtual bool ApplyVolume(int volume) { return true; }

    // Applies a requested volume, or retries one the device refused.
    void ApplyRequestedVolume();

    int m_volume = 0;
    bool m_volumeApplied = false;
    std::atomic<int> m_requestedVolume{-1};
};
