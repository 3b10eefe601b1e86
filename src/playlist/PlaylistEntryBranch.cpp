#include "playlist/PlaylistEntryBranch.h"

#include <cstdio>

#include "platform/Logging.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistValues.h"

time_t (*PlaylistEntryBranch::clock)() = nullptr;

PlaylistEntryBranch::PlaylistEntryBranch(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    type = "branch";
}

PlaylistEntryBranch::~PlaylistEntryBranch() {}

bool PlaylistEntryBranch::ParseTimeOfDay(const std::string& text, int& secondOfDay) {
    int h = 0, m = 0, s = 0;
    char extra = 0;
    int n = sscanf(text.c_str(), "%d:%d:%d%c", &h, &m, &s, &extra);
    if (n < 2 || n > 3) return false;
    if (h < 0 || h > 24 || m < 0 || m > 59 || s < 0 || s > 59 || (h == 24 && (m || s))) return false;
    secondOfDay = h * 3600 + m * 60 + s;
    return true;
}

bool PlaylistEntryBranch::ReadOutcome(Json::Value& config, const char* prefix, Outcome& out) {
    std::string p = prefix;
    std::string where = "branch entry";
    std::string kind = PlaylistValues::Text(config, (p + "NextBranchType").c_str(), "none", where);
    if (kind == "none" || kind.empty()) {
        out.branchType = 0;
    } else if (kind == "index") {
        out.branchType = 1;
    } else if (kind == "offset") {
        out.branchType = 2;
    } else if (kind == "playlist") {
        out.branchType = 3;
    } else {
        LogErr(VB_PLAYLIST, "Branch entry: unknown %sNextBranchType '%s'\n", prefix, kind.c_str());
        return false;
    }
    out.section = PlaylistValues::Text(config, (p + "NextSection").c_str(), "", where);
    out.item = PlaylistValues::Int(config, (p + "NextItem").c_str(), out.branchType == 2 ? 1 : -1, where);
    out.playlistName = PlaylistValues::Text(config, (p + "NextPlaylist").c_str(), "", where);
    if (out.branchType == 3 && out.playlistName.empty()) {
        LogErr(VB_PLAYLIST, "Branch entry: %sNextPlaylist is missing\n", prefix);
        return false;
    }
    if (!out.section.empty() && out.section != "leadIn" && out.section != "mainPlaylist" &&
        out.section != "leadOut") {
        LogErr(VB_PLAYLIST, "Branch entry: unknown %sNextSection '%s'\n", prefix, out.section.c_str());
        return false;
    }
    return true;
}

bool PlaylistEntryBranch::Init(Json::Value& config) {
    std::string where = "branch entry";
    test = PlaylistValues::Text(config, "branchTest", "time", where);
    if (test == "time") {
        std::string start = PlaylistValues::Text(config, "startTime", "", where);
        std::string end = PlaylistValues::Text(config, "endTime", "", where);
        if (!ParseTimeOfDay(start, startSecondOfDay) || !ParseTimeOfDay(end, endSecondOfDay)) {
            LogErr(VB_PLAYLIST, "Branch entry: startTime '%s' or endTime '%s' is not a time of day (HH:MM[:SS])\n",
                   start.c_str(), end.c_str());
            return false;
        }
    } else if (test == "loop") {
        everyLoops = PlaylistValues::Int(config, "everyLoops", 1, where);
        if (everyLoops < 1) {
            LogErr(VB_PLAYLIST, "Branch entry: everyLoops must be 1 or more\n");
            return false;
        }
    } else if (test != "always") {
        LogErr(VB_PLAYLIST, "Branch entry: unknown branchTest '%s'\n", test.c_str());
        return false;
    }
    if (!ReadOutcome(config, "true", onTrue) || !ReadOutcome(config, "false", onFalse)) return false;
    return PlaylistEntryBase::Init(config);
}

bool PlaylistEntryBranch::Evaluate() {
    if (test == "always") return true;
    if (test == "loop") {
        int pass = (playlist ? playlist->GetLoop() : 0) + 1;
        return pass % everyLoops == 0;
    }
    time_t now = clock ? clock() : time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    int sod = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    if (startSecondOfDay < endSecondOfDay) return sod >= startSecondOfDay && sod < endSecondOfDay;
    if (startSecondOfDay > endSecondOfDay) return sod >= startSecondOfDay || sod < endSecondOfDay;
    return false;
}

int PlaylistEntryBranch::StartPlaying() {
    if (!CanPlay()) {
        // A disabled branch sends the playlist on to the next entry.
        skipped = true;
        FinishPlay();
        return 0;
    }
    PlaylistEntryBase::StartPlaying();
    skipped = false;
    lastResult = Evaluate();
    LogInfo(VB_PLAYLIST, "Branch test '%s' is %s\n", test.c_str(), lastResult ? "true" : "false");
    FinishPlay();
    return 1;
}

int PlaylistEntryBranch::GetNextBranchType() { return skipped ? 0 : Chosen().branchType; }

std::string PlaylistEntryBranch::GetNextSection() {
    const Outcome& o = Chosen();
    if (o.branchType != 1) return "";
    return o.section;
}

int PlaylistEntryBranch::GetNextItem() { return Chosen().item; }

std::string PlaylistEntryBranch::GetNextData() {
    const Outcome& o = Chosen();
    return o.branchType == 3 ? o.playlistName : "";
}

void PlaylistEntryBranch::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Branch Test    : %s\n", test.c_str());
}

Json::Value PlaylistEntryBranch::GetConfig() {
    Json::Value result = PlaylistEntryBase::GetConfig();
    result["branchTest"] = test;
    result["lastResult"] = lastResult;
    return result;
}
