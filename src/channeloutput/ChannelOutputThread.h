// The channel-output thread: once per frame, at absolute deadlines on the
// monotonic clock (clock_nanosleep, so work time never adds to the period),
// it takes the sequence player's frame (or the blank/bridge data), lets the
// overlays and the channel tester draw over it and sends it to every enabled
// output.  It stops itself when nothing needs output: no sequence, no active
// overlay, no tester, no bridge data and "alwaysTransmit" off; it sends one
// frame of the final state before stopping.
//
// Threading: every function may be called from any thread.  Start and Stop
// are serialised; the thread never holds the control lock while it works.
#pragma once

#include <cstdint>

int ChannelOutputThreadIsRunning();
void StartChannelOutputThread();
void StopChannelOutputThread();
// Composes and sends one frame now from the calling thread.
void ForceChannelOutputNow();

// Media is about to start from 0: the playing sequence restarts its clock.
void ResetChannelOutputFrameNumber();
// Media-led timing: the media clock reports its position; the frame shown
// follows it.
void CalculateNewChannelOutputDelay(float mediaPosition);

// Remote side: the master's frame position for the sequence player.
void ResetMasterPosition();
void UpdateMasterPosition(int frameNumber);

// The clock every position reference and deadline is taken from (ns).
int64_t ChannelOutputMonotonicNS();

// Sets what "alwaysTransmit" asks for (InitializeChannelOutputs reads the setting).
void SetChannelOutputAlwaysTransmit(bool on);

// Figures for status pages, tests and benchmarks; lateness is frame start
// against its deadline.
struct ChannelOutputStats {
    uint64_t framesSent = 0;
    uint64_t framesSkipped = 0;  // deadlines passed without their frame
    int64_t maxLatenessNS = 0;
    int64_t lastLatenessNS = 0;
};
ChannelOutputStats GetChannelOutputStats();
void ResetChannelOutputStats();
// Test and benchmark seam: called with each frame's lateness (ns) on the
// output thread.  nullptr removes it.
void SetChannelOutputLatenessHook(void (*hook)(int64_t latenessNS));
