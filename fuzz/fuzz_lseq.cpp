// ".lseq" sequence files through LSEQFile::openLSEQFile: the fixed header,
// the variable headers, the frame index; then frames are read at the edges
// and the sequence player prepares the file as a sync packet or the command
// socket would ask it to (at a start second, which divides by the interval).
//
// Neutralised: only the prepare step of the sequence player runs, nothing
// is started or sent; the file lies in the sandbox.
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "channeloutput/LSEQFile.h"
#include "channeloutput/Sequence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::MediaDir(), true);
    (void)ready;
    const std::string path = fuzz::MediaPath("/sequences/fuzz.lseq");
    fuzz::WriteFile(path, data, size);
    std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(path));
    if (f) {
        (void)f->getMediaFilename();
        (void)f->getLengthMS();
        for (const auto& h : f->getVariableHeaders()) (void)h.text();
        (void)f->findVariableHeader("mf");
        uint32_t channels = std::min<uint32_t>(f->getChannelCount(), 1 << 16);
        std::vector<uint8_t> frame(channels + 1);
        uint32_t n = f->getNumFrames();
        for (uint32_t i : {0u, 1u, n / 2, n - 1, n, n + 1}) f->readFrame(i, frame.data(), channels);
        f.reset();
        static Sequence* player = new Sequence();
        player->OpenSequenceFile("fuzz.lseq", 0, 7);
        player->OpenSequenceFile("fuzz.lseq", 3, -1);
    }
    fuzz::ResetLogLevels();
    return 0;
}
