#include "webpage/FileStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Portal.h"
#include "common.h"
#include "platform/Logging.h"
#include "settings.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

namespace {

std::shared_ptr<http_response> answer(int code, const std::string& message,
                                      Json::Value extra = Json::Value()) {
    Json::Value r = extra.isObject() ? extra : Json::Value(Json::objectValue);
    if (code == 200)
        SetOKResult(r, message);
    else
        SetErrorResult(r, code, message);
    return std::make_shared<string_response>(SaveJsonToString(r, ""), code, "application/json");
}

uint64_t freeBytes(const std::string& dir) {
    struct statvfs v;
    if (statvfs(dir.c_str(), &v) != 0) return UINT64_MAX;  // unknown: let the writes tell
    return uint64_t(v.f_bavail) * v.f_frsize;
}

std::string megabytes(uint64_t bytes) {
    return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MB";
}

// One upload in progress: a hidden temporary file beside its target.
class UploadSink : public httpserver::upload_sink {
public:
    UploadSink(std::string dir, std::string name, int fd, std::string tmp, uint64_t limit)
        : dir(std::move(dir)), name(std::move(name)), fd(fd), tmp(std::move(tmp)), limit(limit) {}

    ~UploadSink() override {
        if (fd >= 0) close(fd);
        if (!committed) unlink(tmp.c_str());
    }

    bool write(const char* data, size_t len) override {
        if (!failure.empty()) return false;
        if (limit && written + len > limit) {
            fail(413, "The file is larger than the upload limit of " + megabytes(limit));
            return false;
        }
        // A body of unknown length: check the space as it grows.
        if ((written >> 23) != ((written + len) >> 23) && freeBytes(dir) < kReserve + len) {
            fail(507, "Not enough free space on the board for " + name);
            return false;
        }
        while (len > 0) {
            ssize_t n = ::write(fd, data, len);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fail(errno == ENOSPC ? 507 : 500,
                     std::string("Writing ") + name + " failed: " + strerror(errno));
                return false;
            }
            data += n;
            len -= static_cast<size_t>(n);
            written += static_cast<uint64_t>(n);
        }
        return true;
    }

    std::shared_ptr<http_response> finish() override {
        if (failure.empty() && (fsync(fd) != 0 || close(fd) != 0)) {
            fd = -1;
            fail(500, std::string("Writing ") + name + " failed: " + strerror(errno));
        }
        fd = -1;
        if (!failure.empty()) {
            LogWarn(VB_HTTP, "Upload of %s refused: %s\n", name.c_str(), failure.c_str());
            return answer(failureCode, failure);
        }
        std::string final = dir + "/" + name;
        if (rename(tmp.c_str(), final.c_str()) != 0) {
            std::string why = strerror(errno);
            LogErr(VB_HTTP, "Upload of %s: cannot rename into place: %s\n", name.c_str(), why.c_str());
            return answer(500, "Storing " + name + " failed: " + why);
        }
        committed = true;
        LogInfo(VB_HTTP, "Uploaded %s (%llu bytes)\n", final.c_str(),
                static_cast<unsigned long long>(written));
        Json::Value extra;
        extra["name"] = name;
        extra["size"] = Json::UInt64(written);
        return answer(200, "Stored " + name, extra);
    }

private:
    static constexpr uint64_t kReserve = FileStore::kReserveBytes;
    void fail(int code, const std::string& why) {
        if (!failure.empty()) return;
        failureCode = code;
        failure = why;
    }

    std::string dir, name;
    int fd;
    std::string tmp;
    uint64_t limit;
    uint64_t written = 0;
    bool committed = false;
    int failureCode = 0;
    std::string failure;
};

}  // namespace

const std::vector<std::string>& FileStore::folders() {
    static const std::vector<std::string> f{"sequences", "music",   "videos", "playlists",
                                            "scripts",   "effects", "images"};
    return f;
}

FileStore::FileStore(std::string mediaDir) : mediaDir(std::move(mediaDir)) {}

uint64_t FileStore::uploadLimit() {
    int mb = getSettingInt("uploadSizeLimitMB", 2048);
    return mb <= 0 ? 0 : uint64_t(mb) << 20;
}

bool FileStore::validName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name[0] == '.') return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
    return true;
}

void FileStore::removeLeftovers() {
    for (const auto& f : folders()) {
        std::string dir = mediaDir + "/" + f;
        DIR* d = opendir(dir.c_str());
        if (!d) continue;
        while (dirent* e = readdir(d)) {
            if (strncmp(e->d_name, kTempPrefix, strlen(kTempPrefix)) == 0) {
                std::string p = dir + "/" + e->d_name;
                if (unlink(p.c_str()) == 0) LogInfo(VB_HTTP, "Removed an unfinished upload: %s\n", p.c_str());
            }
        }
        closedir(d);
    }
}

