// Playlist entry "script": runs a user script from the media directory's
// "scripts" folder.  Keys: "scriptName" (required), "scriptArgs" (argument
// text, split like a shell would: blanks separate, quotes group, backslash
// escapes), "blocking" (default false).
//
// A blocking script holds the playlist until it exits; Stop() sends its
// process group SIGTERM once and the entry ends.  A non-blocking script is
// started and the playlist moves on at once.  Every child is reaped.
//
// Scripts never run through a shell: the script itself is exec'd with the
// split arguments (a script without execute permission is handed to /bin/sh
// as a file, still without "-c").  Names that leave the scripts folder
// (absolute paths, ".." components) are refused.
//
// Threading: playlist thread; status readers only read atomics.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "playlist/PlaylistEntryBase.h"

class ShellEntry : public PlaylistEntryBase {
public:
    ShellEntry(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~ShellEntry();

    virtual bool Init(Json::Value& config) override;
    virtual int StartPlaying() override;
    virtual int Process() override;
    virtual int Stop() override;
    virtual void Dump() override;
    virtual Json::Value GetConfig() override;
    virtual Json::Value GetMqttStatus() override;

    bool isChildRunning();

    std::string scriptName;
    std::string scriptArgs;
    bool blocking = false;
    std::atomic<int> childPid{0};
    std::atomic<uint64_t> scriptStartTime{0};

private:
    void AddScriptFields(Json::Value& result);
    void TerminateChild();
};

// Starts `scriptName` (relative to the scripts folder) with `scriptArgs`
// split into arguments.  Returns the child's process id, or -1 (with an
// error log line) when the name is refused, the script is missing, the
// arguments do not parse or the process cannot be started.
int RunScript(std::string scriptName, std::string scriptArgs);

// Splits argument text like a POSIX shell (without expansions): false for an
// unterminated quote or a trailing backslash.
bool SplitScriptArgs(const std::string& text, std::vector<std::string>& out);

// Resolves a script name inside the scripts folder; "" when it is refused.
std::string ScriptPath(const std::string& scriptName);

// Waits for `pid` in the background so it never lingers as a zombie.
void ReapChildInBackground(pid_t pid);
