// Image entries: fitting a picture to a model, the pixels that reach the
// channels, the entry's duration on a fake clock and its refusals.
#include <Magick++.h>
#include <gtest/gtest.h>

#include "overlays/GlazeImage.h"
#include "overlays/OverlayTestUtil.h"
#include "playlist/PlaylistEntryImage.h"

using namespace overlaytest;

namespace {

TEST(FitImageRect, KeepsTheAspectAndCentres) {
    GlazeImageRect r = FitImageRect(100, 50, 10, 10);
    EXPECT_EQ(r.w, 10);
    EXPECT_EQ(r.h, 5);
    EXPECT_EQ(r.x, 0);
    EXPECT_EQ(r.y, 2);

    r = FitImageRect(1, 1, 4, 2);  // scaled up
    EXPECT_EQ(r.w, 2);
    EXPECT_EQ(r.h, 2);
    EXPECT_EQ(r.x, 1);
    EXPECT_EQ(r.y, 0);

    r = FitImageRect(1000, 1, 8, 8);  // a sliver keeps one row
    EXPECT_EQ(r.w, 8);
    EXPECT_EQ(r.h, 1);

    r = FitImageRect(0, 10, 8, 8);
    EXPECT_EQ(r.w, 0);
    r = FitImageRect(10, 10, 0, 8);
    EXPECT_EQ(r.h, 0);
}

TEST(ImagePath, StaysInsideTheImagesFolder) {
    EXPECT_NE(ImagePath("a.png"), "");
    EXPECT_NE(ImagePath("sub/a.png"), "");
    EXPECT_EQ(ImagePath(""), "");
    EXPECT_EQ(ImagePath("/etc/passwd"), "");
    EXPECT_EQ(ImagePath("../config/x.png"), "");
    EXPECT_EQ(ImagePath("sub/../../x.png"), "");
}

int64_t fakeNow = 0;
int64_t fakeClock() {
    return fakeNow;
}

class ImageEntryTest : public OverlayTest {
protected:
    void SetUp() override {
        OverlayTest::SetUp();
        PlaylistEntryImage::clockMS = fakeClock;
        fakeNow = 1000000;
        // Unique names: the manager's registry lives as long as the process.
        model = "img" + std::to_string(++counter);
        ASSERT_TRUE(GlazeManager::INSTANCE.addModel(matrix(model, 1, 4, 2)));
    }
    void TearDown() override {
        PlaylistEntryImage::clockMS = nullptr;
        OverlayTest::TearDown();
    }
    // A w x h picture whose pixels come from colour(x, y).
    void writeImage(const std::string& name, int w, int h, const char* format,
                    const std::function<std::string(int, int)>& colour) {
        Magick::Image img(Magick::Geometry(w, h), Magick::Color("black"));
        img.type(Magick::TrueColorType);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) img.pixelColor(x, y, Magick::Color(colour(x, y)));
        img.magick(format);
        img.write(media.sub("images/" + name));
    }
    Json::Value entry(const std::string& image, double duration = 5) {
        Json::Value v;
        v["imagePath"] = image;
        v["modelName"] = model;
        v["duration"] = duration;
        return v;
    }
    // Channel value of pixel (x, y), colour c, of the 4 x 2 matrix.
    uint8_t at(int x, int y, int c) { return buffer[(y * 4 + x) * 3 + c]; }
    void compose() {
        std::fill(buffer.begin(), buffer.end(), 0);
        GlazeManager::INSTANCE.getModel(model)->doOverlay(buffer.data());
    }

    std::string model;
    static int counter;
};
int ImageEntryTest::counter = 0;

