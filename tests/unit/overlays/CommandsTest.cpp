#include "overlays/GlazeEffect.h"
#include "overlays/Glaze.h"
#include "overlays/OverlayTestUtil.h"
#include "platform/CommandManager.h"

using namespace overlaytest;

namespace {

class OverlayCommandsTest : public OverlayTest {
protected:
    void SetUp() override {
        OverlayTest::SetUp();
        g.addModel(matrix("a", 1, 2, 1));
        g.addModel(matrix("b", 7, 2, 1));
        a = g.getModel("a");
        b = g.getModel("b");
    }
    std::string run(const std::string& cmd, const std::vector<std::string>& args, bool* isError = nullptr) {
        auto r = CommandManager::INSTANCE.run(cmd, args);
        if (!r) return "<null>";
        if (isError) *isError = r->isError();
        return r->get();
    }
    std::vector<int> pixel(GlazeModel* m) {
        std::fill(buffer.begin(), buffer.end(), 0);
        int st = m->getState().getState();
        m->setState(GlazeState(GlazeState::Enabled));
        m->flushOverlayBuffer();
        m->doOverlay(buffer.data());
        m->setState(GlazeState(st));
        int s = m->getStartChannel();
        return std::vector<int>(buffer.begin() + s, buffer.begin() + s + 3);
    }
    GlazeManager g;
    GlazeModel* a = nullptr;
    GlazeModel* b = nullptr;
};

}  // namespace

TEST_F(OverlayCommandsTest, StateSetsEveryListedModelOrNoneWhenOneIsMissing) {
    bool err = false;
    EXPECT_EQ(run("Overlay Model State", {"a,b", "Transparent"}, &err), "Model State Set");
    EXPECT_FALSE(err);
    EXPECT_EQ(a->getState().getState(), GlazeState::Transparent);
    EXPECT_EQ(b->getState().getState(), GlazeState::Transparent);
    EXPECT_EQ(run("Overlay Model State", {"a,ghost", "Disabled"}, &err), "No model found: ghost");
    EXPECT_TRUE(err);
    EXPECT_EQ(a->getState().getState(), GlazeState::Transparent);
    EXPECT_EQ(run("Overlay Model State", {"a"}, &err), "Command needs 2 arguments, found 1");
    EXPECT_TRUE(err);
}

TEST_F(OverlayCommandsTest, FillWithAndWithoutState) {
    EXPECT_EQ(run("Overlay Model Fill", {"a", "#00FF00"}), "Models Filled");
    EXPECT_EQ(a->getState().getState(), GlazeState::Disabled);
    EXPECT_EQ(pixel(a), (std::vector<int>{0, 255, 0}));
    EXPECT_EQ(run("Overlay Model Fill", {"a,b", "Enabled", "red"}), "Models Filled");
    EXPECT_EQ(a->getState().getState(), GlazeState::Enabled);
    EXPECT_EQ(pixel(b), (std::vector<int>{255, 0, 0}));
    EXPECT_EQ(run("Overlay Model Fill", {"a"}), "Command needs 2 or 3 arguments, found 1");
}

TEST_F(OverlayCommandsTest, ABadColourChangesNoModel) {
    bool err = false;
    for (const char* bad : {"#zz", "#", "purple", "12abc", "#1234567890123456789012"}) {
        EXPECT_EQ(run("Overlay Model Fill", {"b", "Enabled", bad}, &err),
                  std::string("Invalid color: ") + bad);
        EXPECT_TRUE(err);
    }
    EXPECT_EQ(b->getState().getState(), GlazeState::Disabled);
}

TEST_F(OverlayCommandsTest, ClearAndEffectCountsAndNames) {
    a->fill(9, 9, 9);
    EXPECT_EQ(run("Overlay Model Clear", {"a"}), "Models Cleared");
    EXPECT_EQ(pixel(a), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(run("Overlay Model Clear", {"a", "b"}), "Command needs 1 argument, found 2");
    EXPECT_EQ(run("Overlay Model Effect", {"a", "Enabled"}), "Command needs at least 3 arguments, found 2");
    EXPECT_EQ(run("Overlay Model Effect", {"a", "Enabled", "Sparkle"}), "Could not start effect: Sparkle");
    EXPECT_EQ(run("Overlay Model Effect", {"a,b", "Enabled", "Color Fade", "#0000FF", "0", "5000", "0"}),
              "Model Effect Started");
    EXPECT_TRUE(a->isEffectRunning());
    EXPECT_EQ(b->getRunningEffectName(), "Color Fade");
    EXPECT_EQ(a->getState().getState(), GlazeState::Enabled);
    EXPECT_TRUE(waitFor([&] { return pixel(b) == std::vector<int>{0, 0, 255}; }));
    // Clearing stops the effect and switches off what the effect switched on.
    run("Overlay Model Clear", {"a,b"});
    EXPECT_FALSE(a->isEffectRunning());
    EXPECT_EQ(a->getState().getState(), GlazeState::Disabled);
}

TEST_F(OverlayCommandsTest, TextShortcutBuildsTheEffectArguments) {
    // Eight arguments: auto-enable is "true" and argument 8 is the text.
    EXPECT_EQ(run("Overlay Model Text", {"a", "#FFFFFF", "", "8", "false", "Center", "0", "Hi"}),
              "Model Effect Started");
    EXPECT_EQ(a->getRunningEffectName(), "Text");
    EXPECT_EQ(a->getState().getState(), GlazeState::Enabled);
    // Nine: argument 8 is auto-enable.
    EXPECT_EQ(run("Overlay Model Text", {"b", "#FFFFFF", "", "8", "false", "Center", "0", "false", "Hi"}),
              "Model Effect Started");
    EXPECT_EQ(b->getState().getState(), GlazeState::Disabled);
    EXPECT_EQ(run("Overlay Model Text", {"a"}), "Command needs 9 arguments, found 1");
    auto* text = CommandManager::INSTANCE.getCommand("Overlay Model Text");
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->hidden());
    Json::Value d = text->getDescriptionJSON();
    EXPECT_EQ(d["args"][3]["min"].asInt(), 4);
    EXPECT_EQ(d["args"][2]["contentListUrl"].asString(), "api/overlays/fonts");
}

TEST_F(OverlayCommandsTest, ArgumentListsArePublished) {
    Json::Value effect = CommandManager::INSTANCE.getCommand("Overlay Model Effect")->getDescriptionJSON();
    EXPECT_EQ(effect["args"][0]["name"].asString(), "Models");
    EXPECT_EQ(effect["args"][1]["default"].asString(), "Enabled");
    EXPECT_EQ(effect["args"][2]["type"].asString(), "subcommand");
    EXPECT_EQ(effect["args"][2]["contentListUrl"].asString(), "api/overlays/effects/");
    Json::Value fill = CommandManager::INSTANCE.getCommand("Overlay Model Fill")->getDescriptionJSON();
    EXPECT_EQ(fill["args"][1]["contents"][0].asString(), "Don't Set");
    EXPECT_EQ(fill["args"][0]["contentListUrl"].asString(), "api/models?simple=true");
}
