#include "FuzzSupport.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Logging.h"
#include "settings.h"

namespace fuzz {

namespace {

std::string makeSandbox() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/lyrd-fuzz-XXXXXX";
    if (!mkdtemp(&tmpl[0])) {
        perror("lyrd fuzz: mkdtemp");
        abort();
    }
    for (const char* sub : {"/config", "/playlists", "/sequences", "/music", "/videos", "/scripts", "/tmp",
                            "/www", "/effects", "/crashes", "/plugins", "/upload"}) {
        mkdir((tmpl + sub).c_str(), 0775);
    }
    // Both directories point into the sandbox, so nothing the code under
    // test reads or writes lies outside it.
    ResetLyrDirsForTesting(tmpl, tmpl);
    // Lines are still formatted (a bad format argument still shows), then
    // dropped; the console stays free for the fuzzer's own report.
    SetLogFile("/dev/null", false);
    ResetLogLevels();
    static std::string dir = tmpl;
    atexit([] {
        nftw(
            dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    });
    return tmpl;
}

}  // namespace

int LogLevel() {
    static const int level = [] {
        const char* e = getenv("LYRD_FUZZ_LOG");
        int l = e ? LogLevelFromString(e) : -1;
        return l < 0 ? static_cast<int>(LOG_INFO) : l;
    }();
    return level;
}

void ResetLogLevels() {
    for (auto* l : LyrLogger::INSTANCE.all()) l->level = LogLevel();
}

const std::string& MediaDir() {
    static const std::string dir = makeSandbox();
    return dir;
}

std::string MediaPath(const std::string& rel) { return MediaDir() + rel; }

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = size == 0 || fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

bool WriteFile(const std::string& path, const std::string& text) {
    return WriteFile(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

std::string Text(const uint8_t* data, size_t size) { return std::string(reinterpret_cast<const char*>(data), size); }

std::vector<std::string> Pieces(const uint8_t* data, size_t size, size_t maxPieces) {
    std::string all = Text(data, size);
    std::vector<std::string> out;
    const std::string sep = "\n--\n";
    size_t start = 0;
    while (out.size() + 1 < maxPieces) {
        size_t at = all.find(sep, start);
        if (at == std::string::npos) break;
        out.push_back(all.substr(start, at - start));
        start = at + sep.size();
    }
    out.push_back(all.substr(start));
    return out;
}

}  // namespace fuzz
