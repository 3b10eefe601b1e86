#include "overlays/GlazeModelFB.h"
#include "overlays/GlazeModelSub.h"
#include "overlays/OverlayTestUtil.h"

using namespace overlaytest;

namespace {

// Node number shown at (x, y): pixel offsets divided by channels per node.
int nodeAt(GlazeModel& m, int x, int y) {
    return m.pixelOffset(x, y) / m.getChannelsPerNode();
}

}  // namespace

TEST(GlazeModelGeometry, ZigZagHorizontalFromEachCorner) {
    // 2 strings of 2 strands, 4 nodes per strand: 4 x 4.
    struct Case {
        const char* corner;
        int row0[4];
        int row1[4];
        int row3[4];
    } cases[] = {
        {"TL", {0, 1, 2, 3}, {7, 6, 5, 4}, {15, 14, 13, 12}},
        {"TR", {3, 2, 1, 0}, {4, 5, 6, 7}, {12, 13, 14, 15}},
        {"BL", {15, 14, 13, 12}, {8, 9, 10, 11}, {0, 1, 2, 3}},
        {"BR", {12, 13, 14, 15}, {11, 10, 9, 8}, {3, 2, 1, 0}},
    };
    for (const auto& c : cases) {
        GlazeModel m(channelModel("m", 1, 48, 3, 2, 2, "horizontal", c.corner), nullptr);
        ASSERT_TRUE(m.isValid()) << m.configError();
        ASSERT_EQ(m.getWidth(), 4);
        ASSERT_EQ(m.getHeight(), 4);
        for (int x = 0; x < 4; x++) {
            EXPECT_EQ(nodeAt(m, x, 0), c.row0[x]) << c.corner << " x=" << x;
            EXPECT_EQ(nodeAt(m, x, 1), c.row1[x]) << c.corner << " x=" << x;
            EXPECT_EQ(nodeAt(m, x, 3), c.row3[x]) << c.corner << " x=" << x;
        }
    }
}

TEST(GlazeModelGeometry, VerticalStrandsAreColumnsAndLeftoverNodesUnused) {
    // 3 strings of 1 strand; 10 nodes -> 3 nodes per strand, node 9 unused.
    GlazeModel m(channelModel("v", 101, 30, 3, 3, 1, "vertical", "BL"), nullptr);
    ASSERT_TRUE(m.isValid());
    EXPECT_EQ(m.getWidth(), 3);
    EXPECT_EQ(m.getHeight(), 3);
    EXPECT_EQ(nodeAt(m, 0, 2), 0);  // bottom left
    EXPECT_EQ(nodeAt(m, 0, 0), 2);
    EXPECT_EQ(nodeAt(m, 1, 2), 3);  // each string starts at the bottom again
    EXPECT_EQ(nodeAt(m, 2, 0), 8);
    EXPECT_EQ(m.getStartChannel(), 100);
}

TEST(GlazeModelGeometry, UnusableDefinitionsAreRefusedWithAReason) {
    struct Case {
        Json::Value cfg;
        const char* why;
    };
    Json::Value wrongType = channelModel("a", 1, 30);
    wrongType["ChannelCount"] = Json::Value(Json::arrayValue);
    Json::Value noName = channelModel("", 1, 30);
    Json::Value nameNotText = channelModel("a", 1, 30);
    nameNotText["Name"] = 5;
    Json::Value badCorner = channelModel("a", 1, 30, 3, 1, 1, "horizontal", "XX");
    std::vector<Case> cases = {
        {wrongType, "ChannelCount"},
        {noName, "Name"},
        {nameNotText, "Name"},
        {badCorner, "StartCorner"},
        {channelModel("a", 0, 30), "StartChannel"},
        {channelModel("a", 1, -3), "ChannelCount"},
        {channelModel("a", LYRD_MAX_CHANNELS - 5, 30), "past the last channel"},
        {channelModel("a", 1, 6, 3, 4, 1), "no pixels"},
        {channelModel("a", 1, 30, 0), "ChannelCountPerNode"},
        {Json::Value("not an object"), "object"},
    };
    for (const auto& c : cases) {
        GlazeModel m(c.cfg, nullptr);
        EXPECT_FALSE(m.isValid()) << c.why;
        EXPECT_NE(m.configError().find(c.why), std::string::npos) << m.configError();
    }
    // The last channel itself is fine, and numbers may come as texts.
    Json::Value edge = channelModel("e", LYRD_MAX_CHANNELS - 29, 30);
    edge["StringCount"] = "1";
    EXPECT_TRUE(GlazeModel(edge, nullptr).isValid());
}

