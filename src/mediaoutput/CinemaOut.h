// The VLC media output: plays one audio or video file through libVLC,
// reports its position in the shared status record, sends media sync
// packets while this system is a sync master, and on a remote trims its
// playback rate towards the master's position (SpeedController).
//
// A file that is found neither as given nor in the music or videos folder
// leaves the output without a playback record: Start, Restart and Process
// then return false and AdjustSpeed does nothing.
//
// Threading: used by its owner's thread; libVLC's event threads only call
// Starting()/Stopped().  The one libVLC instance (vlcManager) is shared by
// all outputs and lives until program exit.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "mediaoutput/MediaOutputBase.h"
#include "mediaoutput/SpeedController.h"

struct libvlc_instance_t;
struct CinemaPlayback;

// Holds the process's libVLC instance.
class VLCManager {
public:
    ~VLCManager();
    // Creates the instance on first use; null when libVLC cannot start.
    libvlc_instance_t* Instance();
    bool HasInstance() const { return vlcInstance != nullptr; }

private:
    libvlc_instance_t* vlcInstance = nullptr;
};

extern VLCManager vlcManager;
extern std::string currentMediaFilename;
// Most recent rates set by any output (at most 20 kept) and their sum.
extern RateHistory sharedRateHistory;
extern std::list<float>& lastRates;
extern float& rateSum;

class CinemaOutput : public MediaOutputBase {
public:
    CinemaOutput(const std::string& mediaFilename, MediaOutputStatus* status, const std::string& videoOut);
    virtual ~CinemaOutput();

    virtual bool Start(int msTime = 0) override;
    virtual bool Stop() override;
    virtual bool Process() override;
    virtual bool AdjustSpeed(float masterMediaSeconds) override;
    virtual bool Close() override;
    virtual bool IsPlaying() override;
    virtual bool Restart() override;
    virtual void Starting() override;
    virtual void Stopped() override;

    // Pre-amplification change in percent of the way to +20 dB (positive) or
    // -20 dB (negative); 0 does nothing.
    void SetVolumeAdjustment(int percent);

    // The controller's state, for status and tests; null without a player.
    const SpeedController* GetSpeedController() const;
    // Current libVLC play time in ms (-1 without a player).
    int64_t GetPlayerTimeMS();

    bool allowSpeedAdjust = true;

protected:
    virtual bool ApplyVolume(int volume) override;

private:
    void FillTotals(int64_t lengthMS);
    void ReadLength();

    std::unique_ptr<CinemaPlayback> data;
};
