#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>

#include "SchedulerFixture.h"

namespace {

// Records its first argument; scheduled commands and presets run it.
class RecordCommand : public Command {
public:
    RecordCommand() : Command("Test Record") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        std::lock_guard<std::mutex> l(lock);
        seen.push_back(args.empty() ? "" : args[0]);
        cv.notify_all();
        return std::make_unique<Result>("ok");
    }
    static std::mutex lock;
    static std::condition_variable cv;
    static std::vector<std::string> seen;
};
std::mutex RecordCommand::lock;
std::condition_variable RecordCommand::cv;
std::vector<std::string> RecordCommand::seen;

class RunTest : public SchedulerTest {
protected:
    void SetUp() override {
        SchedulerTest::SetUp();
        CommandManager::INSTANCE.addCommand(new RecordCommand());
        std::lock_guard<std::mutex> l(RecordCommand::lock);
        RecordCommand::seen.clear();
        for (const char* n : {"Show", "High", "Low", "Night", "Late"}) Playlist(n);
        day = Local(2024, 7, 17);  // a Wednesday, in the test's zone
    }
    std::vector<std::string> Seen() {
        std::lock_guard<std::mutex> l(RecordCommand::lock);
        return RecordCommand::seen;
    }
    std::string Run(std::vector<std::string> args) {
        auto r = CommandManager::INSTANCE.run("Extend Schedule", args);
        return (r->isError() ? "error: " : "") + r->get();
    }
    time_t day = 0;
    time_t At(int h, int m = 0, int s = 0) { return day + h * 3600 + m * 60 + s; }
};

TEST_F(RunTest, StartsDueItemsOncePerSecondAndSkipsOnesAlreadyOver) {
    Schedule(R"([{"playlist": "Late", "startTime": "10:00:00", "endTime": "11:00:00"},
                 {"playlist": "Show", "startTime": "18:00:00", "endTime": "20:00:00", "stopType": 1}])");
    clock.now = At(12);
    Make();
    RunUntil(At(18) - 1);
    EXPECT_TRUE(player.starts.empty());  // 10:00-11:00 is over: never started
    sched->ReloadScheduleFile();
    int loads = LogCount("Loading Schedule");
    sched->ScheduleProc();  // same second: nothing happens
    EXPECT_EQ(loads, LogCount("Loading Schedule"));
    RunUntil(At(18));
    EXPECT_EQ(loads + 1, LogCount("Loading Schedule"));
    ASSERT_EQ(1u, player.starts.size());
    EXPECT_EQ("Show@" + std::to_string(At(18)) + "-" + std::to_string(At(20)), player.starts[0]);
    EXPECT_EQ(1, player.entry);
    EXPECT_EQ(1, player.priority);
    EXPECT_EQ(1, player.stopMethod);

    // The clock stepped a minute ahead reloads; the history keeps the
    // occurrence handled even though the playlist has already ended.
    player.status = 0;
    clock.now += 60;
    sched->ScheduleProc();
    EXPECT_EQ(loads + 2, LogCount("Loading Schedule"));
    RunUntil(clock.now + 5);
    EXPECT_EQ(1u, player.starts.size());
    EXPECT_LE(1, LogCount("Marking playlist item as already ran"));
}

TEST_F(RunTest, HigherPriorityPreemptsAndThePreemptedShowComesBack) {
    Schedule(R"([{"playlist": "High", "startTime": "19:00:00", "endTime": "20:00:00"},
                 {"playlist": "Low", "startTime": "18:00:00", "endTime": "22:00:00"}])");
    clock.now = At(17, 59, 59);
    Make();
    RunUntil(At(19));
    ASSERT_EQ(2u, player.starts.size());
    EXPECT_EQ("High", player.name);
    EXPECT_EQ(std::vector<std::string>{"graceful"}, player.stops);
    RunUntil(At(20));
    player.status = 0;  // High ends by itself
    sched->CheckIfShouldBePlayingNow(0, -1);
    ASSERT_EQ(3u, player.starts.size());
    EXPECT_EQ("Low@" + std::to_string(At(18)) + "-" + std::to_string(At(22)), player.starts[2]);
}

