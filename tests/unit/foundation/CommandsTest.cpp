#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <stdexcept>

#include "TestUtil.h"
#include "common.h"
#include "platform/CommandManager.h"
#include "settings.h"

using testutil::LogCapture;
using testutil::makeDir;
using testutil::writeFile;

namespace {

// Remembers every call; the registry owns it, the test keeps a view of the calls.
struct Calls {
    std::vector<std::vector<std::string>> args;
};

class RecordingCommand : public Command {
public:
    RecordingCommand(const std::string& name, Calls* calls, std::atomic<int>* destroyed = nullptr)
        : Command(name, "records its calls"), calls(calls), destroyed(destroyed) {}
    ~RecordingCommand() override {
        if (destroyed) (*destroyed)++;
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        calls->args.push_back(a);
        return std::make_unique<Result>("ran " + name);
    }
    Calls* calls;
    std::atomic<int>* destroyed;
};

class LambdaCommand : public Command {
public:
    LambdaCommand(const std::string& name,
                  std::function<std::unique_ptr<Result>(const std::vector<std::string>&)> f,
                  bool hide = false)
        : Command(name), f(std::move(f)), hide(hide) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override { return f(a); }
    bool hidden() const override { return hide; }
    std::function<std::unique_ptr<Result>(const std::vector<std::string>&)> f;
    bool hide;
};

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        media = dir.sub("media");
        makeDir(media);
        makeDir(media + "/config");
        ResetLyrDirsForTesting(dir.path(), media);
        CommandManager::INSTANCE.Cleanup();
        CommandManager::INSTANCE.Init();
    }
    void TearDown() override { CommandManager::INSTANCE.Cleanup(); }

    void writePresets(const std::string& json) {
        writeFile(media + "/config/commandPresets.json", json);
        CommandManager::INSTANCE.LoadPresets();
    }
    Calls* record(const std::string& name) {
        calls.emplace_back(new Calls());
        CommandManager::INSTANCE.addCommand(new RecordingCommand(name, calls.back().get()));
        return calls.back().get();
    }

    testutil::TempDir dir;
    std::string media;
    std::vector<std::unique_ptr<Calls>> calls;
};

using Args = std::vector<std::string>;

TEST_F(CommandsTest, RunByNameAndFromJSON) {
    Calls* c = record("Echo");
    auto r = CommandManager::INSTANCE.run("Echo", {"a", "b"});
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->isError());
    EXPECT_EQ("ran Echo", r->get());
    EXPECT_EQ("text/plain", r->contentType());

    Json::Value cmd;
    cmd["command"] = "Echo";
    cmd["args"].append("x");
    cmd["args"].append(5);
    cmd["args"].append(true);
    cmd["args"].append(-2);
    EXPECT_FALSE(CommandManager::INSTANCE.run(cmd)->isError());

    Json::Value noArgs;
    noArgs["command"] = "Echo";
    EXPECT_FALSE(CommandManager::INSTANCE.run(noArgs)->isError());

    ASSERT_EQ(3u, c->args.size());
    EXPECT_EQ((Args{"a", "b"}), c->args[0]);
    EXPECT_EQ((Args{"x", "5", "true", "-2"}), c->args[1]);
    EXPECT_TRUE(c->args[2].empty());
    ASSERT_NE(nullptr, CommandManager::INSTANCE.getCommand("Echo"));
    EXPECT_EQ(nullptr, CommandManager::INSTANCE.getCommand("echo"));  // names are exact
}

TEST_F(CommandsTest, UnknownCommandAndBadJSONGiveErrorResults) {
    LogCapture log;
    auto r = CommandManager::INSTANCE.run("No Such Command", {});
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->isError());
    EXPECT_NE(std::string::npos, r->get().find("No Such Command"));
    EXPECT_TRUE(log.contains("Unknown command 'No Such Command'"));

    Calls* c = record("Echo");
    Json::Value bad[5];
    bad[0] = Json::Value("Echo");  // not an object
    bad[1]["args"].append("x");    // no command
    bad[2]["command"] = 3;
    bad[3]["command"] = "Echo";
    bad[3]["args"] = "x";  // args not a list
    bad[4]["command"] = "Echo";
    bad[4]["args"].append(Json::Value(Json::objectValue));
    for (const auto& b : bad) {
        auto res = CommandManager::INSTANCE.run(b);
        ASSERT_TRUE(res);
        EXPECT_TRUE(res->isError()) << SaveJsonToString(b);
        EXPECT_FALSE(res->get().empty());
    }
    EXPECT_TRUE(c->args.empty());
}