class GlazeModelDraw : public OverlayTest {};

TEST_F(GlazeModelDraw, StatesDecideWhichPixelsReplaceTheChannelData) {
    GlazeModel m(channelModel("m", 11, 9), nullptr);  // 3 pixels at channels 10..18
    m.setOverlayPixelValue(0, 0, 200, 0, 0);          // one channel lit
    m.setOverlayPixelValue(1, 0, 0, 0, 0);            // black
    m.setOverlayPixelValue(2, 0, 1, 2, 3);
    m.flushOverlayBuffer();
    auto run = [&](int state) {
        std::fill(buffer.begin(), buffer.end(), 9);
        m.setState(GlazeState(state));
        m.doOverlay(buffer.data());
        return std::vector<int>(buffer.begin() + 9, buffer.begin() + 19);
    };
    EXPECT_EQ(run(GlazeState::Enabled), (std::vector<int>{9, 200, 0, 0, 0, 0, 0, 1, 2, 3}));
    EXPECT_EQ(run(GlazeState::Transparent), (std::vector<int>{9, 200, 0, 0, 9, 9, 9, 1, 2, 3}));
    EXPECT_EQ(run(GlazeState::TransparentRGB), (std::vector<int>{9, 200, 9, 9, 9, 9, 9, 1, 2, 3}));
    EXPECT_EQ(run(GlazeState::Disabled), (std::vector<int>{9, 9, 9, 9, 9, 9, 9, 9, 9, 9}));
    EXPECT_EQ(buffer[19], 9);
}

TEST_F(GlazeModelDraw, DrawingIsShownOnlyAfterFlushAndOutsidePixelsAreRefused) {
    GlazeModel m(matrix("m", 1, 4, 2), nullptr);
    m.setState(GlazeState(GlazeState::Enabled));
    m.fillOverlayBuffer(300, -5, 7);  // clamped
    EXPECT_TRUE(m.overlayBufferIsDirty());
    m.doOverlay(buffer.data());
    EXPECT_EQ(buffer[0], 0);
    m.flushOverlayBuffer();
    EXPECT_FALSE(m.overlayBufferIsDirty());
    m.doOverlay(buffer.data());
    EXPECT_EQ((std::vector<int>(buffer.begin(), buffer.begin() + 3)), (std::vector<int>{255, 0, 7}));
    EXPECT_EQ(buffer[24], 0);
    for (auto xy :
         std::vector<std::pair<int, int>>{{-1, 0}, {4, 0}, {0, 2}, {0, -1}, {INT32_MAX, INT32_MAX}}) {
        EXPECT_FALSE(m.setPixelValue(xy.first, xy.second, 1, 1, 1));
    }
    // A picture placed partly outside is clipped, not written past the model.
    std::vector<uint8_t> rgb(3 * 3 * 3, 50);
    m.clearOverlayBuffer();
    m.drawRGB(rgb.data(), 2, 1, 3, 3);
    m.flushOverlayBuffer();
    std::fill(buffer.begin(), buffer.end(), 0);
    m.doOverlay(buffer.data());
    int lit = 0;
    for (int i = 0; i < 30; i++) lit += buffer[i] == 50;
    EXPECT_EQ(lit, 6);  // pixels (2,1) and (3,1)
}

TEST_F(GlazeModelDraw, OneChannelNodesTakeTheBrightestAndFourChannelNodesZeroTheRest) {
    GlazeModel mono(channelModel("mono", 1, 4, 1), nullptr);
    GlazeModel rgbw(channelModel("rgbw", 11, 8, 4), nullptr);
    mono.fill(10, 80, 30);
    rgbw.fill(1, 2, 3);
    mono.setState(GlazeState(GlazeState::Enabled));
    rgbw.setState(GlazeState(GlazeState::Enabled));
    std::fill(buffer.begin(), buffer.end(), 99);
    mono.doOverlay(buffer.data());
    rgbw.doOverlay(buffer.data());
    EXPECT_EQ((std::vector<int>(buffer.begin(), buffer.begin() + 5)), (std::vector<int>{80, 80, 80, 80, 99}));
    EXPECT_EQ((std::vector<int>(buffer.begin() + 10, buffer.begin() + 19)),
              (std::vector<int>{1, 2, 3, 0, 1, 2, 3, 0, 99}));
}

