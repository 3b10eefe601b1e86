// Playlist entry "branch": when reached, tests a condition and tells the
// playlist where to go next; it plays nothing and ends at once.
//
// Condition ("branchTest"):
//   "time" (default): true while the local time of day lies in
//       ["startTime", "endTime"), both "HH:MM" or "HH:MM:SS"; a window whose
//       end is before its start runs past midnight.  Equal times: never.
//   "loop": true on every "everyLoops"-th pass through the main section
//       (passes counted from 1), e.g. 2 = every second pass.
//   "always": true.
// Destination for each outcome ("true..." / "false..." keys):
//   "<o>NextBranchType": "none" (default: the next entry), "index" (go to
//       "<o>NextSection" - "leadIn", "mainPlaylist", "leadOut", or "" for the
//       current one - at 0-based index "<o>NextItem", -1 meaning the next
//       entry), "offset" (move "<o>NextItem" entries from this one within
//       the section) or "playlist" (play "<o>NextPlaylist" now, then carry on).
//
// Threading: playlist thread.
#pragma once

#include <ctime>
#include <string>

#include "playlist/PlaylistEntryBase.h"

class PlaylistEntryBranch : public PlaylistEntryBase {
public:
    PlaylistEntryBranch(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryBranch();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;
    virtual int GetNextBranchType() override;
    virtual std::string GetNextSection() override;
    virtual int GetNextItem() override;
    virtual std::string GetNextData() override;

    // The condition now (also what StartPlaying uses).
    bool Evaluate();

    struct Outcome {
        int branchType = 0;  // 0 none, 1 index, 2 offset, 3 playlist
        std::string section;
        int item = -1;
        std::string playlistName;
    };

    std::string test = "time";
    int startSecondOfDay = 0;
    int endSecondOfDay = 0;
    int everyLoops = 1;
    Outcome onTrue;
    Outcome onFalse;
    bool lastResult = false;
    bool skipped = false;  // disabled: behave like an ordinary entry

    // Test seam: the wall clock (time() when null).
    static time_t (*clock)();

private:
    bool ReadOutcome(Json::Value& config, const char* prefix, Outcome& out);
    static bool ParseTimeOfDay(const std::string& text, int& secondOfDay);
    const Outcome& Chosen() const { return lastResult ? onTrue : onFalse; }
};
