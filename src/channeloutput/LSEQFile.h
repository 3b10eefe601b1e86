// Reader and writer of ".lseq" sequence files (layout in docs/lseq.md).
//
// A sequence file holds fixed-size frames of channel data played at a fixed
// frame interval, plus a few variable headers (two-character code and data;
// "mf" names the media file).  The reader checks every length against the
// file size before it trusts it, so truncated, oversized or hostile files are
// refused with a log line instead of crashing or over-reading.  Frames are
// read on demand with positioned reads; the file is never read whole.
//
// Threading: an open LSEQFile is immutable; readFrame() may be called from
// any thread, also concurrently.  LSEQWriter is single-threaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class LSEQFile {
public:
    struct VariableHeader {
        char code[2];
        std::vector<uint8_t> data;

        bool is(const char* twoChars) const { return code[0] == twoChars[0] && code[1] == twoChars[1]; }
        // The data as text, up to the first NUL (or all of it when none).
        std::string text() const;
    };

    static constexpr uint16_t MAJOR_VERSION = 1;
    static constexpr uint16_t MINOR_VERSION = 0;
    static constexpr uint32_t FIXED_HEADER_SIZE = 24;
    static constexpr uint32_t MAX_CHANNELS = 16 * 1024 * 1024;
    static constexpr uint32_t MAX_FRAME_INTERVAL_MS = 10000;

    // The object, or nullptr (with an error log line) when the file cannot be
    // opened or is not a well-formed sequence file.
    static LSEQFile* openLSEQFile(const std::string& filename);
    virtual ~LSEQFile();

    LSEQFile(const LSEQFile&) = delete;
    LSEQFile& operator=(const LSEQFile&) = delete;

    const std::string& getFilename() const { return filename; }
    uint32_t getChannelCount() const { return channelCount; }
    uint32_t getNumFrames() const { return numFrames; }
    // Frame interval in milliseconds, 1 or more.
    int getStepTime() const { return stepTime; }
    uint64_t getLengthMS() const { return uint64_t(numFrames) * stepTime; }
    uint16_t getMinorVersion() const { return minorVersion; }

    const std::vector<VariableHeader>& getVariableHeaders() const { return variableHeaders; }
    const VariableHeader* findVariableHeader(const char* twoChars) const;
    // Text of the "mf" header, or "".
    std::string getMediaFilename() const;

    // Copies min(size, channel count) bytes of frame `frame` into dst and
    // zeroes the rest of dst.  False (dst zeroed) when the frame is out of
    // range or the file can no longer be read (e.g. shrunk since opening).
    bool readFrame(uint32_t frame, uint8_t* dst, uint32_t size) const;

private:
    LSEQFile() = default;
    bool parse(int fd, uint64_t fileSize);

    std::string filename;
    int fd = -1;
    uint16_t minorVersion = 0;
    uint32_t headerSize = 0;
    uint32_t channelCount = 0;
    uint32_t numFrames = 0;
    int stepTime = 0;
    std::vector<VariableHeader> variableHeaders;
};

// Writes a sequence file.  Frames are written as they are added, to
// `filename` + ".tmp"; close() fills in the frame count, syncs the data and
// renames the temporary file over `filename` (then syncs the folder), so a
// failed or abandoned write, a crash or a power loss never leaves a
// half-written sequence under the real name, and an existing file of that
// name stays as it was until the new one is complete.
class LSEQWriter {
public:
    LSEQWriter(const std::string& filename, uint32_t channelCount, int stepTimeMS);
    ~LSEQWriter();  // abandons the file unless close() succeeded

    // Only before the first frame.  Text data gets its terminating NUL.
    bool addVariableHeader(const char* twoChars, const std::vector<uint8_t>& data);
    bool addVariableHeader(const char* twoChars, const std::string& text);
    // `data` holds channelCount bytes.
    bool addFrame(const uint8_t* data);
    bool close();

    bool ok() const { return good; }
    uint32_t frameCount() const { return frames; }
    // strerror text of the first failed system call, "" when none failed.
    const std::string& error() const { return errorText; }
    const std::string& tempName() const { return tmpName; }

private:
    bool fail();  // keeps errno's text; returns false
    bool writeHeader();

    std::string filename;
    std::string tmpName;
    uint32_t channelCount;
    int stepTime;
    uint32_t frames = 0;
    int fd = -1;
    bool good = true;
    bool headerWritten = false;
    std::vector<LSEQFile::VariableHeader> headers;
    std::string errorText;
};

// Test pattern used by tests, benchmarks and the demo: byte c of frame f is
// (f + c) & 0xFF, except that the first four bytes hold f (big-endian) so a
// receiver can tell which frame it got.
void FillLSEQTestFrame(uint32_t frame, uint8_t* data, uint32_t channelCount);
// Writes a whole pattern sequence; mediaFile "" writes no "mf" header.
bool WriteLSEQTestSequence(const std::string& filename, uint32_t channelCount, uint32_t frames, int stepTimeMS,
                           const std::string& mediaFile = "");
