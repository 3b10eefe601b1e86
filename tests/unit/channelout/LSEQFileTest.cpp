#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "ChannelOutTestUtil.h"
#include "channeloutput/LSEQFile.h"
#include "common.h"
#include "platform/Logging.h"

namespace {

class LSEQFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = cotest::MakeMediaDir();
        SetLogSink([this](int level, const std::string&, const std::string& msg) {
            if (level == LOG_ERR) errors += msg;
        });
    }
    void TearDown() override {
        SetLogSink(nullptr);
        cotest::RemoveDir(dir);
    }
    std::string path(const std::string& name) { return dir + "/" + name; }
    std::vector<uint8_t> bytesOf(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    void writeBytes(const std::string& p, const std::vector<uint8_t>& b) {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(b.data()), b.size());
    }
    static void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) b[at + i] = (v >> (8 * i)) & 0xFF;
    }
    static void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
        b[at] = v & 0xFF;
        b[at + 1] = v >> 8;
    }
    // A valid 10-frame, 600-channel sequence to damage.
    std::vector<uint8_t> goodFile() {
        EXPECT_TRUE(WriteLSEQTestSequence(path("good.lseq"), 600, 10, 25, "song.mp3"));
        return bytesOf(path("good.lseq"));
    }
    bool opens(const std::vector<uint8_t>& b) {
        writeBytes(path("bad.lseq"), b);
        std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(path("bad.lseq")));
        return f != nullptr;
    }
    std::string dir;
    std::string errors;
};

TEST_F(LSEQFileTest, RoundTripKeepsHeadersIntervalAndEveryFrame) {
    ASSERT_TRUE(WriteLSEQTestSequence(path("a.lseq"), 1000, 80, 25, "/music/dir/song.mp3"));
    std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(path("a.lseq")));
    ASSERT_TRUE(f);
    EXPECT_EQ(1000u, f->getChannelCount());
    EXPECT_EQ(80u, f->getNumFrames());
    EXPECT_EQ(25, f->getStepTime());
    EXPECT_EQ(2000u, f->getLengthMS());
    EXPECT_EQ("/music/dir/song.mp3", f->getMediaFilename());
    ASSERT_EQ(2u, f->getVariableHeaders().size());
    const auto* mf = f->findVariableHeader("mf");
    ASSERT_TRUE(mf);
    EXPECT_EQ(0, mf->data.back()) << "text headers are stored NUL-terminated";

    std::vector<uint8_t> got(1000), want(1000);
    for (uint32_t frame : {79u, 0u, 41u, 1u}) {  // random access, any order
        ASSERT_TRUE(f->readFrame(frame, got.data(), 1000));
        FillLSEQTestFrame(frame, want.data(), 1000);
        EXPECT_EQ(want, got) << "frame " << frame;
    }
}

TEST_F(LSEQFileTest, ReadFrameZeroFillsBeyondTheFileAndRefusesOutOfRange) {
    ASSERT_TRUE(WriteLSEQTestSequence(path("a.lseq"), 8, 3, 50));
    std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(path("a.lseq")));
    ASSERT_TRUE(f);
    std::vector<uint8_t> buf(16, 0xEE);
    ASSERT_TRUE(f->readFrame(2, buf.data(), 16));
    EXPECT_EQ(2, buf[3]);
    for (int i = 8; i < 16; i++) EXPECT_EQ(0, buf[i]);
    std::fill(buf.begin(), buf.end(), 0xEE);
    EXPECT_FALSE(f->readFrame(3, buf.data(), 16));
    EXPECT_EQ(std::vector<uint8_t>(16, 0), buf);
    // A short destination takes only what fits.
    uint8_t two[2];
    EXPECT_TRUE(f->readFrame(1, two, 2));
}

TEST_F(LSEQFileTest, FileShrunkAfterOpeningReadsAsZeroInsteadOfCrashing) {
    ASSERT_TRUE(WriteLSEQTestSequence(path("a.lseq"), 512, 20, 25));
    std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(path("a.lseq")));
    ASSERT_TRUE(f);
    ASSERT_EQ(0, truncate(path("a.lseq").c_str(), 100));
    std::vector<uint8_t> buf(512, 0xEE);
    EXPECT_FALSE(f->readFrame(10, buf.data(), 512));
    EXPECT_EQ(std::vector<uint8_t>(512, 0), buf);
}

