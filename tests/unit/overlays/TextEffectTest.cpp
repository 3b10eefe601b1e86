#include "overlays/GlazeEffect.h"
#include "overlays/GlazeTextEffect.h"
#include "overlays/OverlayTestUtil.h"

using namespace overlaytest;

namespace {

class TextEffectTest : public OverlayTest {
protected:
    void SetUp() override {
        OverlayTest::SetUp();
        g.loadFonts();
        g.addModel(matrix("m", 1, 32, 16));
        m = g.getModel("m");
    }
    std::vector<std::string> args(const std::string& pos, const std::string& speed, const std::string& text,
                                  const std::string& size = "10", const std::string& font = "DejaVuSans") {
        return {"#FFFFFF", font, size, "false", pos, speed, "0", text};
    }
    // Leftmost and rightmost lit column of the overlay buffer; -1 if dark.
    std::pair<int, int> litColumns() {
        Json::Value d;
        m->getDataJson(d, false);
        int lo = -1, hi = -1;
        for (int x = 0; x < 32; x++) {
            for (int y = 0; y < 16; y++) {
                if (d[(y * 32 + x) * 3].asInt() > 0) {
                    if (lo < 0) lo = x;
                    hi = x;
                }
            }
        }
        return {lo, hi};
    }
    GlazeManager g;
    GlazeModel* m = nullptr;
};

}  // namespace

TEST_F(TextEffectTest, RendersLitPixelsInTheColourOnBlack) {
    GlazeTextEffect::Picture pic;
    std::string why;
    ASSERT_TRUE(GlazeTextEffect::render("Hi", g.mapFont("DejaVuSans"), 12, false, 0x00FF00, pic, why)) << why;
    EXPECT_GT(pic.width, 5);
    EXPECT_GT(pic.height, 5);
    int green = 0, other = 0;
    for (size_t i = 0; i < pic.rgb.size(); i += 3) {
        if (pic.rgb[i + 1]) green++;
        if (pic.rgb[i] || pic.rgb[i + 2]) other++;
    }
    EXPECT_GT(green, 10);
    EXPECT_EQ(other, 0);
    EXPECT_FALSE(GlazeTextEffect::render("Hi", "", 12, false, 0xFFFFFF, pic, why));
}

TEST_F(TextEffectTest, CentredTextStaysUntilCleared) {
    ASSERT_TRUE(m->applyEffect("Enabled", "Text", args("Center", "10", "Hi")));
    ASSERT_TRUE(waitFor([&] { return litColumns().first >= 0; }));
    auto cols = litColumns();
    EXPECT_GT(cols.first, 4);  // centred, not at the left edge
    EXPECT_LT(cols.second, 27);
    EXPECT_EQ(m->getState().getState(), GlazeState::Enabled);
    m->clear();
    EXPECT_EQ(litColumns().first, -1);
    EXPECT_EQ(m->getState().getState(), GlazeState::Disabled);
}

TEST_F(TextEffectTest, ScrollsRightToLeftAndSwitchesOffWhenGone) {
    ASSERT_TRUE(m->applyEffect("Enabled", "Text", args("Right to Left", "200", "Go")));
    ASSERT_TRUE(waitFor([&] { return litColumns().first >= 0; }));
    int first = litColumns().first;
    ASSERT_TRUE(waitFor([&] {
        auto c = litColumns();
        return c.first >= 0 && c.first < first - 3;
    }));
    ASSERT_TRUE(waitFor([&] { return !m->isEffectRunning(); }, 5000));
    EXPECT_EQ(litColumns().first, -1);
    EXPECT_EQ(m->getState().getState(), GlazeState::Disabled);
}

TEST_F(TextEffectTest, BadArgumentsAreRefusedOrClamped) {
    EXPECT_FALSE(m->applyEffect("Enabled", "Text", args("Diagonal", "10", "x")));
    EXPECT_FALSE(m->applyEffect("Enabled", "Text", args("Center", "fast", "x")));
    auto bad = args("Center", "10", "x");
    bad[0] = "#zz";
    EXPECT_FALSE(m->applyEffect("Enabled", "Text", bad));
    EXPECT_FALSE(m->applyEffect("Enabled", "Text", {"#FFFFFF"}));
    EXPECT_EQ(m->getState().getState(), GlazeState::Disabled);  // nothing half-started
    EXPECT_FALSE(m->isEffectRunning());
    // Sizes out of range are clamped, an unknown font name falls back.
    EXPECT_TRUE(m->applyEffect("False", "Text", args("Center", "10", "x", "-40")));
    EXPECT_TRUE(m->applyEffect("False", "Text", args("Center", "10", "x", "100000")));
    EXPECT_TRUE(m->applyEffect("False", "Text", args("Center", "10", "x", "10", "NoSuchFont")));
    // A file that is no font is a clear failure, not a crash.
    EXPECT_FALSE(m->applyEffect("False", "Text", args("Center", "10", "x", "10", "/etc/passwd")));
    EXPECT_TRUE(m->applyEffect("False", "Text", args("Center", "10", "x", "10", "")));
}

TEST_F(TextEffectTest, HugeTextIsCutNotRefused) {
    testutil::LogCapture log;
    std::string text(100 * 1024, 'W');
    text[5000] = '\xc3';  // a two-byte character across the cut must not break UTF-8
    text[5001] = '\xa9';
    ASSERT_TRUE(m->applyEffect("False", "Text", args("Right to Left", "10", text, "100")));
    EXPECT_TRUE(log.contains("cut"));
}

TEST_F(TextEffectTest, ColorFadeRisesAndEnds) {
    ASSERT_TRUE(m->applyEffect("Enabled", "Color Fade", {"#FF0000", "40", "0", "40"}));
    ASSERT_TRUE(waitFor([&] { return litColumns().first == 0; }));
    ASSERT_TRUE(waitFor([&] { return !m->isEffectRunning(); }));
    EXPECT_EQ(litColumns().first, -1);
    EXPECT_EQ(m->getState().getState(), GlazeState::Disabled);
    EXPECT_FALSE(m->applyEffect("Enabled", "Color Fade", {"#FF0000", "-1"}));
    EXPECT_FALSE(m->applyEffect("Enabled", "Color Fade", {"nocolour"}));
}