TEST_F(ImageEntryTest, PngIsScaledOntoTheModelForItsDurationThenCleared) {
    writeImage("halves.png", 2, 1, "PNG", [](int x, int) { return x == 0 ? "#ff0000" : "#0000ff"; });
    Json::Value cfg = entry("halves.png", 2.5);
    PlaylistEntryImage e(nullptr);
    ASSERT_TRUE(e.Init(cfg));
    ASSERT_EQ(e.StartPlaying(), 1);
    GlazeModel* m = GlazeManager::INSTANCE.getModel(model);
    EXPECT_EQ(m->getState().getState(), GlazeState::Enabled);
    compose();
    EXPECT_EQ(at(0, 0, 0), 255);
    EXPECT_EQ(at(1, 1, 0), 255) << "2 x 1 doubled to fill 4 x 2";
    EXPECT_EQ(at(2, 0, 2), 255);
    EXPECT_EQ(at(3, 1, 2), 255);
    EXPECT_EQ(at(3, 1, 0), 0);

    fakeNow += 2499;
    e.Process();
    EXPECT_TRUE(e.IsPlaying());
    EXPECT_EQ(e.GetElapsedMS(), 2499u);
    EXPECT_EQ(e.GetLengthInMS(), 2500u);
    fakeNow += 1;
    e.Process();
    EXPECT_TRUE(e.IsFinished());
    EXPECT_EQ(m->getState().getState(), GlazeState::Disabled) << "the model's state is put back";
    compose();
    EXPECT_EQ(at(0, 0, 0), 0);
}

TEST_F(ImageEntryTest, JpegAndGifAreReadAndCentredWithBlackAround) {
    writeImage("dot.gif", 1, 1, "GIF", [](int, int) { return "#00ff00"; });
    writeImage("dot.jpg", 1, 1, "JPEG", [](int, int) { return "#ffffff"; });
    for (const char* name : {"dot.gif", "dot.jpg"}) {
        Json::Value cfg = entry(name);
        PlaylistEntryImage e(nullptr);
        ASSERT_TRUE(e.Init(cfg));
        ASSERT_EQ(e.StartPlaying(), 1) << name;
        compose();
        EXPECT_EQ(at(0, 0, 1), 0) << name << ": left column stays black";
        EXPECT_GT(at(1, 0, 1), 200) << name;
        EXPECT_GT(at(2, 1, 1), 200) << name;
        EXPECT_EQ(at(3, 1, 1), 0) << name;
        e.Stop();
        compose();
        EXPECT_EQ(at(1, 0, 1), 0) << name << ": stopping clears the model";
    }
}

TEST_F(ImageEntryTest, StateKeyAndRefusals) {
    writeImage("p.png", 1, 1, "PNG", [](int, int) { return "#ff0000"; });
    Json::Value cfg = entry("p.png");
    cfg["state"] = "Transparent";
    PlaylistEntryImage t(nullptr);
    ASSERT_TRUE(t.Init(cfg));
    t.StartPlaying();
    EXPECT_EQ(GlazeManager::INSTANCE.getModel(model)->getState().getState(), GlazeState::Transparent);
    t.Stop();

    for (const char* bad : {"../config/x.png", "/etc/hosts", ""}) {
        Json::Value c = entry(bad);
        PlaylistEntryImage e(nullptr);
        EXPECT_FALSE(e.Init(c)) << bad;
    }
    Json::Value noModel = entry("p.png");
    noModel.removeMember("modelName");
    PlaylistEntryImage a(nullptr);
    EXPECT_FALSE(a.Init(noModel));
    Json::Value badState = entry("p.png");
    badState["state"] = "Sideways";
    PlaylistEntryImage b(nullptr);
    EXPECT_FALSE(b.Init(badState));

    // These load but cannot show: the entry ends at once and nothing is lit.
    testutil::writeFile(media.sub("images/broken.png"), "not a picture");
    Json::Value unknownModel = entry("p.png");
    unknownModel["modelName"] = "no such model";
    for (Json::Value c : {entry("broken.png"), entry("missing.png"), unknownModel}) {
        PlaylistEntryImage e(nullptr);
        ASSERT_TRUE(e.Init(c));
        EXPECT_EQ(e.StartPlaying(), 0);
        EXPECT_TRUE(e.IsFinished());
    }
    EXPECT_EQ(GlazeManager::INSTANCE.getModel(model)->getState().getState(), GlazeState::Disabled);
}

}  // namespace
