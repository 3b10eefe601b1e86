#include "overlays/GlazeEffect.h"
#include "overlays/OverlayTestUtil.h"
#include "platform/CommandManager.h"

using namespace overlaytest;

namespace {

// An effect step that records its calls and answers a fixed interval.
class ProbeEffect : public GlazeRunningEffect {
public:
    ProbeEffect(GlazeModel* m, int answer, int sleepMs, std::atomic<int>& calls)
        : GlazeRunningEffect(m), answer(answer), sleepMs(sleepMs), calls(calls) {}
    const std::string& name() const override {
        static const std::string n = "Probe";
        return n;
    }
    int32_t update() override {
        if (sleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
        calls++;
        return answer;
    }
    int answer;
    int sleepMs;
    std::atomic<int>& calls;
};

class GlazeManagerTest : public OverlayTest {
protected:
    void writeMap(const Json::Value& models, const Json::Value* autoCreate = nullptr) {
        Json::Value root(Json::objectValue);
        root["models"] = models;
        if (autoCreate) root["autoCreate"] = *autoCreate;
        testutil::writeFile(mapPath(), SaveJsonToString(root));
    }
    uint64_t onlyKey() {
        std::lock_guard<std::mutex> l(g.threadLock);
        for (const auto& p : g.periodicUpdates) {
            if (!p.second.empty()) return p.first;
        }
        return 0;
    }
    GlazeManager g;
};

}  // namespace

TEST_F(GlazeManagerTest, StateChangesKeepOneActiveEntryPerModel) {
    ASSERT_TRUE(g.addModel(matrix("a", 1, 2, 2)));
    GlazeModel* a = g.getModel("a");
    EXPECT_FALSE(g.hasActiveOverlays());
    a->setState(GlazeState("Transparent"));
    a->setState(GlazeState("Enabled"));
    EXPECT_EQ(g.numActive, 1);
    EXPECT_EQ(g.activeModels.size(), 1u);
    // A repeated or overlapping notice must not count twice.
    g.modelStateChanged(a, GlazeState(0), GlazeState(1));
    EXPECT_EQ(g.numActive, 1);
    a->setState(GlazeState("Disabled"));
    g.modelStateChanged(a, GlazeState(1), GlazeState(0));
    EXPECT_EQ(g.numActive, 0);
    EXPECT_TRUE(g.activeModels.empty());
}

TEST_F(GlazeManagerTest, NothingActiveLeavesTheBufferAndLockAlone) {
    g.addModel(matrix("a", 1, 2, 2));
    g.getModel("a")->fill(1, 2, 3);
    std::fill(buffer.begin(), buffer.end(), 7);
    std::lock_guard<std::mutex> held(g.activeModelsLock);  // would deadlock if taken
    g.doOverlays(buffer.data());
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 7; }));
}

TEST_F(GlazeManagerTest, SubModelsFirstThenOthersThenRanges) {
    g.addModel(matrix("big", 1, 4, 1));
    Json::Value sub(Json::objectValue);
    sub["Name"] = "sub";
    sub["Type"] = "Sub";
    sub["Parent"] = "big";
    sub["XOffset"] = 1;
    sub["Width"] = 2;
    ASSERT_TRUE(g.addModel(sub));
    GlazeModel* big = g.getModel("big");
    GlazeModel* s = g.getModel("sub");
    big->fill(0, 0, 0);
    big->setOverlayPixelValue(0, 0, 10, 10, 10);
    s->fill(20, 20, 20);
    // Sub activated last but drawn first: the transparent parent lets it show.
    big->setState(GlazeState("Transparent"));
    s->setState(GlazeState("Enabled"));
    ASSERT_TRUE(g.setChannelRange(9, 11, 255));
    EXPECT_EQ(g.numActive, 3);
    g.doOverlays(buffer.data());
    std::vector<int> got(buffer.begin(), buffer.begin() + 13);
    EXPECT_EQ(got, (std::vector<int>{10, 10, 10, 20, 20, 20, 20, 20, 20, 255, 255, 255, 0}));
    // Enabled parent covers the sub.
    big->setState(GlazeState("Enabled"));
    g.doOverlays(buffer.data());
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(buffer[9], 255);
}

TEST_F(GlazeManagerTest, RangesAreClippedToTheBufferAndBadBoundsRefused) {
    EXPECT_FALSE(g.setChannelRange(-1, 3, 1));
    EXPECT_FALSE(g.setChannelRange(5, 4, 1));
    EXPECT_FALSE(g.setChannelRange(LYRD_MAX_CHANNELS, LYRD_MAX_CHANNELS + 3, 1));
    EXPECT_TRUE(g.setChannelRange(LYRD_MAX_CHANNELS - 2, INT32_MAX, 300));
    EXPECT_TRUE(g.setChannelRange(LYRD_MAX_CHANNELS - 2, INT32_MAX, 44));  // same bounds: updated
    ASSERT_EQ(g.getChannelRanges().size(), 1u);
    EXPECT_EQ(g.getChannelRanges()[0].end, LYRD_MAX_CHANNELS - 1);
    g.doOverlays(buffer.data());  // ASan guards the end
    EXPECT_EQ(buffer[LYRD_MAX_CHANNELS - 1], 44);
    EXPECT_EQ(g.numActive, 1);
}