TEST_F(CommandsTest, ThrowingOrSilentCommandsDoNotEscape) {
    CommandManager::INSTANCE.addCommand(new LambdaCommand("Parse", [](const Args& a) {
        return std::make_unique<Command::Result>(std::to_string(std::stoi(a.at(0))));
    }));
    CommandManager::INSTANCE.addCommand(
        new LambdaCommand("Odd", [](const Args&) -> std::unique_ptr<Command::Result> { throw 42; }));
    CommandManager::INSTANCE.addCommand(
        new LambdaCommand("Nothing", [](const Args&) { return std::unique_ptr<Command::Result>(); }));

    EXPECT_EQ("12", CommandManager::INSTANCE.run("Parse", {"12"})->get());
    auto r = CommandManager::INSTANCE.run("Parse", {"twelve"});
    EXPECT_TRUE(r->isError());
    EXPECT_NE(std::string::npos, r->get().find("Parse"));
    EXPECT_TRUE(CommandManager::INSTANCE.run("Parse", {})->isError());  // std::out_of_range
    EXPECT_TRUE(CommandManager::INSTANCE.run("Odd", {})->isError());
    auto n = CommandManager::INSTANCE.run("Nothing", {});
    ASSERT_TRUE(n);
    EXPECT_FALSE(n->isError());
}

TEST_F(CommandsTest, OwnershipReplaceRemoveAndCleanup) {
    std::atomic<int> destroyed{0};
    Calls a, b;
    auto* first = new RecordingCommand("Same", &a, &destroyed);
    CommandManager::INSTANCE.addCommand(first);
    CommandManager::INSTANCE.addCommand(first);  // adding the same object again must not free it
    EXPECT_EQ(0, destroyed.load());
    CommandManager::INSTANCE.addCommand(new RecordingCommand("Same", &b, &destroyed));
    EXPECT_EQ(1, destroyed.load());
    CommandManager::INSTANCE.run("Same", {});
    EXPECT_TRUE(a.args.empty());
    EXPECT_EQ(1u, b.args.size());

    CommandManager::INSTANCE.removeCommand("Same");
    EXPECT_EQ(2, destroyed.load());
    EXPECT_TRUE(CommandManager::INSTANCE.run("Same", {})->isError());

    CommandManager::INSTANCE.addCommand(new RecordingCommand("Other", &a, &destroyed));
    CommandManager::INSTANCE.Cleanup();
    EXPECT_EQ(3, destroyed.load());
    EXPECT_EQ(nullptr, CommandManager::INSTANCE.getCommand("Other"));
    CommandManager::INSTANCE.addCommand(nullptr);  // ignored
}

TEST_F(CommandsTest, ACommandMayRemoveItselfWhileRunning) {
    std::atomic<int> destroyed{0};
    struct SelfRemoving : public Command {
        explicit SelfRemoving(std::atomic<int>* d) : Command("Self"), d(d) {}
        ~SelfRemoving() override { (*d)++; }
        std::unique_ptr<Result> run(const std::vector<std::string>&) override {
            CommandManager::INSTANCE.removeCommand(name);
            // Still alive: the registry holds it until this run returns.
            return std::make_unique<Result>(name + " still here " + std::to_string(d->load()));
        }
        std::atomic<int>* d;
    };
    CommandManager::INSTANCE.addCommand(new SelfRemoving(&destroyed));
    EXPECT_EQ("Self still here 0", CommandManager::INSTANCE.run("Self", {})->get());
    EXPECT_EQ(1, destroyed.load());
}