TEST_F(LSEQFileTest, RefusesDamagedAndHostileFilesWithAReason) {
    std::vector<uint8_t> good = goodFile();
    ASSERT_TRUE(opens(good));

    auto b = good;
    b.resize(b.size() - 1);  // last frame cut short
    EXPECT_FALSE(opens(b));
    EXPECT_NE(std::string::npos, errors.find("truncated")) << errors;

    EXPECT_FALSE(opens(std::vector<uint8_t>(good.begin(), good.begin() + 23))) << "shorter than the fixed header";
    EXPECT_FALSE(opens({}));

    b = good;
    b[0] = 'X';
    EXPECT_FALSE(opens(b)) << "magic";
    b = good;
    put16(b, 4, 2);
    EXPECT_FALSE(opens(b)) << "unknown major version";
    b = good;
    put16(b, 6, 7);
    EXPECT_TRUE(opens(b)) << "a newer minor version is fine";

    b = good;
    put32(b, 8, uint32_t(good.size() + 1));
    EXPECT_FALSE(opens(b)) << "header size past the end of the file";
    b = good;
    put32(b, 8, 10);
    EXPECT_FALSE(opens(b)) << "header size below the fixed header";

    b = good;
    put32(b, 12, 0);
    EXPECT_FALSE(opens(b)) << "no channels";
    b = good;
    put32(b, 12, 0xFFFFFFFF);
    EXPECT_FALSE(opens(b)) << "huge channel count";
    b = good;
    put32(b, 16, 0xFFFFFFFF);
    EXPECT_FALSE(opens(b)) << "huge frame count must not overflow the size check";
    b = good;
    put32(b, 12, 0x10000);
    put32(b, 16, 0x10001);
    EXPECT_FALSE(opens(b)) << "count product beyond 32 bits";

    b = good;
    put16(b, 20, 0);
    EXPECT_FALSE(opens(b)) << "zero frame interval";
    b = good;
    put16(b, 20, 60000);
    EXPECT_FALSE(opens(b)) << "absurd frame interval";

    b = good;
    put16(b, 22, 200);
    EXPECT_FALSE(opens(b)) << "more variable headers than the header holds";
    b = good;
    put16(b, 24, 0xFFFF);
    EXPECT_FALSE(opens(b)) << "variable header longer than the header";
    b = good;
    put16(b, 24, 2);
    EXPECT_FALSE(opens(b)) << "variable header shorter than its own prefix";
}

TEST_F(LSEQFileTest, MissingFilesAndDirectoriesGiveNull) {
    EXPECT_EQ(nullptr, LSEQFile::openLSEQFile(path("nope.lseq")));
    EXPECT_EQ(nullptr, LSEQFile::openLSEQFile(dir));
    EXPECT_NE(std::string::npos, errors.find("nope.lseq"));
}

TEST_F(LSEQFileTest, TextOfAHeaderWithoutNulStopsAtItsEnd) {
    LSEQWriter w(path("h.lseq"), 4, 25);
    ASSERT_TRUE(w.addVariableHeader("mf", std::vector<uint8_t>{'a', 'b', 'c'}));
    uint8_t frame[4] = {1, 2, 3, 4};
    ASSERT_TRUE(w.addFrame(frame));
    EXPECT_FALSE(w.addVariableHeader("xx", std::string("late"))) << "headers only before frames";
    ASSERT_FALSE(w.close()) << "a refused header spoils the file";
    EXPECT_FALSE(FileExists(path("h.lseq")));

    LSEQWriter w2(path("h2.lseq"), 4, 25);
    w2.addVariableHeader("mf", std::vector<uint8_t>{'a', 'b', 'c'});
    w2.addFrame(frame);
    ASSERT_TRUE(w2.close());
    std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(path("h2.lseq")));
    ASSERT_TRUE(f);
    EXPECT_EQ("abc", f->getMediaFilename());
}

TEST_F(LSEQFileTest, AbandonedWriteLeavesNoFileAndKeepsTheOldOne) {
    ASSERT_TRUE(WriteLSEQTestSequence(path("s.lseq"), 16, 2, 25));
    auto before = bytesOf(path("s.lseq"));
    {
        LSEQWriter w(path("s.lseq"), 16, 25);
        uint8_t frame[16] = {};
        w.addFrame(frame);
    }  // no close()
    EXPECT_EQ(before, bytesOf(path("s.lseq")));
    EXPECT_FALSE(FileExists(path("s.lseq.tmp")));

    LSEQWriter bad(path("z.lseq"), 0, 25);
    EXPECT_FALSE(bad.ok());
    EXPECT_FALSE(bad.close());
}

TEST_F(LSEQFileTest, EmptySequenceOpens) {
    ASSERT_TRUE(WriteLSEQTestSequence(path("e.lseq"), 512, 0, 25));
    std::unique_ptr<LSEQFile> f(LSEQFile::openLSEQFile(path("e.lseq")));
    ASSERT_TRUE(f);
    EXPECT_EQ(0u, f->getNumFrames());
    uint8_t buf[4];
    EXPECT_FALSE(f->readFrame(0, buf, 4));
}

}  // namespace