TEST_F(GlazeManagerTest, PeriodCountsFromTheDueTimeEvenWhenTheCallIsLate) {
    g.addModel(matrix("a", 1, 2, 2));
    GlazeModel* a = g.getModel("a");
    std::atomic<int> calls{0};
    a->setRunningEffect(new ProbeEffect(a, 50, 30, calls), 20);
    uint64_t due = onlyKey();
    ASSERT_NE(due, 0u);
    ASSERT_TRUE(waitFor([&] { return calls >= 1; }));
    ASSERT_TRUE(waitFor([&] { return onlyKey() != due && onlyKey() != 0; }));
    EXPECT_EQ(onlyKey(), due + 50);
}

TEST_F(GlazeManagerTest, NegativeAnswersRunAfterTheNextFrameAndZeroEnds) {
    g.addModel(matrix("a", 1, 2, 2));
    GlazeModel* a = g.getModel("a");
    a->setState(GlazeState("Enabled"));
    std::atomic<int> calls{0};
    auto* probe = new ProbeEffect(a, -1, 0, calls);
    a->setRunningEffect(probe, 0);
    EXPECT_EQ(calls, 0);
    g.doOverlays(buffer.data());
    EXPECT_EQ(calls, 1);
    {
        std::lock_guard<std::mutex> l(g.threadLock);
        EXPECT_TRUE(g.frameUpdateModels.empty());  // doOverlays ignores the answer
    }
    probe->answer = 0;
    EXPECT_EQ(a->updateRunningEffects(), 0);
    EXPECT_FALSE(a->isEffectRunning());
    EXPECT_EQ(a->updateRunningEffects(), 0);
}

TEST_F(GlazeManagerTest, ReloadStopsTheThreadDeletesModelsAndANewRequestRestartsIt) {
    Json::Value models(Json::arrayValue);
    models.append(matrix("a", 1, 2, 2));
    writeMap(models);
    g.loadModelMap();
    GlazeModel* a = g.getModel("a");
    ASSERT_NE(a, nullptr);
    a->setState(GlazeState("Enabled"));
    std::atomic<int> calls{0};
    a->setRunningEffect(new ProbeEffect(a, 5, 0, calls), 1);
    ASSERT_TRUE(waitFor([&] { return calls > 2; }));
    g.loadModelMap();
    EXPECT_EQ(g.updateThread, nullptr);
    EXPECT_EQ(g.numActive, 0);
    EXPECT_TRUE(g.activeModels.empty());
    GlazeModel* again = g.getModel("a");
    ASSERT_NE(again, nullptr);
    std::atomic<int> later{0};
    again->setRunningEffect(new ProbeEffect(again, 0, 0, later), 1);
    EXPECT_NE(g.updateThread, nullptr);
    EXPECT_TRUE(waitFor([&] { return later == 1; }));
}

TEST_F(GlazeManagerTest, ModelMapLoadSkipsBadEntriesAndKeepsAutoCreate) {
    testutil::LogCapture log;
    Json::Value models(Json::arrayValue);
    Json::Value sub(Json::objectValue);
    sub["Name"] = "early-sub";
    sub["Type"] = "Sub";
    sub["Parent"] = "late-parent";
    models.append(sub);  // parent listed later: still loads
    Json::Value orphan = sub;
    orphan["Name"] = "orphan";
    orphan["Parent"] = "nobody";
    models.append(orphan);
    Json::Value unknown = matrix("odd", 1, 2, 2);
    unknown["Type"] = "Hologram";
    models.append(unknown);
    models.append(matrix("late-parent", 1, 4, 4));
    models.append(matrix("past-end", LYRD_MAX_CHANNELS - 2, 2, 2));
    models.append("not an object");
    models.append(matrix("overlap", 1, 2, 2));  // overlapping is allowed
    Json::Value typeArray = matrix("type-array", 1, 2, 2);
    typeArray["Type"] = Json::Value(Json::arrayValue);
    models.append(typeArray);
    Json::Value parentObject = sub;
    parentObject["Name"] = "parent-object";
    parentObject["Parent"] = Json::Value(Json::objectValue);
    models.append(parentObject);
    Json::Value no = false;
    writeMap(models, &no);
    g.loadModelMap();
    EXPECT_EQ(g.getModelNames(), (std::vector<std::string>{"late-parent", "overlap", "early-sub"}));
    EXPECT_FALSE(g.getAutoCreate());
    EXPECT_TRUE(log.contains("nobody"));
    EXPECT_TRUE(log.contains("past the last channel"));

    writeMap(Json::Value(Json::arrayValue));
    g.loadModelMap();
    EXPECT_TRUE(g.getAutoCreate());

    // A text is no boolean: kept true with a warning (an upload refuses it).
    Json::Value text = "no";
    writeMap(Json::Value(Json::arrayValue), &text);
    g.loadModelMap();
    EXPECT_TRUE(g.getAutoCreate());
    EXPECT_TRUE(log.contains("\"autoCreate\" is not true or false"));
}

