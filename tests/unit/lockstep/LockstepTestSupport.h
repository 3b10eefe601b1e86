// Shared pieces of the sync tests: a private network namespace for the
// whole binary, a recording backend, a log capture and a settable clock.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Lockstep.h"
#include "platform/Logging.h"

// True when the binary runs in its own network namespace (loopback up);
// socket tests skip otherwise, so nothing ever reaches the real network.
bool InPrivateNetns();
// Runs a shell command inside the private namespace; false on failure.
bool NetnsShell(const std::string& command);

#define REQUIRE_NETNS() \
    if (!InPrivateNetns()) GTEST_SKIP() << "needs a private network namespace (root)"

class RecordingBackend : public LockstepBackend {
public:
    std::vector<std::string> calls;
    std::string running;  // name of the sequence that "plays"
    int frameMs = 25;
    bool media = false;
    std::string mediaName;
    std::vector<std::pair<int, int>> ranges;

    void OpenSequence(const std::string& n) override { calls.push_back("open " + n); }
    void StartSequence(const std::string& n, int f) override {
        calls.push_back("start " + n + " " + std::to_string(f));
        running = n;
    }
    bool IsSequenceRunning(const std::string& n) override { return !running.empty() && running == n; }
    bool IsAnySequenceRunning() override { return !running.empty(); }
    std::string RunningSequenceName() override { return running; }
    void CloseIfOpen(const std::string& n) override {
        calls.push_back("closeIfOpen " + n);
        if (running == n) running.clear();
    }
    void CloseSequence() override {
        calls.push_back("close");
        running.clear();
    }
    void SendBlankingData() override { calls.push_back("blank"); }
    int FrameIntervalMs() override { return frameMs; }
    void ResetMasterPosition() override { calls.push_back("reset"); }
    void UpdateMasterPosition(int f) override { calls.push_back("master " + std::to_string(f)); }
    bool HasMediaOutput() override { return media; }
    std::string MediaFilename() override { return mediaName; }
    bool MatchesRunningMediaFilename(const std::string& n) override { return media && mediaName == n; }
    bool OpenMedia(const std::string& n) override {
        calls.push_back("openMedia " + n);
        media = true;
        mediaName = n;
        return true;
    }
    bool StartMedia(const std::string& n) override {
        calls.push_back("startMedia " + n);
        return true;
    }
    void CloseMedia() override {
        calls.push_back("closeMedia");
        media = false;
    }
    void UpdateMasterMediaPosition(const std::string& n, float s) override {
        char buf[64];
        snprintf(buf, sizeof(buf), "mediaPos %s %.2f", n.c_str(), s);
        calls.push_back(buf);
    }
    void PluginData(const std::string& n, const uint8_t* d, int len) override {
        calls.push_back("plugin " + n + " " + std::to_string(len));
    }
    void RunTextCommand(const std::string& c) override { calls.push_back("text " + c); }
    void RunCommand(const std::string& c, const std::vector<std::string>& args) override {
        std::string s = "command " + c;
        for (const auto& a : args) s += " " + a;
        calls.push_back(s);
    }
    void ProcessTamrinPacket(int, const sockaddr_in&, const in_addr&, const uint8_t*, int len) override {
        calls.push_back("tamrin " + std::to_string(len));
    }
    std::vector<std::pair<int, int>> OutputRanges() override { return ranges; }
    std::string LoadedPlaylistName() override { return ""; }
    bool LoadPlaylist(const std::string&) override { return false; }
    int FindPosForMS(uint64_t&) override { return 0; }
    void GetFilenamesForPos(int, std::string&, std::string&) override {}
    bool DetectControllerViaHTML(const std::string&, const std::string&, LockstepSystemInfo&) override {
        return false;
    }
};

// Collects the Sync facility's lines while alive.
class LogCapture {
public:
    explicit LogCapture(LogLevel level = LOG_EXCESS);
    ~LogCapture();
    std::vector<std::string> lines();
    int count(const std::string& part);

private:
    std::mutex lock;
    std::vector<std::string> captured;
    int savedLevel;
};
