#include "platform/RuntimeDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Logging.h"

RuntimeDir::Verdict RuntimeDir::JudgeDir(mode_t mode, uid_t owner, uid_t euid) {
    Verdict v;
    if (S_ISLNK(mode)) {
        v.refuse = true;
        v.reason = "is a symbolic link";
        return v;
    }
    if (!S_ISDIR(mode)) {
        v.refuse = true;
        v.reason = "is not a directory";
        return v;
    }
    if (owner != euid && owner != 0) {
        if (euid != 0) {
            v.refuse = true;
            v.reason = "belongs to user " + std::to_string(owner);
            return v;
        }
        v.takeOwnership = true;
        v.unsafe = true;
        v.reason = "belonged to user " + std::to_string(owner);
    }
    if ((mode & 07777) != DIR_MODE) {
        v.setMode = true;
        if ((mode & S_IWOTH) && !(mode & S_ISVTX)) {
            v.unsafe = true;
            char buf[64];
            snprintf(buf, sizeof(buf), "mode was %04o", static_cast<unsigned>(mode & 07777));
            v.reason += (v.reason.empty() ? "" : ", ") + std::string(buf);
        }
    }
    return v;
}

RuntimeDir::Verdict RuntimeDir::JudgeSocket(mode_t mode, uid_t owner, uid_t euid) {
    Verdict v;
    if (!S_ISSOCK(mode)) {
        v.refuse = true;
        v.reason = "is not a socket";
    } else if (owner != euid) {
        v.refuse = true;
        v.reason = "belongs to user " + std::to_string(owner);
    }
    return v;
}

bool RuntimeDir::Prepare(const std::string& dir) {
    struct stat st;
    bool fresh = false;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || mkdir(dir.c_str(), 0777) != 0 || lstat(dir.c_str(), &st) != 0) {
            LogErr(VB_COMMAND, "Command socket directory %s cannot be created: %s\n", dir.c_str(),
                   strerror(errno));
            return false;
        }
        fresh = true;
    }
    Verdict v = JudgeDir(st.st_mode, st.st_uid, geteuid());
    if (v.refuse) {
        LogErr(VB_COMMAND, "Command socket directory %s %s; refusing to use it (remove it and start again)\n",
               dir.c_str(), v.reason.c_str());
        return false;
    }
    if (v.takeOwnership && chown(dir.c_str(), geteuid(), static_cast<gid_t>(-1)) != 0) {
        LogErr(VB_COMMAND, "Command socket directory %s %s and cannot be taken over: %s\n", dir.c_str(),
               v.reason.c_str(), strerror(errno));
        return false;
    }
    if (v.setMode && chmod(dir.c_str(), DIR_MODE) != 0) {
        if (v.unsafe) {
            LogErr(VB_COMMAND, "Command socket directory %s %s and cannot be fixed: %s; refusing to use it\n",
                   dir.c_str(), v.reason.c_str(), strerror(errno));
            return false;
        }
        LogWarn(VB_COMMAND, "Command socket directory %s: cannot set mode %04o (%s); left at %04o\n",
                dir.c_str(), static_cast<unsigned>(DIR_MODE), strerror(errno),
                static_cast<unsigned>(st.st_mode & 07777));
    }
    if (!fresh && v.unsafe) {
        LogWarn(VB_COMMAND,
                "Command socket directory %s %s; fixed (mode %04o, owned by this daemon's user)\n",
                dir.c_str(), v.reason.c_str(), static_cast<unsigned>(DIR_MODE));
    }
    return true;
}

bool RuntimeDir::CheckSocket(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        LogErr(VB_COMMAND, "Command socket %s is missing after bind: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    Verdict v = JudgeSocket(st.st_mode, st.st_uid, geteuid());
    if (v.refuse) {
        LogErr(VB_COMMAND, "Command socket %s %s; refusing it\n", path.c_str(), v.reason.c_str());
        return false;
    }
    LogInfo(VB_COMMAND, "Command socket %s: local only, mode %04o, directory mode %04o\n", path.c_str(),
            static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(DIR_MODE));
    return true;
}