TEST_F(GlazeManagerTest, UnparsableOrMisshapenMapLoadsNothing) {
    testutil::LogCapture log;
    testutil::writeFile(mapPath(), "{\"models\": [");
    g.loadModelMap();
    EXPECT_TRUE(g.models.empty());
    EXPECT_TRUE(log.containsAt(LOG_ERR, "Error parsing model-overlays.json."));
    testutil::writeFile(mapPath(), "{\"models\": {\"Name\": \"x\"}}");
    g.loadModelMap();
    EXPECT_TRUE(g.models.empty());
}

TEST_F(GlazeManagerTest, ReplacingAnActiveModelRebuildsItsSubModels) {
    g.addModel(matrix("p", 1, 4, 1));
    Json::Value sub(Json::objectValue);
    sub["Name"] = "s";
    sub["Type"] = "Sub";
    sub["Parent"] = "p";
    g.addModel(sub);
    g.getModel("p")->setState(GlazeState("Enabled"));
    g.getModel("s")->setState(GlazeState("Enabled"));
    ASSERT_EQ(g.numActive, 2);
    ASSERT_TRUE(g.addModel(matrix("p", 101, 3, 1)));
    EXPECT_EQ(g.numActive, 0);
    EXPECT_EQ(g.getModelNames(), (std::vector<std::string>{"p", "s"}));
    GlazeModel* s = g.getModel("s");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->getWidth(), 3);
    s->fill(1, 1, 1);
    s->setState(GlazeState("Enabled"));
    g.doOverlays(buffer.data());
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[100], 1);
    // A sub-model cannot be its own parent.
    sub["Parent"] = "s";
    EXPECT_FALSE(g.addModel(sub));
}

TEST_F(GlazeManagerTest, AutoModelsAreZeroBasedAndCommandsComeWithTheFirstModel) {
    for (const char* n : {"Overlay Model State", "Overlay Model Effect"}) {
        if (CommandManager::INSTANCE.getCommand(n)) CommandManager::INSTANCE.removeCommand(n);
    }
    g.RegisterCommands();
    EXPECT_EQ(CommandManager::INSTANCE.getCommand("Overlay Model State"), nullptr);
    ASSERT_TRUE(g.addAutoOverlayModel("auto", 0, 30, 3, "horizontal", "TL", 1, 1));
    GlazeModel* m = g.getModel("auto");
    EXPECT_EQ(m->getStartChannel(), 0);
    EXPECT_EQ(m->getConfig()["StartChannel"].asInt(), 1);
    EXPECT_TRUE(m->getConfig()["autoCreated"].asBool());
    for (const char* n : {"Overlay Model State", "Overlay Model Fill", "Overlay Model Text",
                          "Overlay Model Clear", "Overlay Model Effect"}) {
        EXPECT_NE(CommandManager::INSTANCE.getCommand(n), nullptr) << n;
    }
}

TEST_F(GlazeManagerTest, ComposingWhileModelsChangeAndReloadKeepsCountsRight) {
    Json::Value models(Json::arrayValue);
    models.append(matrix("a", 1, 8, 8));
    models.append(matrix("b", 193, 8, 8));
    Json::Value sub(Json::objectValue);
    sub["Name"] = "s";
    sub["Type"] = "Sub";
    sub["Parent"] = "a";
    sub["Width"] = 4;
    models.append(sub);
    writeMap(models);
    g.loadModelMap();
    std::atomic<bool> stop{false};
    std::thread output([&] {
        while (!stop) g.doOverlays(buffer.data());
    });
    for (int i = 0; i < 60; i++) {
        std::lock_guard<std::mutex> l(g.modelsLock);
        for (const char* n : {"a", "b", "s"}) {
            GlazeModel* m = g.getModel(n);
            m->setState(GlazeState(i % 4));
            m->fill(i, 255 - i, 7);
            if (i % 3 == 0) m->applyEffect("Enabled", "Color Fade", {"#00FF00", "5", "5", "5"});
        }
        if (i % 10 == 9) g.loadModelMap();
        if (i % 7 == 0) g.setChannelRange(i, i + 3, i);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    output.join();
    std::lock_guard<std::mutex> l(g.activeModelsLock);
    EXPECT_EQ(g.numActive, (int)(g.activeModels.size() + g.channelRanges.size()));
}
