// The sequence player: opens ".lseq" files from the media directory's
// "sequences" folder and hands their frames to the channel-output thread.
//
// Playback position is a function of the monotonic clock: frame f is due at
// anchorTime + (f - anchorFrame) * frame interval.  The channel-output thread
// asks for the frame due at each tick (ProduceFrame); references from a sync
// master (UpdateMasterPosition) or the media clock (CalculateNewChannelOutput-
// Delay) move the anchor, so the player catches up by skipping or holds by
// waiting, never drifting by more than a frame once locked.
//
// On a master ("LockstepEnabled", not remote mode) the player reports open,
// start, stop and every shown frame to `lockstep`.  All those reports are
// made under one private mutex, so lockstep never sees two at once from here.
// The per-frame report comes from the channel-output thread.
//
// Threading: every public operation may be called from any thread.  Lock
// order: the channel-output layer's send lock, then the sequence's lock; the
// sequence never calls into the output layer while holding its own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channeloutput/FrameClock.h"

class LSEQFile;

// Size of the channel buffer the output thread composes each frame into; the
// overlays and channel tester may touch any byte below it.
#define LYRD_MAX_CHANNELS (1024 * 1024)
// Frame interval used when no sequence is playing (overlays, tester, blanking).
#define LYRD_DEFAULT_FRAME_MS 25

class Sequence {
public:
    Sequence();
    ~Sequence();

    // Opens `filename` (a bare name in the sequences folder, or a full path)
    // ready for a later start.  startSecond >= 0 overrides startFrame.  Opening
    // while another sequence plays leaves that one playing.  1 ok, 0 failure.
    int OpenSequenceFile(const std::string& filename, int startFrame = 0, int startSecond = -1);
    // Starts the sequence last opened, at the frame given to the open.
    void StartSequence();
    // Starts `filename` at `frameNumber`, opening it when it is not the
    // prepared one; a sequence already playing is stopped first.
    void StartSequence(const std::string& filename, int frameNumber);

    // 1 while a sequence plays (paused counts as playing).
    int IsSequenceRunning();
    int IsSequenceRunning(const std::string& filename);

    void CloseIfOpen(const std::string& filename);
    void CloseSequenceFile();

    // Zeroes the channel data and, when the output thread is not running,
    // sends one all-zero frame now.  A master also tells the remotes.
    void SendBlankingData();
    // True while the network bridge holds recent input for the outputs.
    bool hasBridgeData();

    // Status.  "" / 0 when nothing plays.
    std::string GetSequenceFilename();
    int GetSeqStepTime();  // frame interval in ms of the playing sequence, else the default
    int GetCurrentFrame();  // last frame shown, -1 before the first
    int GetNumFrames();
    uint64_t GetElapsedMS();
    uint64_t GetRemainingMS();
    uint64_t GetLengthMS();

    // Pause holds the current frame; single steps work only while paused.
    void ToggleSequencePause();
    void SetSequencePaused(bool paused);
    bool IsSequencePaused();
    void SingleStepSequence();
    void SingleStepSequenceBack();
    void StepSequence(int frames);  // negative steps back

    // ---- called by the channel-output layer ----

    // Copies the channel data due at monotonic time `now` into dst (size
    // bytes) and returns the monotonic time the next frame is due, or 0 when
    // no sequence paces the output.
    int64_t ProduceFrame(int64_t now, uint8_t* dst, uint32_t size);
    // The data shown now (no advance), for a forced or blanking frame.
    void CopyCurrentFrame(uint8_t* dst, uint32_t size);
    // Sync reports owed after ProduceFrame (master frame report, end of the
    // sequence); made outside every output lock.
    void AfterFrame();
    // References that keep playback in step (see the file comment).
    void ResetMasterPosition();
    void UpdateMasterPosition(int frameNumber, int64_t now);
    void UpdateMediaPosition(float mediaSeconds, int64_t now);
    // Restarts the playing sequence's clock at its start frame with the next
    // tick (media is about to start from 0).
    void ResetFrameClock();
    // The frame interval the output thread should tick at, in ns.
    int64_t GetFramePeriodNS();

private:
    struct Open;
    std::unique_ptr<Open> takeRunning();
    void stopped(std::unique_ptr<Open> seq, bool report);
    bool isMaster();
    // Caller holds `lock`.
    void noteMasterShift(int64_t shiftNS);
    std::string resolvePath(const std::string& filename);

    std::mutex lock;      // guards everything below
    std::mutex syncLock;  // serialises reports to lockstep
    std::unique_ptr<Open> running;
    std::unique_ptr<Open> prepared;
    std::vector<uint8_t> seqData;  // the frame shown now, before overlays
    FrameClock clock;
    int64_t lastMasterUpdate = 0;
    int pendingReportFrame = -1;
    bool pendingReportUrgent = false;
    std::string pendingReportName;
    // Master only: how far the media clock has moved this player's timeline
    // since the remotes were last told, and how many frame reports still go
    // out at once because of such a move (see UpdateMediaPosition).
    int64_t unreportedShiftNS = 0;
    int urgentReports = 0;
    std::unique_ptr<Open> finished;  // ended on the output thread; stop report owed
};

extern Sequence* sequence;