bool FileStore::target(const http_request& req, std::string& folder, std::string& name,
                       std::shared_ptr<http_response>& error) const {
    std::vector<std::string> p = req.get_decoded_raw_pieces();  // ui api files FOLDER NAME
    if (p.size() != 5) {
        error = answer(404, "Use /ui/api/files/FOLDER/NAME");
        return false;
    }
    folder = p[3];
    name = p[4];
    if (std::find(folders().begin(), folders().end(), folder) == folders().end()) {
        error = answer(404, "No such folder: " + folder);
        return false;
    }
    if (!validName(name)) {
        error = answer(400, "Not a file name that can be stored: " + name);
        return false;
    }
    return true;
}

std::shared_ptr<http_response> FileStore::render_GET(const http_request& req) {
    std::vector<std::string> p = req.get_decoded_raw_pieces();
    if (p.size() == 3) {
        Json::Value out;
        for (const auto& f : folders()) {
            Json::Value& list = out["folders"][f] = Json::Value(Json::arrayValue);
            std::string dir = mediaDir + "/" + f;
            DIR* d = opendir(dir.c_str());
            if (!d) continue;
            std::vector<Json::Value> files;
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] == '.') continue;
                struct stat st;
                if (stat((dir + "/" + e->d_name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
                Json::Value v;
                v["name"] = e->d_name;
                v["size"] = Json::UInt64(st.st_size);
                v["mtime"] = Json::Int64(st.st_mtime);
                files.push_back(v);
            }
            closedir(d);
            std::sort(files.begin(), files.end(), [](const Json::Value& a, const Json::Value& b) {
                return a["name"].asString() < b["name"].asString();
            });
            for (auto& v : files) list.append(v);
        }
        out["uploadLimit"] = Json::UInt64(uploadLimit());
        out["free"] = Json::UInt64(freeBytes(mediaDir));
        return std::make_shared<string_response>(SaveJsonToString(out, ""), 200, "application/json");
    }
    std::string folder, name;
    std::shared_ptr<http_response> error;
    if (!target(req, folder, name, error)) return error;
    std::string path = mediaDir + "/" + folder + "/" + name;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) close(fd);
        return answer(404, "No such file: " + folder + "/" + name);
    }
    auto res =
        std::make_shared<httpserver::file_response>(fd, uint64_t(st.st_size), "application/octet-stream");
    std::string quoted;
    for (char c : name) quoted += (c == '"' ? '_' : c);
    res->with_header("Content-Disposition", "attachment; filename=\"" + quoted + "\"");
    res->with_header("Cache-Control", "no-store");
    return res;
}

std::shared_ptr<http_response> FileStore::render_DELETE(const http_request& req) {
    std::string folder, name;
    std::shared_ptr<http_response> error;
    if (!target(req, folder, name, error)) return error;
    std::string path = mediaDir + "/" + folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return answer(404, "No such file: " + folder + "/" + name);
    if (unlink(path.c_str()) != 0) return answer(500, "Deleting " + name + " failed: " + strerror(errno));
    LogInfo(VB_HTTP, "Deleted %s\n", path.c_str());
    return answer(200, "Deleted " + name);
}

std::shared_ptr<http_response> FileStore::render_POST(const http_request& req) {
    // Only reached when open_upload did not take the body: a bad path.
    std::string folder, name;
    std::shared_ptr<http_response> error;
    if (!target(req, folder, name, error)) return error;
    return answer(500, "Upload not started");
}

std::shared_ptr<http_response> FileStore::open_upload(const http_request& req,
                                                      std::unique_ptr<httpserver::upload_sink>& sink) {
    if (req.get_method() != "POST") return answer(405, "Upload with POST");
    std::string folder, name;
    std::shared_ptr<http_response> error;
    if (!target(req, folder, name, error)) return error;
    uint64_t limit = uploadLimit();
    std::string lengthText = req.get_header("Content-Length");
    uint64_t length = 0;
    if (!lengthText.empty()) {
        char* end = nullptr;
        errno = 0;
        length = strtoull(lengthText.c_str(), &end, 10);
        if (errno || !end || *end) return answer(400, "Bad Content-Length");
    }
    if (limit && length > limit)
        return answer(413, name + " is " + megabytes(length) + ", over the upload limit of " +
                               megabytes(limit) + " (setting uploadSizeLimitMB)");
    std::string dir = mediaDir + "/" + folder;
    if (mkdir(dir.c_str(), 0775) != 0 && errno != EEXIST)
        return answer(500, "Cannot create folder " + folder);
    uint64_t space = freeBytes(dir);
    if (space != UINT64_MAX && length + kReserveBytes > space)
        return answer(507, "Not enough free space for " + name + ": it needs " + megabytes(length) + ", " +
                               megabytes(space > kReserveBytes ? space - kReserveBytes : 0) + " can be used");
    std::string tmp = dir + "/" + kTempPrefix + "XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) return answer(500, std::string("Cannot create a file in ") + folder + ": " + strerror(errno));
    fchmod(fd, 0664);
    sink.reset(new UploadSink(dir, name, fd, tmp, limit));
    return nullptr;
}