TEST_F(RunTest, LowerPriorityWaitsForTheRunningShow) {
    Schedule(R"([{"playlist": "Show", "startTime": "18:00:00", "endTime": "20:00:00"},
                 {"playlist": "Late", "startTime": "19:00:00", "endTime": "21:00:00"}])");
    clock.now = At(17, 59, 59);
    Make();
    RunUntil(At(19, 30));
    EXPECT_EQ(1u, player.starts.size());
    EXPECT_TRUE(player.stops.empty());
    player.status = 0;
    RunUntil(At(20, 0, 1));
    ASSERT_EQ(2u, player.starts.size());
    EXPECT_EQ("Late", player.name);
}

TEST_F(RunTest, ManualPlaylistIsStoppedHardForAScheduledOne) {
    Schedule(R"([{"playlist": "Show", "startTime": "18:00:00", "endTime": "20:00:00"}])");
    clock.now = At(17, 59, 59);
    Make();
    player.StartManual("Manual");
    RunUntil(At(18));
    EXPECT_EQ(std::vector<std::string>{"now!"}, player.stops);
    EXPECT_EQ("Show", player.name);
}

TEST_F(RunTest, StoppedOnRequestStaysStoppedButAnEndedRepeatRestarts) {
    Schedule(R"([{"playlist": "Show", "startTime": "18:00:00", "endTime": "20:00:00", "repeat": true}])");
    clock.now = At(17, 59, 59);
    Make();
    RunUntil(At(18, 30));
    player.status = 0;  // ended by itself
    sched->CheckIfShouldBePlayingNow(0, -1);
    EXPECT_EQ(2u, player.starts.size());
    player.StopNow(1);  // the user stops it
    sched->CheckIfShouldBePlayingNow(0, player.entry);
    RunUntil(At(19));
    EXPECT_EQ(2u, player.starts.size());
    sched->CheckIfShouldBePlayingNow(1, -1);  // forced from the command socket
    EXPECT_EQ(2u, player.starts.size());      // still the stopped occurrence
}

TEST_F(RunTest, CommandsRunOnlyInTheirOwnSecondOnAThread) {
    Schedule(R"([{"command": "Test Record", "args": ["early"], "startTime": "11:00:00"},
                 {"command": "Test Record", "args": ["due"], "startTime": "12:00:05", "lockstepHosts": "10.0.0.2"}])");
    clock.now = At(12);
    Make();
    RunUntil(At(12, 0, 10));
    std::unique_lock<std::mutex> l(RecordCommand::lock);
    ASSERT_TRUE(
        RecordCommand::cv.wait_for(l, std::chrono::seconds(5), [] { return !RecordCommand::seen.empty(); }));
    EXPECT_EQ(std::vector<std::string>{"due"}, RecordCommand::seen);
}

