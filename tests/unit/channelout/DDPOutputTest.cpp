#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "ChannelOutTestUtil.h"
#include "channeloutput/DDPOutput.h"
#include "channeloutput/Sequence.h"
#include "platform/Logging.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DDPHeaderTest, HeaderBytes) {
    uint8_t h[DDP_HEADER_LEN];
    DDPOutput::BuildHeader(h, 0x01020304, 1440, false, DDP_TYPE_RGB8);
    const uint8_t mid[] = {0x40, 0x00, 0x0B, 0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0xA0};
    EXPECT_EQ(0, memcmp(h, mid, sizeof(mid)));
    DDPOutput::BuildHeader(h, 168480, 80, true, 0x01);
    const uint8_t last[] = {0x41, 0x00, 0x01, 0x01, 0x00, 0x02, 0x92, 0x20, 0x00, 0x50};
    EXPECT_EQ(0, memcmp(h, last, sizeof(last)));
}

TEST(DDPHeaderTest, SequenceRunsOneTo15) {
    EXPECT_EQ(1, DDPOutput::NextSequence(0));
    EXPECT_EQ(15, DDPOutput::NextSequence(14));
    EXPECT_EQ(1, DDPOutput::NextSequence(15));
}

TEST(DDPHeaderTest, ChunksCoverTheRangeInAtMost1440Bytes) {
    auto c = DDPOutput::Chunks(170000);
    ASSERT_EQ(119u, c.size());
    uint32_t next = 0;
    for (auto& p : c) {
        EXPECT_EQ(next, p.first);
        EXPECT_LE(p.second, 1440u);
        next += p.second;
    }
    EXPECT_EQ(170000u, next);
    EXPECT_EQ(80u, c.back().second);
    EXPECT_EQ(1u, DDPOutput::Chunks(1440).size());
    EXPECT_EQ(2u, DDPOutput::Chunks(1441).size());
    EXPECT_TRUE(DDPOutput::Chunks(0).empty());
}

class DDPOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(cotest::EnterPrivateNetwork());
        SetLogSink([this](int level, const std::string&, const std::string& msg) {
            if (level == LOG_ERR) errors += msg;
        });
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        int buf = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(DDP_PORT);
        a.sin_addr.s_addr = inet_addr("127.0.0.5");
        ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
        channels.assign(LYRD_MAX_CHANNELS, 0);
        for (size_t i = 0; i < 8192; i++) channels[i] = uint8_t(i * 13 + 5);
    }
    void TearDown() override {
        SetLogSink(nullptr);
        close(fd);
    }
    Bytes next(int timeoutMS = 1000) {
        struct pollfd pf = {fd, POLLIN, 0};
        if (poll(&pf, 1, timeoutMS) != 1) return {};
        uint8_t buf[2048];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        return n > 0 ? Bytes(buf, buf + n) : Bytes();
    }
    static Json::Value parse(const char* text) {
        Json::Value v;
        Json::Reader().parse(text, v);
        return v;
    }
    int fd = -1;
    std::vector<uint8_t> channels;
    std::string errors;
};

TEST_F(DDPOutputTest, FramesArriveInChunksWithPushOnTheLast) {
    DDPOutput out;
    ASSERT_TRUE(out.Init(
        parse(R"({"type": "ddp", "address": "127.0.0.5", "startChannel": 11, "channelCount": 3000})")));
    EXPECT_EQ(3010u, out.MaxChannel());
    for (int frame = 1; frame <= 16; frame++) {
        ASSERT_EQ(3, out.SendData(channels.data()));
        Bytes frameData;
        for (int i = 0; i < 3; i++) {
            Bytes p = next();
            ASSERT_GE(p.size(), size_t(DDP_HEADER_LEN));
            EXPECT_EQ(i == 2 ? 0x41 : 0x40, p[0]) << "version 1; push on the last packet only";
            EXPECT_EQ(frame == 16 ? 1 : frame, p[1]) << "one sequence number per frame, 1-15";
            EXPECT_EQ(DDP_TYPE_RGB8, p[2]);
            EXPECT_EQ(1, p[3]);
            uint32_t off = (uint32_t(p[4]) << 24) | (p[5] << 16) | (p[6] << 8) | p[7];
            size_t len = size_t((p[8] << 8) | p[9]);
            EXPECT_EQ(frameData.size(), off);
            EXPECT_EQ(p.size() - DDP_HEADER_LEN, len);
            frameData.insert(frameData.end(), p.begin() + DDP_HEADER_LEN, p.end());
        }
        ASSERT_EQ(3000u, frameData.size());
        EXPECT_EQ(0, memcmp(frameData.data(), &channels[10], 3000));
    }
}

TEST_F(DDPOutputTest, BadConfigurationsAreRefused) {
    for (const char* c : {R"({"startChannel": 1, "channelCount": 10})",
                          R"({"address": "no.such.host.invalid", "channelCount": 10})",
                          R"({"address": "127.0.0.5", "startChannel": 0, "channelCount": 10})",
                          R"({"address": "127.0.0.5", "channelCount": 0})",
                          R"({"address": "127.0.0.5", "startChannel": 1048570, "channelCount": 100})",
                          R"({"address": "127.0.0.5", "channelCount": 3, "dataType": 256})"}) {
        DDPOutput out;
        EXPECT_FALSE(out.Init(parse(c))) << c;
    }
    for (const char* why : {"no \"address\"", "can not resolve", "startChannel below", "channelCount below",
                            "beyond the buffer", "dataType out of"})
        EXPECT_NE(std::string::npos, errors.find(why)) << why << "\n" << errors;
}

}  // namespace