TEST_F(CommandsTest, DescriptionsListVisibleCommandsWithTheirArguments) {
    auto* cmd =
        new LambdaCommand("Described", [](const Args&) { return std::make_unique<Command::Result>(); });
    cmd->description = "Does things";
    Command::CommandArg arg("level", "int", "How much", true);
    arg.min = 0;
    arg.max = 10;
    arg.defaultValue = "5";
    Command::CommandArg choice("mode", "string", "Which");
    choice.allowableValues = {"on", "off"};
    cmd->args = {arg, choice};
    CommandManager::INSTANCE.addCommand(cmd);
    CommandManager::INSTANCE.addCommand(new LambdaCommand(
        "Secret", [](const Args&) { return std::make_unique<Command::Result>(); }, true));

    Json::Value all = CommandManager::INSTANCE.getDescriptions();
    ASSERT_TRUE(all.isArray());
    Json::Value found;
    for (const auto& d : all) {
        EXPECT_NE("Secret", d["name"].asString());
        if (d["name"].asString() == "Described") found = d;
    }
    ASSERT_TRUE(found.isObject());
    EXPECT_EQ("Does things", found["description"].asString());
    ASSERT_EQ(2u, found["args"].size());
    EXPECT_EQ("level", found["args"][0]["name"].asString());
    EXPECT_EQ("int", found["args"][0]["type"].asString());
    EXPECT_TRUE(found["args"][0]["optional"].asBool());
    EXPECT_EQ(0, found["args"][0]["min"].asInt());
    EXPECT_EQ(10, found["args"][0]["max"].asInt());
    EXPECT_EQ("5", found["args"][0]["default"].asString());
    EXPECT_FALSE(found["args"][1].isMember("min"));
    EXPECT_EQ("off", found["args"][1]["contents"][1].asString());
    // Built-in commands are described too.
    bool builtin = false;
    for (const auto& d : all) builtin = builtin || d["name"].asString() == "Trigger Preset";
    EXPECT_TRUE(builtin);
}

TEST_F(CommandsTest, PresetsRunByNameAndSlotInFileOrder) {
    Calls* c = record("Echo");
    writePresets(R"({"commands": [
        {"name": "SHOW", "presetSlot": 2, "commands": [
            {"command": "Echo", "args": ["one"]},
            {"command": "Echo", "args": ["two"]}]},
        {"name": "EMPTY", "commands": []},
        {"name": "SHOW", "commands": [{"command": "Echo", "args": ["three"]}]},
        {"name": "SLOT3", "presetSlot": 3, "commands": [{"command": "Echo", "args": ["slot"]}]}
    ]})");
    EXPECT_EQ(3, CommandManager::INSTANCE.TriggerPreset("SHOW"));
    ASSERT_EQ(3u, c->args.size());
    EXPECT_EQ(Args{"one"}, c->args[0]);
    EXPECT_EQ(Args{"two"}, c->args[1]);
    EXPECT_EQ(Args{"three"}, c->args[2]);

    EXPECT_EQ(1, CommandManager::INSTANCE.TriggerPreset(3));
    EXPECT_EQ(Args{"slot"}, c->args.back());
    EXPECT_EQ(2, CommandManager::INSTANCE.TriggerPreset(2));

    EXPECT_EQ(0, CommandManager::INSTANCE.TriggerPreset("EMPTY"));
    EXPECT_EQ(-1, CommandManager::INSTANCE.TriggerPreset("show"));
    EXPECT_EQ(-1, CommandManager::INSTANCE.TriggerPreset("LYRD_STARTED"));
    EXPECT_EQ(-1, CommandManager::INSTANCE.TriggerPreset(0));  // no slot
    EXPECT_EQ(-1, CommandManager::INSTANCE.TriggerPreset(9));

    Json::Value p = CommandManager::INSTANCE.getPresets();
    EXPECT_EQ(4u, p["commands"].size());
}

TEST_F(CommandsTest, PresetsReplaceKeywordsInArguments) {
    Calls* c = record("Echo");
    writePresets(R"({"commands": [{"name": "PLAYLIST_STARTED", "commands": [
        {"command": "Echo", "args": ["%PLAYLIST_NAME%", "at %TIME% on %DATE%", "%UNKNOWN%", "100%"]}]}]})");
    EXPECT_EQ(
        1, CommandManager::INSTANCE.TriggerPreset("PLAYLIST_STARTED", {{"PLAYLIST_NAME", "Evening Show"}}));
    ASSERT_EQ(1u, c->args.size());
    const Args& a = c->args[0];
    ASSERT_EQ(4u, a.size());
    EXPECT_EQ("Evening Show", a[0]);
    EXPECT_TRUE(std::regex_match(a[1], std::regex("at \\d\\d:\\d\\d:\\d\\d on \\d{4}-\\d\\d-\\d\\d")))
        << a[1];
    EXPECT_EQ("%UNKNOWN%", a[2]);
    EXPECT_EQ("100%", a[3]);

    // Plain JSON runs keep their arguments as written; the keyword form replaces.
    Json::Value cmd;
    cmd["command"] = "Echo";
    cmd["args"].append("%NAME%");
    CommandManager::INSTANCE.run(cmd);
    EXPECT_EQ(Args{"%NAME%"}, c->args.back());
    CommandManager::INSTANCE.run(cmd, {{"NAME", "x"}});
    EXPECT_EQ(Args{"x"}, c->args.back());
}

