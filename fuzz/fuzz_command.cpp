// The text command processor, fed datagrams as the command socket delivers
// them: at most COMMAND_BUFFER_SIZE - 1 bytes, NUL-terminated, with binary
// bytes and embedded NULs as sent.  One input is a burst of up to eight
// datagrams separated by "\n--\n", run in order from the same start state.
//
// Neutralised: "q" (it sleeps before asking for a stop) and a playlist start
// while one plays (it sleeps a second) are skipped; the stop
// and restart requests reach no handler; presets, playlists and settings
// live in the sandbox; a sequence player with one short sequence exists (a
// sequence it starts is closed, and the output thread stopped, before the
// input ends); no scheduler or media output exists.
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "Player.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/LSEQFile.h"
#include "channeloutput/Sequence.h"
#include "command.h"
#include "platform/ChannelTester.h"
#include "platform/Logging.h"
#include "playlist/Playlist.h"
#include "settings.h"

namespace {

void setUp() {
    fuzz::MediaDir();
    // A short playlist so "p"/"P", the stop commands and the playing status
    // forms have something to work on.
    fuzz::WriteFile(fuzz::MediaPath("/playlists/show.json"),
                    R"({"name": "show", "mainPlaylist": [{"type": "pause", "duration": 60},)"
                    R"( {"type": "pause", "duration": 60}]})");
    WriteLSEQTestSequence(fuzz::MediaPath("/sequences/seq.lseq"), 30, 40, 25, "song.mp3");
    Player::INSTANCE.Init();
    sequence = new Sequence();
}

void resetState() {
    settings.lyrMode = PLAYER_MODE;
    fuzz::ResetLogLevels();
    if (Player::INSTANCE.GetStatus() != 0) Player::INSTANCE.StopNow(true);
    if (sequence->IsSequenceRunning()) sequence->CloseSequenceFile();
    // A test pattern runs on the channel-output thread: end both, so no
    // thread outlives the input that started it.
    if (ChannelTester::INSTANCE.Testing()) ChannelTester::INSTANCE.SetupTest(std::string(R"({"enabled": 0})"));
    if (ChannelOutputThreadIsRunning()) StopChannelOutputThread();
}

bool skipped(const std::string& datagram) {
    std::string text(datagram.c_str());
    std::string cmd = text.substr(0, text.find(','));
    if (cmd == "q") return true;
    // Starting a playlist over a playing one waits a second for the old one
    // to wind down; one start per burst keeps the fuzzer fast.
    return (cmd == "p" || cmd == "P") && Player::INSTANCE.GetStatus() != 0;
}

void runOne(const std::string& datagram) {
    if (skipped(datagram)) return;
    // Exactly the sizes CommandProc uses, on the heap so an overrun shows.
    size_t n = std::min(datagram.size(), static_cast<size_t>(COMMAND_BUFFER_SIZE - 1));
    char* command = static_cast<char*>(calloc(COMMAND_BUFFER_SIZE, 1));
    char* reply = static_cast<char*>(calloc(COMMAND_BUFFER_SIZE, 1));
    memcpy(command, datagram.data(), n);
    char* big = ProcessCommand(command, reply);
    if (big) {
        volatile size_t len = strlen(big);
        (void)len;
        free(big);
    } else {
        // The reply is always a terminated string within its buffer.
        if (!memchr(reply, 0, COMMAND_BUFFER_SIZE)) abort();
    }
    free(command);
    free(reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (setUp(), true);
    (void)ready;
    resetState();
    for (const std::string& d : fuzz::Pieces(data, size, 8)) runOne(d);
    resetState();
    return 0;
}
