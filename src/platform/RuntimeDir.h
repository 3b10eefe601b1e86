// Safety checks of the command socket's directory and file at start.
//
// The directory is world-writable, so local clients can bind their reply
// sockets beside the daemon's, and sticky, so no client can remove or
// replace what another user (the daemon) put there.  A narrower mode (a
// runtime directory made 0755 by the service manager) is widened quietly; a
// world-writable one without the sticky bit is fixed with a warning, or
// refused when it cannot be fixed.  A directory that is a
// symbolic link or not a directory is refused; one owned by another user is
// taken over when the daemon runs as root and refused otherwise.  After the
// bind the socket file must be a socket owned by the daemon's user.
//
// Threading: start-up (main thread) only.
#pragma once

#include <sys/types.h>

#include <string>

class RuntimeDir {
public:
    static constexpr mode_t DIR_MODE = 01777;

    struct Verdict {
        bool refuse = false;
        bool takeOwnership = false;
        bool setMode = false;  // to DIR_MODE
        bool unsafe = false;   // others could replace the socket as it is
        std::string reason;    // why refused, or what is unsafe
    };
    // Pure: from lstat's st_mode and st_uid and the daemon's effective user.
    static Verdict JudgeDir(mode_t mode, uid_t owner, uid_t euid);
    static Verdict JudgeSocket(mode_t mode, uid_t owner, uid_t euid);

    // Creates the directory when missing, then judges and fixes it; false
    // (logged) when it must not be used.
    static bool Prepare(const std::string& dir);
    // The bound socket file; false (logged) when it is not ours.
    static bool CheckSocket(const std::string& path);
};
