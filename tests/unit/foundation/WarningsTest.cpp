#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Warnings.h"

namespace {

using Strings = std::list<std::string>;

class WarningsTest : public ::testing::Test {
protected:
    void SetUp() override { WarningHolder::ClearWarnings(); }
    void TearDown() override {
        WarningHolder::StopNotifyThread();
        WarningHolder::ClearWarnings();
    }
};

// Polls for at most `limit`; the expiry itself is what is being tested.
bool waitUntilGone(const std::string& w, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        bool present = false;
        for (const auto& x : WarningHolder::GetWarnings()) present = present || x == w;
        if (!present) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST_F(WarningsTest, AddListRemoveKeepsOrderAndDropsDuplicates) {
    WarningHolder::AddWarning("first");
    WarningHolder::AddWarning("second");
    WarningHolder::AddWarning("first");
    EXPECT_EQ((Strings{"first", "second"}), WarningHolder::GetWarnings());
    WarningHolder::RemoveWarning("first");
    WarningHolder::RemoveWarning("not there");
    EXPECT_EQ((Strings{"second"}), WarningHolder::GetWarnings());
    WarningHolder::ClearWarnings();
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
}

TEST_F(WarningsTest, TimedWarningsExpireWithTheNotifyThread) {
    WarningHolder::StartNotifyThread();
    WarningHolder::StartNotifyThread();  // a second start is harmless
    WarningHolder::AddWarningTimeout("short", 1);
    WarningHolder::AddWarningTimeout("long", 60);
    WarningHolder::AddWarning("permanent");
    EXPECT_EQ((Strings{"short", "long", "permanent"}), WarningHolder::GetWarnings());
    EXPECT_TRUE(waitUntilGone("short", std::chrono::seconds(5)));
    EXPECT_EQ((Strings{"long", "permanent"}), WarningHolder::GetWarnings());
    WarningHolder::StopNotifyThread();
    WarningHolder::StopNotifyThread();  // a second stop is harmless
}

TEST_F(WarningsTest, ExpiredWarningsAreNotListedEvenWithoutTheThread) {
    WarningHolder::AddWarningTimeout("soon", 1);
    EXPECT_TRUE(waitUntilGone("soon", std::chrono::seconds(5)));
}

TEST_F(WarningsTest, AddingAgainReplacesTheTimeout) {
    WarningHolder::AddWarningTimeout("sticky", 1);
    WarningHolder::AddWarning("sticky");  // now permanent
    WarningHolder::AddWarningTimeout("extended", 1);
    WarningHolder::AddWarningTimeout("extended", 60);
    WarningHolder::AddWarningTimeout("zero", 0);  // no timeout: permanent
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ((Strings{"sticky", "extended", "zero"}), WarningHolder::GetWarnings());
}

TEST_F(WarningsTest, NotifyThreadRestartsAfterStop) {
    WarningHolder::StartNotifyThread();
    WarningHolder::StopNotifyThread();
    WarningHolder::StartNotifyThread();
    WarningHolder::AddWarningTimeout("again", 1);
    EXPECT_TRUE(waitUntilGone("again", std::chrono::seconds(5)));
}

TEST_F(WarningsTest, ConcurrentAddsAndRemovesStayConsistent) {
    WarningHolder::StartNotifyThread();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; i++) {
                std::string w = "w" + std::to_string(t) + "-" + std::to_string(i % 10);
                WarningHolder::AddWarningTimeout(w, 30);
                if (i % 3 == 0) WarningHolder::RemoveWarning(w);
                WarningHolder::GetWarnings();
            }
        });
    }
    for (auto& th : threads) th.join();
    Strings all = WarningHolder::GetWarnings();
    std::set<std::string> unique(all.begin(), all.end());
    EXPECT_EQ(unique.size(), all.size());
    EXPECT_LE(all.size(), 40u);
}

}  // namespace
