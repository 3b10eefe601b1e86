// Script entries: where scripts may live, how arguments are split, blocking
// and non-blocking runs, stopping and reaping.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common.h"
#include "playlist/PlaylistTestUtil.h"
#include "playlist/ShellEntry.h"

using namespace pltest;

class ShellEntryTest : public PlaylistTest {
protected:
    void Script(const std::string& name, const std::string& body) {
        std::string path = dir.sub("scripts/" + name);
        testutil::writeFile(path, "#!/bin/sh\n" + body + "\n");
        chmod(path.c_str(), 0755);
    }
    ShellEntry* Entry(const std::string& name, const std::string& args, bool blocking) {
        Json::Value cfg;
        cfg["type"] = "script";
        cfg["scriptName"] = name;
        cfg["scriptArgs"] = args;
        cfg["blocking"] = blocking;
        auto* e = new ShellEntry(pl);
        EXPECT_TRUE(e->Init(cfg));
        return e;
    }
    bool WaitFor(const std::function<bool()>& cond, int ms = 5000) {
        for (int i = 0; i < ms / 10; i++) {
            if (cond()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return cond();
    }
    std::string Out(const std::string& name) { return testutil::readFile(dir.sub("scripts/" + name)); }
};

TEST_F(ShellEntryTest, ArgumentsAreSplitLikeAShellWithoutRunningOne) {
    std::vector<std::string> a;
    ASSERT_TRUE(SplitScriptArgs("one \"two three\" 'four \"five\"' six\\ seven \"a\\\"b\" ''", a));
    EXPECT_EQ(a, (std::vector<std::string>{"one", "two three", "four \"five\"", "six seven", "a\"b", ""}));
    EXPECT_FALSE(SplitScriptArgs("\"open", a));
    EXPECT_FALSE(SplitScriptArgs("'open", a));
    EXPECT_FALSE(SplitScriptArgs("trailing\\", a));

    Script("args.sh", "for a in \"$@\"; do echo \"[$a]\" >> args.out; done");
    pid_t pid = RunScript("args.sh", "x \"y; touch pwned\" '$HOME'");
    ASSERT_GT(pid, 0);
    int st;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(Out("args.out"), "[x]\n[y; touch pwned]\n[$HOME]\n");
    EXPECT_FALSE(FileExists(dir.sub("scripts/pwned")));
}

TEST_F(ShellEntryTest, ScriptsOutsideTheScriptsFolderAreRefused) {
    testutil::LogCapture log;
    EXPECT_EQ(ScriptPath("../settings"), "");
    EXPECT_EQ(ScriptPath("sub/../../x"), "");
    EXPECT_EQ(ScriptPath("/bin/true"), "");
    EXPECT_EQ(ScriptPath("sub/ok.sh"), dir.sub("scripts") + "/sub/ok.sh");
    EXPECT_EQ(RunScript("/bin/true", ""), -1);
    EXPECT_EQ(RunScript("../../bin/sh", ""), -1);
    EXPECT_TRUE(log.containsAt(LOG_ERR, "scripts must be inside the scripts folder"));
    EXPECT_EQ(RunScript("missing.sh", ""), -1);
    EXPECT_TRUE(log.containsAt(LOG_ERR, "Script 'missing.sh' not found"));

    pl->mainPlaylist.push_back(Entry("../escape.sh", "", true));
    pl->mainPlaylist.push_back(Fake("after", -1));
    pl->NumberEntries();
    pl->Start();
    pl->Process();
    EXPECT_EQ(journal, (Journal{"start after"}));
}

TEST_F(ShellEntryTest, MissingScriptNameFailsInit) {
    Json::Value cfg;
    cfg["type"] = "script";
    ShellEntry e(pl);
    EXPECT_FALSE(e.Init(cfg));
}

TEST_F(ShellEntryTest, NonBlockingScriptLetsTheNextEntryStartInTheSamePass) {
    Script("quick.sh", "echo ran > quick.out");
    pl->mainPlaylist.push_back(Fake("first"));
    pl->mainPlaylist.push_back(Entry("quick.sh", "", false));
    pl->mainPlaylist.push_back(Fake("next", -1));
    pl->NumberEntries();
    pl->Start();
    pl->Process();
    EXPECT_EQ(journal, (Journal{"start first", "start next"}));
    EXPECT_TRUE(WaitFor([&] { return Out("quick.out") == "ran\n"; }));
}

TEST_F(ShellEntryTest, BlockingScriptHoldsThePlaylistUntilItExits) {
    Script("hold.sh", "while [ ! -f release ]; do sleep 0.02; done; echo done > hold.out");
    pl->mainPlaylist.push_back(Entry("hold.sh", "", true));
    pl->mainPlaylist.push_back(Fake("next", -1));
    pl->NumberEntries();
    pl->Start();
    for (int i = 0; i < 20; i++) {
        pl->Process();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(journal.empty());
    EXPECT_EQ(pl->GetCurrentEntry()["scriptFilename"].asString(), "hold.sh");
    testutil::writeFile(dir.sub("scripts/release"), "");
    EXPECT_TRUE(WaitFor([&] {
        pl->Process();
        return !journal.empty();
    }));
    EXPECT_EQ(Out("hold.out"), "done\n");
}

TEST_F(ShellEntryTest, StopSendsSigtermOnceAndFinishesTheEntry) {
    Script("stubborn.sh",
           "trap 'echo TERM >> terms.out; exit 0' TERM\n"
           "echo ready > ready.out\n"
           "while true; do sleep 0.05; done");
    ShellEntry* e = Entry("stubborn.sh", "", true);
    pl->mainPlaylist.push_back(e);
    pl->NumberEntries();
    pl->Start();
    ASSERT_TRUE(WaitFor([&] { return Out("ready.out") == "ready\n"; }));
    int pid = e->childPid;
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(e->isChildRunning());
    e->Stop();
    EXPECT_TRUE(e->IsFinished());
    EXPECT_EQ(e->childPid, 0);
    ASSERT_TRUE(WaitFor([&] { return Out("terms.out") == "TERM\n"; }));
    // Reaped in the background: the process entry goes away.
    EXPECT_TRUE(WaitFor([&] { return kill(pid, 0) != 0; }));
    e->Stop();  // a second stop signals nothing
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Out("terms.out"), "TERM\n");
}

TEST_F(ShellEntryTest, PlaylistStopNowEndsABlockingScript) {
    Script("forever.sh", "echo ready > ready.out; exec sleep 30");
    ShellEntry* e = Entry("forever.sh", "", true);
    pl->mainPlaylist.push_back(e);
    pl->NumberEntries();
    pl->Start();
    ASSERT_TRUE(WaitFor([&] { return Out("ready.out") == "ready\n"; }));
    int pid = e->childPid;
    pl->StopNow(1);
    EXPECT_TRUE(WaitFor([&] { return kill(pid, 0) != 0; }));
}

TEST_F(ShellEntryTest, SecondsElapsedIsWholeSeconds) {
    ShellEntry* e = Entry("x.sh", "", true);
    e->scriptStartTime = (uint64_t)GetTime() - 2900000;
    EXPECT_EQ(e->GetConfig()["secondsElapsed"].asInt(), 2);
    EXPECT_EQ(e->GetMqttStatus()["secondsElapsed"].asInt(), 2);
    EXPECT_TRUE(e->GetConfig()["blocking"].asBool());
    delete e;
}

TEST_F(ShellEntryTest, ScriptWithoutExecuteBitRunsThroughShAsAFile) {
    testutil::writeFile(dir.sub("scripts/plain.sh"), "echo \"$1\" > plain.out\n");
    pid_t pid = RunScript("plain.sh", "hello");
    ASSERT_GT(pid, 0);
    int st;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(Out("plain.out"), "hello\n");
}
