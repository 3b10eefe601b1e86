#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "common.h"

namespace {

TEST(Dates, DateStrToInt) {
    EXPECT_EQ(20240230, DateStrToInt("2024-02-30"));  // no calendar check
    EXPECT_EQ(20241231, DateStrToInt("2024-12-31"));
    EXPECT_EQ(0, DateStrToInt("2024-2-3"));
    EXPECT_EQ(0, DateStrToInt("2024/02/03"));
    EXPECT_EQ(0, DateStrToInt("2024-02-030"));
    EXPECT_EQ(0, DateStrToInt(""));
    EXPECT_EQ(0, DateStrToInt(nullptr));
}

TEST(Dates, RangesWithAndWithoutYears) {
    // December 1 to January 15, every year.
    EXPECT_TRUE(DateInRange(20241231, 1201, 115));
    EXPECT_TRUE(DateInRange(20250110, 1201, 115));
    EXPECT_TRUE(DateInRange(20250115, 1201, 115));
    EXPECT_FALSE(DateInRange(20240615, 1201, 115));
    EXPECT_FALSE(DateInRange(20250116, 1201, 115));
    // Everything.
    EXPECT_TRUE(DateInRange(20240615, 0, 0));
    EXPECT_TRUE(DateInRange(19991231, 0, 0));
    // Full dates.
    EXPECT_TRUE(DateInRange(20240615, 20240601, 20240630));
    EXPECT_FALSE(DateInRange(20250615, 20240601, 20240630));
    // Year-less without wrap.
    EXPECT_TRUE(DateInRange(20300704, 701, 731));
    EXPECT_FALSE(DateInRange(20300801, 701, 731));
    // Day of every month, wrapping over the month end (25th to 5th).
    EXPECT_TRUE(DateInRange(20240103, 25, 5));
    EXPECT_TRUE(DateInRange(20240128, 25, 5));
    EXPECT_FALSE(DateInRange(20240115, 25, 5));
    EXPECT_TRUE(DateInRange(20240110, 10, 12));
    EXPECT_FALSE(DateInRange(20240113, 10, 12));
}

TEST(Dates, TodayAndOffsets) {
    time_t now = time(nullptr);
    struct tm tm;
    time_t tomorrow = now + 86400;
    localtime_r(&tomorrow, &tm);
    int expected = (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
    EXPECT_EQ(expected, GetCurrentDateInt(1));
    EXPECT_TRUE(CurrentDateInRange(GetCurrentDateInt(-1), GetCurrentDateInt(1)));
    EXPECT_FALSE(DateInRange(now, GetCurrentDateInt(2), GetCurrentDateInt(3)));
    EXPECT_EQ(4u, GetTimeStr("%Y").size());
    EXPECT_EQ(GetDateStr("%Y"), GetTimeStr("%Y"));
    int64_t us = GetTime(), ms = GetTimeMS();
    EXPECT_NEAR(static_cast<double>(us / 1000), static_cast<double>(ms), 1000.0);
    EXPECT_NEAR(static_cast<double>(ms / 1000), static_cast<double>(now), 2.0);
}

TEST(Network, InterfaceQueries) {
    char addr[64], mask[64], gw[64];
    strcpy(gw, "junk");
    EXPECT_EQ(0, GetInterfaceAddress("nosuchif0", addr, mask, gw));
    EXPECT_STREQ("127.0.0.1", addr);
    EXPECT_STREQ("255.255.255.255", mask);
    EXPECT_STREQ("", gw);
    EXPECT_EQ(0, GetInterfaceAddress("lo", addr, mask, nullptr));
    EXPECT_STREQ("127.0.0.1", addr);
    EXPECT_STREQ("255.0.0.0", mask);
    EXPECT_EQ(0, GetInterfaceAddress("a-name-much-longer-than-any-interface", addr, nullptr, nullptr));

    char ip[] = "127.0.0.1";
    EXPECT_STREQ("lo", FindInterfaceForIP(ip));
}

TEST(Shutdown, OnlyTheLastHandlerIsCalled) {
    ShutdownLYRD(false);  // nothing registered yet: nothing happens
    int first = 0, second = 0;
    bool lastRestart = false;
    RegisterShutdownHandler([&](bool) { first++; });
    RegisterShutdownHandler([&](bool r) {
        second++;
        lastRestart = r;
    });
    ShutdownLYRD(true);
    EXPECT_EQ(0, first);
    EXPECT_EQ(1, second);
    EXPECT_TRUE(lastRestart);
    RegisterShutdownHandler(nullptr);
    ShutdownLYRD(false);
    EXPECT_EQ(1, second);
}

TEST(Process, CloseOpenFilesKeepsStandardDescriptors) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int fd = open("/dev/null", O_RDONLY);
            CloseOpenFiles();
            bool closed = fcntl(fd, F_GETFD) == -1;
            bool stdOpen = fcntl(0, F_GETFD) != -1 && fcntl(1, F_GETFD) != -1 && fcntl(2, F_GETFD) != -1;
            _exit(closed && stdOpen ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
