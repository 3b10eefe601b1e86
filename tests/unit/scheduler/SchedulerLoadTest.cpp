#include <gtest/gtest.h>

#include "SchedulerFixture.h"

namespace {

using LoadTest = SchedulerTest;

TEST_F(LoadTest, EmptyScheduleLogsOnlyTheTableHeader) {
    Schedule("[]");
    clock.now = Local(2024, 7, 17, 12);
    Make();
    EXPECT_TRUE(sched->GetEntries().empty());
    EXPECT_EQ(1, LogCount("Current Schedule: (Status:"));
    EXPECT_EQ(1, LogCount("Stat Start & End Dates"));
    EXPECT_EQ(1, LogCount("---- ----"));
    EXPECT_EQ(1, LogCount("//////"));
}

TEST_F(LoadTest, MissingPlaylistIsLeftOutWithAWarningUntilItExists) {
    Schedule(R"([{"playlist": "Gone", "startTime": "18:00:00"},
                 {"playlist": "Gone", "enabled": false},
                 {"playlist": "Here", "startTime": "19:00:00", "endTime": "20:00:00"}])");
    Playlist("Here");
    clock.now = Local(2024, 7, 17, 12);
    Make();
    const std::string warning = "Scheduled Playlist 'Gone' does not exist";
    EXPECT_TRUE(HasWarning(warning));
    EXPECT_EQ(1, LogCount("ERROR: Scheduled Playlist 'Gone' does not exist"));
    ASSERT_EQ(2u, sched->GetEntries().size());  // the disabled one is kept, without a check
    EXPECT_FALSE(sched->GetEntries()[0].enabled);
    EXPECT_EQ("Here", sched->GetEntries()[1].playlist);
    EXPECT_EQ(1, sched->GetSchedule()["items"][0]["id"].asInt());  // indices shift

    Playlist("Gone");
    sched->LoadScheduleFromFile();
    EXPECT_FALSE(HasWarning(warning));
    EXPECT_EQ(3u, sched->GetEntries().size());
}

TEST_F(LoadTest, BrokenFilesAndEntriesAreReportedAndTheRestStillLoads) {
    Playlist("Good");
    clock.now = Local(2024, 7, 17, 12);
    for (const char* text : {"[{\"playlist\": ", R"({"playlist": "Good"})"}) {
        Schedule(text);
        log.clear();
        Make();
        EXPECT_TRUE(sched->GetEntries().empty()) << text;
        EXPECT_EQ(1, LogCount("Current Schedule"));
    }
    EXPECT_EQ(1, LogCount("must hold a JSON array"));
    Schedule(R"([{"playlist": "Good", "day": -1}, 7, {"playlist": "Good", "endDate": "2024-02-30"},
                 {"playlist": "Good", "startTime": "19:00"}])");
    log.clear();
    Make();
    ASSERT_EQ(1u, sched->GetEntries().size());
    EXPECT_EQ("19:00:00", sched->GetEntries()[0].startTimeStr);
    EXPECT_EQ(1, LogCount("entry 0: \"day\""));
    EXPECT_EQ(1, LogCount("entry 1 is not a JSON object"));
    EXPECT_EQ(1, LogCount("entry 2: \"endDate\""));
}

TEST_F(LoadTest, DayTextsAndTheTableLine) {
    Schedule(R"([{"playlist": "Show", "day": 65536, "repeat": true, "stopType": 1, "startDate": "2024-07-01",
                  "endDate": "2024-07-10"}])");
    Playlist("Show");
    clock.now = Local(2024, 7, 17, 12);
    Make();
    EXPECT_EQ("Mask: -M-W-F-", sched->GetDayTextFromDayIndex(0x10000 | 0x2000 | 0x800 | 0x200));
    EXPECT_EQ("Error", sched->GetDayTextFromDayIndex(16));
    EXPECT_EQ("Weekdays", sched->GetDayTextFromDayIndex(8));
    // Mask 65536 has no day (rejected), so the table is empty.
    EXPECT_TRUE(sched->GetEntries().empty());
    Schedule(R"([{"playlist": "Show", "day": 8, "repeat": true, "stopType": 1, "startDate": "2024-07-01",
                  "endDate": "2024-07-10", "startTime": "18:00:00", "endTime": "22:30:00"}])");
    log.clear();
    sched->LoadScheduleFromFile();
    EXPECT_EQ(1, LogCount("+!*H 2024-07-01 - 2024-07-10 Weekdays      18:00:00 - 22:30:00 Show\n"));
}