TEST_F(RunTest, CountdownAnnouncesAndTriggersPresets) {
    std::string presets = R"({"commands": [)";
    for (int d : {600, 45, 40, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}) {
        char name[32];
        snprintf(name, sizeof(name), "PLAYLIST_START_TMINUS_%03d", d);
        presets += std::string(d == 600 ? "" : ",") + R"({"name": ")" + name +
                   R"(", "commands": [{"command": "Test Record", "args": ["%PLAYLIST_NAME%-)" +
                   std::to_string(d) + "\"]}]}";
    }
    testutil::writeFile(dir.sub("media/config/commandPresets.json"), presets + "]}");
    CommandManager::INSTANCE.LoadPresets();
    Schedule(R"([{"playlist": "Show", "startTime": "18:00:00", "endTime": "20:00:00"}])");
    clock.now = At(18) - 1300;
    Make();
    RunUntil(At(18) - 1);
    std::vector<std::string> want = {"Show-600", "Show-40"};
    for (int d = 10; d >= 1; d--) want.push_back("Show-" + std::to_string(d));
    EXPECT_EQ(want, Seen());
    EXPECT_EQ(1, LogCount("Scheduled Item running in 1200 seconds:"));
    EXPECT_EQ(0, LogCount("running in 45 seconds"));
    EXPECT_EQ(1, LogCount("Scheduled Item running in 1 second:\n"));
    testutil::writeFile(dir.sub("media/config/commandPresets.json"), "{\"commands\": []}");
    CommandManager::INSTANCE.LoadPresets();
}

TEST_F(RunTest, ExtendScheduleMovesTheEndAndWithALimitTheFollowingShows) {
    Schedule(R"([{"playlist": "Show", "startTime": "18:00:00", "endTime": "20:00:00"},
                 {"playlist": "Late", "startTime": "20:00:00", "endTime": "21:00:00"}])");
    clock.now = At(17, 59, 59);
    Make();
    EXPECT_EQ("Error extending Schedule", Run({"600"}));  // nothing playing yet
    RunUntil(At(18, 30));
    EXPECT_EQ("error: Command needs at least 1 argument, found 0", Run({}));
    EXPECT_EQ("Schedule Updated", Run({"600", "0"}));
    EXPECT_EQ(At(20, 10), player.stopTime);
    int loads = LogCount("Loading Schedule");
    RunUntil(At(18, 30, 2));
    EXPECT_EQ(loads, LogCount("Loading Schedule"));

    EXPECT_EQ(0u, Run({"abc"}).find("error: "));  // not a number
    EXPECT_EQ(0u, Run({"300", "soon"}).find("error: "));
    EXPECT_EQ(At(20, 10), player.stopTime);  // a bad limit changes nothing

    EXPECT_EQ("Schedule Updated", Run({"300", "7200"}));
    EXPECT_EQ(At(20, 15), player.stopTime);
    RunUntil(At(18, 30, 4));
    EXPECT_EQ(loads + 1, LogCount("Loading Schedule"));
    ScheduledItem* next = sched->GetNextScheduledPlaylist();
    ASSERT_NE(nullptr, next);
    EXPECT_EQ(At(20, 5), next->startTime);  // shifted by the 300 s of this window
    EXPECT_EQ(1u, player.starts.size());    // the running show was not disturbed
}

TEST_F(RunTest, StartNextScheduledItemNow) {
    Schedule("[]");
    clock.now = At(12);
    Make();
    auto r = CommandManager::INSTANCE.run("Start Next Scheduled Item", {});
    EXPECT_EQ("Unable to start next scheduled item", r->get());
    EXPECT_FALSE(r->isError());
    Schedule(R"([{"playlist": "Show", "startTime": "18:00:00", "endTime": "20:00:00"}])");
    sched->LoadScheduleFromFile();
    player.StartManual("Manual");
    EXPECT_EQ("Next scheduled item started",
              CommandManager::INSTANCE.run("Start Next Scheduled Item", {})->get());
    EXPECT_EQ(std::vector<std::string>{"now!"}, player.stops);
    EXPECT_EQ("Show@" + std::to_string(At(12)) + "-" + std::to_string(At(20)), player.starts.at(0));
}

TEST_F(RunTest, CommandsFollowTheSchedulerThatRegisteredThemLast) {
    Schedule("[]");
    clock.now = At(12);
    auto first = std::make_unique<Scheduler>(clock, player);
    Make();  // replaces the first one's commands
    first.reset();
    EXPECT_EQ("Unable to start next scheduled item",
              CommandManager::INSTANCE.run("Start Next Scheduled Item", {})->get());
    sched.reset();
    EXPECT_TRUE(CommandManager::INSTANCE.run("Start Next Scheduled Item", {})->isError());  // gone with it
}

TEST_F(RunTest, DisabledSchedulerStartsNothingButStillReports) {
    SetSetting("DisableScheduler", 1);
    Schedule(R"([{"playlist": "Show", "startTime": "18:00:00", "endTime": "20:00:00"}])");
    clock.now = At(17, 59, 59);
    Make();
    RunUntil(At(18, 0, 5));
    sched->CheckIfShouldBePlayingNow(1, -1);
    EXPECT_TRUE(player.starts.empty());
    EXPECT_EQ("Scheduler is disabled.", sched->GetNextPlaylistName());
    EXPECT_EQ(0, sched->GetInfo()["enabled"].asInt());
    EXPECT_EQ(1u, sched->GetSchedule()["entries"].size());
    EXPECT_EQ(1, LogCount("WARNING: Scheduler is currently disabled"));
}

// A 22:00-02:00 show keeps playing through the reload at midnight: into a
// new week, a new year, and the two daylight-saving nights.
TEST_F(RunTest, OvernightShowSurvivesMidnight) {
    Schedule(R"([{"playlist": "Night", "startTime": "22:00:00", "endTime": "02:00:00", "repeat": true}])");
    struct Night {
        time_t evening;
        time_t end;
    } nights[] = {
        {Local(2024, 7, 20, 22), Local(2024, 7, 21, 2)},  // Saturday into Sunday
        {Local(2024, 12, 31, 22), Local(2025, 1, 1, 2)},  // New Year
        {Local(2024, 3, 9, 22), 1710054000},              // 02:00 skipped: ends at the jump, 03:00 EDT
        {Local(2024, 11, 2, 22), Local(2024, 11, 3, 2)},  // 02:00 EST, five hours later
    };
    for (const Night& n : nights) {
        player = FakePlayer();
        player.clock = &clock;
        clock.now = n.evening - 1;
        Make();
        RunUntil(n.evening + 2 * 3600 + 30);
        ASSERT_EQ(1u, player.starts.size()) << n.evening;
        EXPECT_EQ(n.end, player.schedStop) << n.evening;
        int repeat = 0;
        EXPECT_EQ("Night", sched->GetPlaylistThatShouldBePlaying(repeat)) << n.evening;
        EXPECT_EQ(1, repeat);
    }
    EXPECT_EQ(5 * 3600, nights[3].end - nights[3].evening);
}

TEST_F(RunTest, StatusQueries) {
    SetSetting("DateFormat", "%Y-%m-%d");
    SetSetting("TimeFormat", "%H:%M");
    Schedule(R"([{"playlist": "Show", "startTime": "18:00:00", "endTime": "20:00:00", "day": 3},
                 {"playlist": "Late", "startTime": "21:00:00", "endTime": "22:00:00", "day": 3}])");
    clock.now = At(12);
    Make();
    EXPECT_EQ("Show", sched->GetNextPlaylistName());
    EXPECT_EQ("2024-07-17 @ 18:00 - (Wednesday)", sched->GetNextPlaylistStartStr());
    EXPECT_EQ("idle", sched->GetInfo()["status"].asString());

    player.StartManual("Manual");
    Json::Value info = sched->GetInfo();
    EXPECT_EQ("manual", info["status"].asString());
    EXPECT_EQ(std::vector<std::string>{"playlistName"}, info["currentPlaylist"].getMemberNames());

    player.status = 0;
    RunUntil(At(18, 0, 10));
    info = sched->GetInfo();
    EXPECT_EQ("playing", info["status"].asString());
    EXPECT_EQ(At(20) - At(18, 0, 10), info["currentPlaylist"]["secondsRemaining"].asInt64());
    Run({"300"});
    info = sched->GetInfo()["currentPlaylist"];
    EXPECT_EQ(At(20, 5), static_cast<time_t>(info["actualEndTime"].asUInt64()));
    EXPECT_EQ(At(20), static_cast<time_t>(info["scheduledEndTime"].asUInt64()));
    EXPECT_EQ("Graceful", info["stopTypeStr"].asString());

    Json::Value s = sched->GetSchedule();
    ASSERT_EQ(2u, s["items"].size());  // the running show, then the pending one; handled ones are absent
    EXPECT_EQ("Show", s["items"][0]["args"][0].asString());
    EXPECT_EQ(At(20, 5), static_cast<time_t>(s["items"][0]["endTime"].asUInt64()));
    EXPECT_EQ("Late", s["items"][1]["args"][0].asString());
    EXPECT_EQ("playlist", s["entries"][1]["type"].asString());
    EXPECT_EQ("Wednesday", s["entries"][1]["dayStr"].asString());
    EXPECT_EQ(1, s["entries"][1]["id"].asInt());

    RunUntil(At(22, 0, 1));
    player.status = 0;
    EXPECT_EQ("No playlist scheduled.", sched->GetNextPlaylistName());
    EXPECT_EQ("", sched->GetNextPlaylistStartStr());
}

}  // namespace
