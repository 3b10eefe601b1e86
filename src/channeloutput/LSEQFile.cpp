#include "channeloutput/LSEQFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Logging.h"

namespace {

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }
void put16(uint8_t* p, uint16_t v) {
    p[0] = v & 0xFF;
    p[1] = v >> 8;
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (v >> (8 * i)) & 0xFF;
}

// Full positioned read; false on error or end of file.
bool preadAll(int fd, uint8_t* dst, size_t len, uint64_t offset) {
    while (len > 0) {
        ssize_t r = pread(fd, dst, len, offset);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        dst += r;
        len -= r;
        offset += r;
    }
    return true;
}

// Makes a rename in the file's folder durable; a folder that cannot be
// synced (some network file systems) only loses that guarantee.
void syncFolderOf(const std::string& filename) {
    size_t slash = filename.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : filename.substr(0, slash);
    int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return;
    fsync(d);
    close(d);
}

bool writeAll(int fd, const uint8_t* src, size_t len) {
    while (len > 0) {
        ssize_t r = write(fd, src, len);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) errno = ENOSPC;
        if (r <= 0) return false;
        src += r;
        len -= r;
    }
    return true;
}

}  // namespace

std::string LSEQFile::VariableHeader::text() const {
    size_t n = 0;
    while (n < data.size() && data[n] != 0) n++;
    return std::string(reinterpret_cast<const char*>(data.data()), n);
}

