// Playlist files through Playlist::Load: the sections, every entry kind's
// Init, inlined "playlist" elements (the second piece of the input, after a
// "\n--\n" line, is the file "sub.json" they may name) and the queries the
// status documents make of a loaded playlist.
//
// Neutralised: nothing is played (no media output, script or download is
// started); files are read from the sandbox only.
#include "FuzzSupport.h"
#include "playlist/Playlist.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::MediaDir(), true);
    (void)ready;
    std::vector<std::string> pieces = fuzz::Pieces(data, size, 2);
    fuzz::WriteFile(fuzz::MediaPath("/playlists/fuzz.json"), pieces[0]);
    if (pieces.size() > 1) fuzz::WriteFile(fuzz::MediaPath("/playlists/sub.json"), pieces[1]);

    Playlist* pl = new Playlist(nullptr);
    if (pl->Load("fuzz")) {
        (void)pl->GetInfo();
        (void)pl->GetConfig();
        (void)pl->GetConfigStr();
        (void)pl->GetMqttStatusJSON();
        int n = pl->GetSize();
        for (int pos : {0, 1, n / 2, n - 1, n, -1}) {
            std::string seq, media;
            pl->GetFilenamesForPos(pos, seq, media);
            (void)pl->GetPosStartInMS(pos);
        }
        for (uint64_t ms : {uint64_t(0), uint64_t(1500), uint64_t(3600000), ~uint64_t(0)}) {
            uint64_t at = ms;
            (void)pl->FindPosForMS(at);
        }
        (void)pl->ReplaceMatches("%PLAYLIST_NAME% %%");
    }
    delete pl;
    fuzz::RemoveFile(fuzz::MediaPath("/playlists/sub.json"));
    fuzz::ResetLogLevels();
    return 0;
}