TEST_F(CommandsTest, BadPresetFilesLeaveNoPresets) {
    Calls* c = record("Echo");
    writePresets(R"({"commands": [{"name": "GOOD", "commands": [{"command": "Echo"}]}]})");
    EXPECT_EQ(1, CommandManager::INSTANCE.TriggerPreset("GOOD"));

    {
        LogCapture log;
        writePresets(R"({"commands": [{"name": "GOOD", )");
        EXPECT_TRUE(log.containsAt(LOG_ERR, "Unable to parse command presets file"));
    }
    EXPECT_EQ(-1, CommandManager::INSTANCE.TriggerPreset("GOOD"));
    EXPECT_EQ(0u, CommandManager::INSTANCE.getPresets()["commands"].size());

    for (const char* text : {"[]", "{\"commands\": {}}", "{}", "\x01\x02\xff"}) {
        writePresets(text);
        EXPECT_EQ(-1, CommandManager::INSTANCE.TriggerPreset("GOOD")) << text;
    }

    // Bad entries are skipped, good ones kept; a bad command inside a preset is
    // reported and the rest still runs.
    writePresets(R"({"commands": [
        {"commands": [{"command": "Echo"}]},
        {"name": 5},
        "text",
        {"name": "MIXED", "commands": [{"command": "Missing"}, 7, {"command": "Echo", "args": ["after"]}]}
    ]})");
    EXPECT_EQ(1u, CommandManager::INSTANCE.getPresets()["commands"].size());
    EXPECT_EQ(3, CommandManager::INSTANCE.TriggerPreset("MIXED"));
    EXPECT_EQ(Args{"after"}, c->args.back());

    unlink((media + "/config/commandPresets.json").c_str());
    CommandManager::INSTANCE.LoadPresets();
    EXPECT_EQ(-1, CommandManager::INSTANCE.TriggerPreset("MIXED"));
}

TEST_F(CommandsTest, BuiltInPresetCommandsAndRunawayNesting) {
    Calls* c = record("Echo");
    writePresets(R"({"commands": [
        {"name": "A", "presetSlot": 1, "commands": [{"command": "Echo", "args": ["a"]}]},
        {"name": "LOOP", "commands": [{"command": "Echo", "args": ["loop"]}, {"command": "Trigger Preset", "args": ["LOOP"]}]}
    ]})");
    EXPECT_FALSE(CommandManager::INSTANCE.run("Trigger Preset", {"A"})->isError());
    EXPECT_FALSE(CommandManager::INSTANCE.run("Trigger Preset Slot", {"1"})->isError());
    EXPECT_EQ(2u, c->args.size());
    EXPECT_TRUE(CommandManager::INSTANCE.run("Trigger Preset", {"NOPE"})->isError());
    EXPECT_TRUE(CommandManager::INSTANCE.run("Trigger Preset", {})->isError());
    EXPECT_TRUE(CommandManager::INSTANCE.run("Trigger Preset Slot", {"abc"})->isError());
    EXPECT_TRUE(CommandManager::INSTANCE.run("Trigger Preset Slot", {"7"})->isError());
    EXPECT_TRUE(CommandManager::INSTANCE.run("Trigger Preset Slot", {"99999999999999"})->isError());

    LogCapture log;
    c->args.clear();
    EXPECT_EQ(2, CommandManager::INSTANCE.TriggerPreset("LOOP"));
    EXPECT_EQ(8u, c->args.size());  // stopped at the nesting limit
    EXPECT_TRUE(log.contains("nested"));
}

}  // namespace