LSEQFile* LSEQFile::openLSEQFile(const std::string& filename) {
    int fd = open(filename.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LogErr(VB_SEQUENCE, "Could not open sequence file %s: %s\n", filename.c_str(), strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        LogErr(VB_SEQUENCE, "Sequence file %s is not a regular file\n", filename.c_str());
        close(fd);
        return nullptr;
    }
    LSEQFile* f = new LSEQFile();
    f->filename = filename;
    if (!f->parse(fd, uint64_t(st.st_size))) {
        close(fd);
        delete f;
        return nullptr;
    }
    f->fd = fd;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return f;
}

bool LSEQFile::parse(int fd, uint64_t fileSize) {
    const char* name = filename.c_str();
    uint8_t h[FIXED_HEADER_SIZE];
    if (fileSize < FIXED_HEADER_SIZE || !preadAll(fd, h, sizeof(h), 0)) {
        LogErr(VB_SEQUENCE, "Sequence file %s is too short to be a sequence (%llu bytes)\n", name,
               (unsigned long long)fileSize);
        return false;
    }
    if (memcmp(h, "LSEQ", 4) != 0) {
        LogErr(VB_SEQUENCE, "Sequence file %s is not a .lseq file (bad magic)\n", name);
        return false;
    }
    uint16_t major = get16(h + 4);
    if (major != MAJOR_VERSION) {
        LogErr(VB_SEQUENCE, "Sequence file %s has unsupported version %d.%d\n", name, major, get16(h + 6));
        return false;
    }
    minorVersion = get16(h + 6);
    headerSize = get32(h + 8);
    channelCount = get32(h + 12);
    numFrames = get32(h + 16);
    stepTime = get16(h + 20);
    uint16_t varCount = get16(h + 22);
    if (headerSize < FIXED_HEADER_SIZE || headerSize > fileSize) {
        LogErr(VB_SEQUENCE, "Sequence file %s has a header size of %u in a file of %llu bytes\n", name, headerSize,
               (unsigned long long)fileSize);
        return false;
    }
    if (channelCount == 0 || channelCount > MAX_CHANNELS) {
        LogErr(VB_SEQUENCE, "Sequence file %s has an invalid channel count %u\n", name, channelCount);
        return false;
    }
    if (stepTime < 1 || stepTime > int(MAX_FRAME_INTERVAL_MS)) {
        LogErr(VB_SEQUENCE, "Sequence file %s has an invalid frame interval of %d ms\n", name, stepTime);
        return false;
    }
    uint64_t needed = uint64_t(headerSize) + uint64_t(numFrames) * channelCount;
    if (needed > fileSize) {
        LogErr(VB_SEQUENCE, "Sequence file %s is truncated: %u frames of %u channels need %llu bytes, file has %llu\n",
               name, numFrames, channelCount, (unsigned long long)needed, (unsigned long long)fileSize);
        return false;
    }
    std::vector<uint8_t> vh(headerSize - FIXED_HEADER_SIZE);
    if (!vh.empty() && !preadAll(fd, vh.data(), vh.size(), FIXED_HEADER_SIZE)) {
        LogErr(VB_SEQUENCE, "Could not read the headers of sequence file %s\n", name);
        return false;
    }
    size_t pos = 0;
    for (int i = 0; i < varCount; i++) {
        if (pos + 4 > vh.size()) {
            LogErr(VB_SEQUENCE, "Sequence file %s: variable header %d runs past the header\n", name, i);
            return false;
        }
        uint16_t len = get16(&vh[pos]);
        if (len < 4 || pos + len > vh.size()) {
            LogErr(VB_SEQUENCE, "Sequence file %s: variable header %d has an invalid length %u\n", name, i, len);
            return false;
        }
        VariableHeader v;
        v.code[0] = char(vh[pos + 2]);
        v.code[1] = char(vh[pos + 3]);
        v.data.assign(vh.begin() + pos + 4, vh.begin() + pos + len);
        variableHeaders.push_back(std::move(v));
        pos += len;
    }
    return true;
}

LSEQFile::~LSEQFile() {
    if (fd >= 0) close(fd);
}

const LSEQFile::VariableHeader* LSEQFile::findVariableHeader(const char* twoChars) const {
    for (const auto& v : variableHeaders)
        if (v.is(twoChars)) return &v;
    return nullptr;
}

std::string LSEQFile::getMediaFilename() const {
    const VariableHeader* v = findVariableHeader("mf");
    return v ? v->text() : "";
}

bool LSEQFile::readFrame(uint32_t frame, uint8_t* dst, uint32_t size) const {
    uint32_t n = size < channelCount ? size : channelCount;
    if (frame >= numFrames || fd < 0) {
        memset(dst, 0, size);
        return false;
    }
    uint64_t offset = uint64_t(headerSize) + uint64_t(frame) * channelCount;
    if (!preadAll(fd, dst, n, offset)) {
        memset(dst, 0, size);
        return false;
    }
    if (n < size) memset(dst + n, 0, size - n);
    return true;
}

// ---- writer ----

LSEQWriter::LSEQWriter(const std::string& name, uint32_t channels, int stepTimeMS)
    : filename(name), tmpName(name + ".tmp"), channelCount(channels), stepTime(stepTimeMS) {
    if (channels == 0 || channels > LSEQFile::MAX_CHANNELS || stepTimeMS < 1 ||
        stepTimeMS > int(LSEQFile::MAX_FRAME_INTERVAL_MS)) {
        LogErr(VB_SEQUENCE, "Can not write sequence %s: %u channels at %d ms\n", name.c_str(), channels, stepTimeMS);
        good = false;
        return;
    }
    fd = open(tmpName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail();
        LogErr(VB_SEQUENCE, "Can not create %s: %s\n", tmpName.c_str(), errorText.c_str());
    }
}

bool LSEQWriter::fail() {
    if (errorText.empty()) errorText = strerror(errno ? errno : EIO);
    return good = false;
}

LSEQWriter::~LSEQWriter() {
    if (fd >= 0) {
        ::close(fd);
        unlink(tmpName.c_str());
    }
}

bool LSEQWriter::addVariableHeader(const char* twoChars, const std::vector<uint8_t>& data) {
    if (!good || headerWritten || data.size() > 65535 - 4) return good = false;
    LSEQFile::VariableHeader v;
    v.code[0] = twoChars[0];
    v.code[1] = twoChars[1];
    v.data = data;
    headers.push_back(std::move(v));
    return true;
}

bool LSEQWriter::addVariableHeader(const char* twoChars, const std::string& text) {
    std::vector<uint8_t> d(text.begin(), text.end());
    d.push_back(0);
    return addVariableHeader(twoChars, d);
}

bool LSEQWriter::writeHeader() {
    std::vector<uint8_t> h(LSEQFile::FIXED_HEADER_SIZE);
    memcpy(h.data(), "LSEQ", 4);
    put16(&h[4], LSEQFile::MAJOR_VERSION);
    put16(&h[6], LSEQFile::MINOR_VERSION);
    put32(&h[12], channelCount);
    put32(&h[16], frames);
    put16(&h[20], uint16_t(stepTime));
    put16(&h[22], uint16_t(headers.size()));
    for (const auto& v : headers) {
        size_t at = h.size();
        h.resize(at + 4 + v.data.size());
        put16(&h[at], uint16_t(4 + v.data.size()));
        h[at + 2] = uint8_t(v.code[0]);
        h[at + 3] = uint8_t(v.code[1]);
        memcpy(&h[at + 4], v.data.data(), v.data.size());
    }
    put32(&h[8], uint32_t(h.size()));
    ssize_t w = pwrite(fd, h.data(), h.size(), 0);
    if (w != ssize_t(h.size())) {
        if (w >= 0) errno = ENOSPC;  // a short write: the device filled up
        return fail();
    }
    if (lseek(fd, 0, SEEK_END) < 0) return fail();
    return true;
}

bool LSEQWriter::addFrame(const uint8_t* data) {
    if (!good) return false;
    if (!headerWritten) {
        headerWritten = true;
        if (!writeHeader()) return false;
    }
    if (frames == UINT32_MAX) {
        errno = EFBIG;
        return fail();
    }
    if (!writeAll(fd, data, channelCount)) return fail();
    frames++;
    return true;
}

bool LSEQWriter::close() {
    if (!good || fd < 0) return false;
    // Rewrites the header: same size, now with the final frame count.
    if (writeHeader() && fsync(fd) != 0) fail();
    if (::close(fd) != 0) fail();
    fd = -1;
    if (good && rename(tmpName.c_str(), filename.c_str()) != 0) fail();
    if (!good) {
        LogErr(VB_SEQUENCE, "Could not write sequence %s: %s\n", filename.c_str(), errorText.c_str());
        unlink(tmpName.c_str());
        return false;
    }
    syncFolderOf(filename);
    return true;
}

void FillLSEQTestFrame(uint32_t frame, uint8_t* data, uint32_t channelCount) {
    for (uint32_t c = 0; c < channelCount; c++) data[c] = uint8_t(frame + c);
    for (uint32_t c = 0; c < 4 && c < channelCount; c++) data[c] = uint8_t(frame >> (24 - 8 * c));
}

bool WriteLSEQTestSequence(const std::string& filename, uint32_t channelCount, uint32_t frames, int stepTimeMS,
                           const std::string& mediaFile) {
    LSEQWriter w(filename, channelCount, stepTimeMS);
    w.addVariableHeader("sp", std::string("lyrd test pattern"));
    if (!mediaFile.empty()) w.addVariableHeader("mf", mediaFile);
    std::vector<uint8_t> buf(channelCount);
    for (uint32_t f = 0; f < frames && w.ok(); f++) {
        FillLSEQTestFrame(f, buf.data(), channelCount);
        w.addFrame(buf.data());
    }
    return w.close();
}