TEST_F(GlazeModelDraw, DataJsonPlainAndRunLength) {
    GlazeModel m(matrix("m", 1, 4, 1), nullptr);
    m.fillOverlayBuffer(5, 6, 7);
    m.setOverlayPixelValue(3, 0, 0, 0, 0);
    Json::Value plain, rle;
    m.getDataJson(plain, false);
    m.getDataJson(rle, true);
    ASSERT_EQ(plain.size(), 12u);
    EXPECT_EQ(plain[0].asInt(), 5);
    EXPECT_EQ(plain[11].asInt(), 0);
    ASSERT_EQ(rle.size(), 2u);
    EXPECT_EQ(SaveJsonToString(rle), "[[3,5,6,7],[1,0,0,0]]");
}

TEST_F(GlazeModelDraw, SaveImageWritesPngAndRefusesPaths) {
    GlazeModel m(matrix("m", 1, 4, 2), nullptr);
    m.fill(255, 0, 0);
    ASSERT_TRUE(m.saveOverlayAsImage("shot"));
    Magick::Image img(media.sub("images/shot.png"));
    EXPECT_EQ(img.columns(), 4u);
    EXPECT_EQ(img.rows(), 2u);
    EXPECT_EQ(Magick::ColorRGB(img.pixelColor(1, 1)).red(), 1.0);
    for (const char* bad : {"../x.png", "a/b.png", "..", "", "x..png"}) {
        std::string why;
        EXPECT_FALSE(m.saveOverlayAsImage(bad, why)) << bad;
        EXPECT_FALSE(why.empty());
    }
    EXPECT_EQ(testutil::listDir(media.sub("images")), std::vector<std::string>{"shot.png"});
}

TEST_F(GlazeModelDraw, SubModelDrawsThroughItsParentsMapAndIsClipped) {
    GlazeModel parent(channelModel("p", 1, 48, 3, 2, 2), nullptr);  // 4 x 4 zig-zag
    Json::Value cfg(Json::objectValue);
    cfg["Name"] = "s";
    cfg["Parent"] = "p";
    cfg["XOffset"] = 2;
    cfg["YOffset"] = 1;
    cfg["Width"] = 10;  // clipped to 2
    cfg["Height"] = 1;
    GlazeModelSub sub(cfg, nullptr, &parent);
    ASSERT_TRUE(sub.isValid()) << sub.configError();
    EXPECT_EQ(sub.getWidth(), 2);
    sub.fill(9, 9, 9);
    sub.setState(GlazeState(GlazeState::Enabled));
    sub.doOverlay(buffer.data());
    // Row 1 runs back: (2,1) is node 5, (3,1) node 4.
    for (int i = 0; i < 48; i++) EXPECT_EQ(buffer[i], (i >= 12 && i < 18) ? 9 : 0) << i;

    cfg["XOffset"] = 4;
    EXPECT_FALSE(GlazeModelSub(cfg, nullptr, &parent).isValid());
    cfg["XOffset"] = -1;
    EXPECT_FALSE(GlazeModelSub(cfg, nullptr, &parent).isValid());
}

TEST_F(GlazeModelDraw, FrameBufferModelKeepsItsFrameInMemory) {
    Json::Value cfg(Json::objectValue);
    cfg["Name"] = "fb";
    cfg["Type"] = "FB";
    cfg["Width"] = 3;
    cfg["Height"] = 2;
    cfg["Device"] = media.sub("no-such-fb");
    GlazeModelFB fb(cfg, nullptr);
    ASSERT_TRUE(fb.isValid());
    EXPECT_FALSE(fb.hasDevice());
    fb.setPixelValue(2, 1, 4, 5, 6);
    fb.setState(GlazeState(GlazeState::Enabled));
    std::fill(buffer.begin(), buffer.end(), 1);
    fb.doOverlay(buffer.data());
    EXPECT_EQ(buffer[0], 1);  // no channels touched
    auto frame = fb.getFrame();
    EXPECT_EQ((std::vector<int>(frame.end() - 3, frame.end())), (std::vector<int>{4, 5, 6}));
    cfg["Width"] = 0;
    EXPECT_FALSE(GlazeModelFB(cfg, nullptr).isValid());
    cfg["Width"] = "wide";
    EXPECT_FALSE(GlazeModelFB(cfg, nullptr).isValid());
}