TEST_F(LoadTest, WeeklyCodesExpandOverTheWeekAndTheDistance) {
    Playlist("Show");
    Schedule(R"([{"playlist": "Show", "day": 8, "startTime": "18:00:00", "endTime": "19:00:00"}])");
    const time_t sunday = Local(2024, 7, 14);
    clock.now = Local(2024, 7, 17, 12);  // Wednesday
    Make();
    // Monday to Friday of this week, the past ones included.
    EXPECT_EQ((std::vector<std::string>{"0:42h", "0:66h", "0:90h", "0:114h", "0:138h"}), Items(sunday));
    SetSetting("ScheduleDistance", 7);
    sched->LoadScheduleFromFile();
    EXPECT_EQ(10u, Items(sunday).size());
    EXPECT_EQ("0:306h", Items(sunday).back());
    SetSetting("ScheduleDistance", -1);
    sched->LoadScheduleFromFile();
    EXPECT_TRUE(Items(sunday).empty());

    // Saturday, seen on a Sunday: yesterday and the coming Saturday.
    SetSetting("ScheduleDistance", 0);
    Schedule(R"([{"playlist": "Show", "day": 6, "startTime": "18:00:00", "endTime": "19:00:00"}])");
    clock.now = Local(2024, 7, 21, 12);
    sched->LoadScheduleFromFile();
    EXPECT_EQ((std::vector<std::string>{"0:162h", "0:330h"}), Items(sunday));
}

TEST_F(LoadTest, OddAndEvenDaysCountFromTheReferenceDate) {
    Playlist("Show");
    // 17 July 2024 is day 4020 after 15 July 2013: an even day.
    Schedule(R"([{"playlist": "Show", "day": 14, "startTime": "00:30:00", "endTime": "01:00:00"},
                 {"playlist": "Show", "day": 15, "startTime": "00:30:00", "endTime": "01:00:00"}])");
    const time_t sunday = Local(2024, 7, 14);
    clock.now = Local(2024, 7, 17, 0, 10);  // the first hour of a summer day counts as that day
    Make();
    std::vector<int> odd, even;
    std::lock_guard<std::recursive_mutex> l(sched->GetLock());
    for (auto& kv : sched->GetScheduledItems())
        for (ScheduledItem* i : kv.second)
            (i->entryIndex == 0 ? odd : even).push_back(static_cast<int>((i->startTime - sunday) / 86400));
    ASSERT_EQ(17u, odd.size());
    ASSERT_EQ(17u, even.size());
    EXPECT_EQ(2, odd.front());  // yesterday, then every second day from tomorrow
    EXPECT_EQ(4, odd[1]);
    EXPECT_EQ(34, odd.back());
    EXPECT_EQ(3, even.front());  // today
    EXPECT_EQ(35, even.back());
}

TEST_F(LoadTest, ItemsKeepFileOrderAndCommandsHaveNoLength) {
    Playlist("A");
    Playlist("B");
    Schedule(R"([{"playlist": "B", "day": 3, "startTime": "19:00:00", "endTime": "20:00:00"},
                 {"command": "Volume Set", "args": ["70"], "day": 3, "startTime": "19:00:00"},
                 {"playlist": "A", "day": 3, "startTime": "19:00:00", "endTime": "20:00:00"}])");
    clock.now = Local(2024, 7, 17, 12);
    Make();
    std::lock_guard<std::recursive_mutex> l(sched->GetLock());
    ASSERT_EQ(1u, sched->GetScheduledItems().size());
    const auto& list = sched->GetScheduledItems().begin()->second;
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ("B", list[0]->args[0].asString());
    EXPECT_EQ("Volume Set", list[1]->command);
    EXPECT_EQ(list[1]->startTime, list[1]->endTime);
    EXPECT_EQ("A", list[2]->args[0].asString());
    EXPECT_EQ("false", list[2]->args[1].asString());
    EXPECT_EQ("false", list[2]->args[2].asString());
}

}  // namespace
