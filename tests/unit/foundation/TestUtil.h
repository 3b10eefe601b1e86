// Small helpers shared by the foundation tests: a temporary directory that
// removes itself, whole-file reads and writes, and a log line recorder.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Logging.h"

namespace testutil {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/lyrd-test-XXXXXX";
        char* p = mkdtemp(tmpl);
        if (p) path_ = p;
    }
    ~TempDir() {
        if (!path_.empty()) {
            nftw(
                path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
                16, FTW_DEPTH | FTW_PHYS);
        }
    }
    const std::string& path() const { return path_; }
    std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void makeDir(const std::string& path) {
    mkdir(path.c_str(), 0775);
}

inline std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> out;
    std::string cmd = "ls -A '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[1024];
    while (fgets(buf, sizeof(buf), p)) {
        std::string s(buf);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        out.push_back(s);
    }
    pclose(p);
    return out;
}

// Records every log line while it exists.
class LogCapture {
public:
    struct Line {
        int level;
        std::string facility;
        std::string message;
    };
    LogCapture() {
        SetLogSink([this](int level, const std::string& facility, const std::string& message) {
            std::lock_guard<std::mutex> l(lock_);
            lines_.push_back({level, facility, message});
        });
    }
    ~LogCapture() { SetLogSink(nullptr); }

    std::vector<Line> lines() {
        std::lock_guard<std::mutex> l(lock_);
        return lines_;
    }
    bool contains(const std::string& text) {
        for (const auto& l : lines()) {
            if (l.message.find(text) != std::string::npos) return true;
        }
        return false;
    }
    bool containsAt(int level, const std::string& text) {
        for (const auto& l : lines()) {
            if (l.level == level && l.message.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    std::mutex lock_;
    std::vector<Line> lines_;
};

// Sets every facility to one level for a test and puts the old levels back.
class LogLevels {
public:
    LogLevels() {
        for (auto* l : LyrLogger::INSTANCE.all()) saved_.push_back(l->level.load());
    }
    ~LogLevels() {
        auto all = LyrLogger::INSTANCE.all();
        for (size_t i = 0; i < all.size(); i++) all[i]->level = saved_[i];
    }

private:
    std::vector<int> saved_;
};

}  // namespace testutil
