#include "settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "common.h"
#include "platform/Logging.h"

// Module state is defined before `settings` so that it is constructed first:
// the store's constructor already needs the install directory.
static std::string LYR_BIN_DIR;
static std::string LYR_MEDIA_DIR;
static std::map<std::string, std::string> UPDATES;
// Guards `settings.values` for the getters, which HTTP and worker threads call
// while the main thread may still be setting values (a Json::Value is not safe
// for a concurrent read and insert).
static std::mutex valuesLock;

SettingsConfig settings;

namespace {

const char* const DEFAULT_MEDIA_DIR = "/home/lyr/media";

// A member of a JSON object as text, or "" when it is absent or cannot be
// shown as text (an object or array where a string was expected).
std::string memberText(const Json::Value& obj, const char* name) {
    if (!obj.isObject() || !obj.isMember(name)) return "";
    const Json::Value& v = obj[name];
    if (v.isNull() || !v.isConvertibleTo(Json::stringValue)) return "";
    return v.asString();
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string trimmed(const std::string& s, int quotesToo) {
    char* t = trimwhitespace(s.c_str(), quotesToo);
    std::string r(t);
    free(t);
    return r;
}

// One line of the settings file (with or without its newline).  Returns
// true with name and value set for a valid pair; reports a name without a
// value on stderr.
bool parseSettingsLine(const std::string& raw, std::string& name, std::string& value) {
    // The file is text; anything after a NUL byte is not part of the line.
    std::string line(raw.c_str());
    size_t eq = line.find('=');
    name = trimmed(line.substr(0, eq), 1);
    if (name.empty()) return false;
    size_t valueStart = (eq == std::string::npos) ? line.size() : line.find_first_not_of('=', eq);
    if (valueStart == std::string::npos || valueStart >= line.size()) {
        fprintf(stderr, "Error tokenizing value for %s setting\n", name.c_str());
        return false;
    }
    size_t valueEnd = line.find('=', valueStart);
    value = trimmed(
        line.substr(valueStart, valueEnd == std::string::npos ? std::string::npos : valueEnd - valueStart),
        1);
    return true;
}

bool readLine(FILE* f, std::string& line) {
    line.clear();
    int c;
    while ((c = fgetc(f)) != EOF) {
        line += static_cast<char>(c);
        if (c == '\n') return true;
    }
    return !line.empty();
}

// Builds the upgraded file content from the current one.  False when the
// current file cannot be read completely.
bool buildUpgradedContent(const std::string& path, std::map<std::string, std::string>& updates,
                          std::string& out) {
    FILE* in = fopen(path.c_str(), "r");
    if (!in) {
        LogErr(VB_SETTING, "Unable to open %s to upgrade settings: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    std::string line;
    while (readLine(in, line)) {
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (line.empty()) continue;
        size_t sep = line.find(" = ");
        if (sep != std::string::npos) {
            auto it = updates.find(line.substr(0, sep));
            if (it != updates.end()) {
                line = it->second;
                updates.erase(it);
            }
        }
        out += line;
        out += '\n';
    }
    bool failed = ferror(in) != 0;
    fclose(in);
    if (failed) {
        LogErr(VB_SETTING, "Error reading %s, leaving it unchanged\n", path.c_str());
        return false;
    }
    for (auto& u : updates) {
        out += u.second;
        out += '\n';
    }
    return true;
}

// Replaces `path` by `content` in one rename, so that a crash or a full disk
// leaves either the old or the new file.  The new file keeps the old one's
// mode and (where allowed) owner.
bool replaceFileKeepingPerms(const std::string& path, const std::string& content) {
    std::string target = path;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) target = resolved;  // keep a symlinked settings file a symlink

    struct stat st;
    bool haveOld = stat(target.c_str(), &st) == 0;
    std::string tmp = target + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0) {
        LogErr(VB_SETTING, "Unable to create a temporary file beside %s: %s\n", target.c_str(),
               strerror(errno));
        return false;
    }
    bool ok = WriteAll(fd, content) && fsync(fd) == 0;
    if (ok && haveOld) {
        ok = fchmod(fd, st.st_mode & 07777) == 0;
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Not running as root: the file stays ours, which is still readable by us.
        }
    }
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(tmp.c_str(), target.c_str()) != 0) {
        LogErr(VB_SETTING, "Unable to replace %s: %s\n", target.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void applyMode(const std::string& value) {
    if (value == "player") {
        settings.lyrMode = PLAYER_MODE;
    } else if (value == "remote") {
        settings.lyrMode = REMOTE_MODE;
    } else if (value == "bridge") {
        settings.lyrMode = PLAYER_MODE;
        UPDATES["lyrMode"] = "lyrMode = \"player\"";
    } else if (value == "master") {
        settings.lyrMode = PLAYER_MODE;
        {
            std::lock_guard<std::mutex> l(valuesLock);
            settings.values["lyrMode"] = "player";
            settings.values["LockstepEnabled"] = "1";
        }
        UPDATES["lyrMode"] = "lyrMode = \"player\"";
        UPDATES["LockstepEnabled"] = "LockstepEnabled = \"1\"";
    } else {
        fprintf(stderr, "Error parsing mode\n");
        exit(1);
    }
}

}  // namespace

SettingsConfig::SettingsConfig() : lyrMode(static_cast<::lyrMode>(0)), settingsInfo(), values() {
    LoadSettingsInfo();
}

void SettingsConfig::LoadSettingsInfo() {
    std::string path = getLyrDDir("/www/settings.json");
    if (!LoadJsonFromFile(path, settingsInfo)) settingsInfo = Json::Value();
    const Json::Value& info = settingsInfo;
    if (!info.isObject() || !info["settings"].isObject()) {
        if (!info.isNull()) LogWarn(VB_SETTING, "%s has no \"settings\" object; no defaults\n", path.c_str());
        return;
    }
    Json::Value all = info["settings"];
    for (const auto& name : all.getMemberNames()) {
        const Json::Value& entry = all[name];
        std::string type = memberText(entry, "type");
        std::string def;
        if (entry.isObject() && entry.isMember("default")) {
            def = memberText(entry, "default");
        } else if (type == "checkbox" || type == "number") {
            def = "0";
        }
        {
            std::lock_guard<std::mutex> l(valuesLock);
            values[name] = def;
        }
        LogExcess(VB_SETTING, "Setting default for '%s' setting to '%s'\n", name.c_str(), def.c_str());
    }
}

void SettingsConfig::Init() {
    lyrMode = PLAYER_MODE;
    std::string script = getLyrDDir("/scripts/get_uuid");
    if (access(script.c_str(), F_OK) == 0) {
        FILE* p = popen(shellQuote(script).c_str(), "r");
        if (!p) {
            LogWarn(VB_SETTING, "Couldn't execute get_uuid\n");
        } else {
            char buf[500];
            if (fgets(buf, sizeof(buf), p)) {
                size_t len = strlen(buf);
                if (len > 0 && buf[len - 1] == '\n') buf[len - 1] = '\0';
                std::lock_guard<std::mutex> l(valuesLock);
                values["SystemUUID"] = buf;
            }
            pclose(p);
        }
    }
    bool haveUUID;
    {
        std::lock_guard<std::mutex> l(valuesLock);
        // The description file gives every setting a default, "SystemUUID"
        // an empty one: empty counts as not found.
        haveUUID = values.isMember("SystemUUID") && !values["SystemUUID"].asString().empty();
        if (!haveUUID) values["SystemUUID"] = "Unknown";
    }
    if (!haveUUID) LogWarn(VB_SETTING, "Couldn't find UUID\n");
}

int LoadSettings(const char* unused) {
    settings.Init();
    std::string path = getLyrMediaDir("/settings");
    if (!FileExists(path)) {
        LogWarn(VB_SETTING, "Attempted to load settings file %s which does not exist!\n", path.c_str());
        return -1;
    }
    FILE* f = fopen(path.c_str(), "r");
    if (!f) {
        LogWarn(VB_SETTING, "Warning: couldn't open settings file: '%s'!\n", path.c_str());
        return -1;
    }
    std::string line;
    line.reserve(256);
    while (readLine(f, line)) {
        if (line.size() <= 1) continue;
        std::string name, value;
        if (parseSettingsLine(line, name, value)) SetSetting(name, value);
    }
    fclose(f);
    UpgradeSettings();
    return 0;
}

std::string getSetting(const char* name, const char* def) {
    std::string fallback = def ? def : "";
    if (!name || !*name) {
        LogErr(VB_SETTING, "getSetting() called with NULL or empty value\n");
        return fallback;
    }
    std::string result = fallback;
    {
        std::lock_guard<std::mutex> l(valuesLock);
        const Json::Value& v = settings.values;
        if (v.isObject() && v.isMember(name)) result = memberText(v, name);
    }
    LogExcess(VB_SETTING, "getSetting(%s) returning '%s'\n", name, result.c_str());
    return result;
}

int getSettingInt(const char* name, int def) {
    if (!name || !*name) {
        LogErr(VB_SETTING, "getSettingInt() called with NULL or empty value\n");
        return def;
    }
    int result = def;
    {
        std::lock_guard<std::mutex> l(valuesLock);
        const Json::Value& v = settings.values;
        if (v.isObject() && v.isMember(name)) {
            result = static_cast<int>(strtol(memberText(v, name).c_str(), nullptr, 10));
        }
    }
    LogExcess(VB_SETTING, "getSettingInt(%s) returning %d\n", name, result);
    return result;
}

int SetSetting(std::string name, std::string value) {
    {
        std::lock_guard<std::mutex> l(valuesLock);
        settings.values[name] = value;
    }
    if (name == "lyrMode") {
        applyMode(value);
    } else if (startsWith(name, "LogLevel_")) {
        std::string level = value.empty() ? "warn" : value;
        if (!LyrLogger::INSTANCE.SetLevel(name, level)) {
            LogWarn(VB_SETTING, "Unknown log facility or level in %s = '%s'\n", name.c_str(), level.c_str());
        }
    }
    return 1;
}

int SetSetting(std::string name, int value) {
    return SetSetting(std::move(name), std::to_string(value));
}

int SaveSettings() {
    return 0;
}

bool WriteSettingsFile(const std::map<std::string, std::string>& values) {
    std::string path = getLyrMediaDir("/settings");
    if (access(path.c_str(), F_OK) != 0) {
        FILE* f = fopen(path.c_str(), "a");  // a first save on a board with no settings file yet
        if (f) fclose(f);
    }
    std::map<std::string, std::string> lines;
    for (const auto& v : values) lines[v.first] = v.first + " = \"" + v.second + "\"";
    std::string content;
    if (!buildUpgradedContent(path, lines, content)) return false;
    return replaceFileKeepingPerms(path, content);
}

void UpgradeSettings() {
    if (UPDATES.empty()) return;
    std::string path = getLyrMediaDir("/settings");
    std::map<std::string, std::string> updates;
    updates.swap(UPDATES);
    std::string content;
    if (!buildUpgradedContent(path, updates, content)) return;
    if (replaceFileKeepingPerms(path, content)) {
        LogInfo(VB_SETTING, "Upgraded legacy mode values in %s\n", path.c_str());
    }
}

::lyrMode getLyrmode() {
    return settings.lyrMode;
}

char* modeToString(int mode) {
    switch (mode) {
        case BRIDGE_MODE:
            return strdup("bridge");
        case PLAYER_MODE:
            return strdup("player");
        case MASTER_MODE:
            return strdup("master");
        case REMOTE_MODE:
            return strdup("remote");
        default:
            return strdup("unknown");
    }
}

std::string getLyrmodeStr(::lyrMode mode) {
    char* text = modeToString(mode == 0 ? settings.lyrMode : mode);
    if (!text) return "unknown";
    std::string r(text);
    free(text);
    return r;
}

bool IsKnownModeString(const std::string& text) {
    return text == "player" || text == "remote" || text == "bridge" || text == "master";
}

std::string getLyrDDir(const std::string& suffix) {
    if (LYR_BIN_DIR.empty()) {
        char buf[2048];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
        std::string exe = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
        for (int i = 0; i < 2; i++) {
            size_t slash = exe.rfind('/');
            exe = (slash == std::string::npos) ? std::string() : exe.substr(0, slash);
        }
        LYR_BIN_DIR = exe;
    }
    return LYR_BIN_DIR + suffix;
}

std::string getLyrMediaDir(const std::string& suffix) {
    if (LYR_MEDIA_DIR.empty()) {
        std::string pointer = getLyrDDir("/www/media_root.txt");
        std::string dir, stored;
        if (FileExists(pointer)) {
            stored = dir = GetFileContents(pointer);
            TrimWhiteSpace(dir);
        }
        if (dir.empty()) dir = DEFAULT_MEDIA_DIR;
        LYR_MEDIA_DIR = dir;
        // The pointer is written back only when it does not already say so:
        // an installed tree is read-only to the service account, and a
        // packaged pointer is a link to the administrator's file in /etc,
        // which a rewrite would replace by a plain file.
        if (stored != dir && stored != dir + "\n" && !PutFileContents(pointer, dir)) {
            LogWarn(VB_SETTING, "Media directory %s is not recorded in %s (read-only install?)\n",
                    dir.c_str(), pointer.c_str());
        }
    }
    return LYR_MEDIA_DIR + suffix;
}

char* trimwhitespace(const char* s, int quotesToo) {
    if (!s) s = "";
    auto strip = [quotesToo](unsigned char c) { return isspace(c) || (quotesToo && c == '"'); };
    const char* start = s;
    while (*start && strip(static_cast<unsigned char>(*start))) start++;
    const char* end = start + strlen(start);
    while (end > start && strip(static_cast<unsigned char>(end[-1]))) end--;
    size_t len = static_cast<size_t>(end - start);
    char* out = static_cast<char*>(malloc(len + 1));
    if (!out) {
        fprintf(stderr, "Failed to allocate memory for string trimming\n");
        exit(1);
    }
    memcpy(out, start, len);
    out[len] = '\0';
    return out;
}

void ResetLyrDirsForTesting(const std::string& binDir, const std::string& mediaDir) {
    LYR_BIN_DIR = binDir;
    LYR_MEDIA_DIR = mediaDir;
    UPDATES.clear();
}
