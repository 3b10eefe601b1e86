// Playlist figures: load time of a 2,000-entry playlist file and the cost of
// one engine tick while an entry plays (the entry's own work is nothing, so
// this is the engine's overhead).  Prints figures; asserts nothing.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "bench_result.h"
#include "platform/Logging.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistEntryBase.h"
#include "settings.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Plays until told otherwise and costs nothing per tick.
class IdleEntry : public PlaylistEntryBase {
public:
    explicit IdleEntry(Playlist* p) : PlaylistEntryBase(p) { type = "idle"; }
};

std::string MakeMediaDir() {
    char tmpl[] = "/tmp/lyrd-bench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    mkdir((dir + "/playlists").c_str(), 0755);
    return dir;
}

void WritePlaylist(const std::string& path, int entries) {
    std::ofstream out(path);
    out << "{\"name\": \"big\", \"repeat\": 1, \"mainPlaylist\": [\n";
    for (int i = 0; i < entries; i++) {
        // A mix of the cheap kinds that need no files to exist.
        if (i % 3 == 0) {
            out << "{\"type\": \"pause\", \"duration\": 1.5}";
        } else if (i % 3 == 1) {
            out << "{\"type\": \"command\", \"command\": \"Volume Set\", \"args\": [\"50\"]}";
        } else {
            out << "{\"type\": \"sequence\", \"sequenceName\": \"seq" << i << ".lseq\"}";
        }
        out << (i + 1 < entries ? ",\n" : "\n");
    }
    out << "]}\n";
}

}  // namespace

int main() {
    LyrLogger::INSTANCE.SetAllLevels(LOG_ERR);
    std::string dir = MakeMediaDir();
    ResetLyrDirsForTesting(dir, dir);
    const int entries = 2000;
    WritePlaylist(dir + "/playlists/big.json", entries);

    Playlist pl(nullptr);
    const int loads = 20;
    double best = 1e18, total = 0;
    for (int i = 0; i < loads; i++) {
        auto t0 = Clock::now();
        pl.Load("big");
        double us = Micros(Clock::now() - t0);
        best = us < best ? us : best;
        total += us;
    }
    printf("load of a %d-entry playlist: best %.2f ms, mean %.2f ms over %d loads (target under 50 ms)\n", entries,
           best / 1000, total / loads / 1000, loads);
    printf("entries loaded: %zu\n", pl.mainPlaylist.size());
    benchres::result("playlist load, 2000 entries", "< 50 ms", "-", "%.2f ms best (mean %.2f)", best / 1000,
                     total / loads / 1000);

    pl.Cleanup();
    for (int i = 0; i < 10; i++) pl.mainPlaylist.push_back(new IdleEntry(&pl));
    pl.NumberEntries();
    playlist = &pl;
    pl.Start();
    const int ticks = 200000;
    auto t0 = Clock::now();
    for (int i = 0; i < ticks; i++) pl.Process();
    double per = Micros(Clock::now() - t0) / ticks;
    printf("Process() tick while an entry plays: %.3f us (target under 20 us)\n", per);
    benchres::result("playlist Process() tick", "< 20 us", "-", "%.3f us", per);
    pl.StopNow(0);
    playlist = nullptr;

    nftw(dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
    return 0;
}
