// The command socket directory's checks: what is refused, fixed or kept.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/RuntimeDir.h"

TEST(RuntimeDirTest, JudgesTheDirectory) {
    // Ours (or root's) with the right mode: nothing to do.
    auto v = RuntimeDir::JudgeDir(S_IFDIR | 01777, 0, 0);
    EXPECT_FALSE(v.refuse || v.setMode || v.takeOwnership);
    v = RuntimeDir::JudgeDir(S_IFDIR | 01777, 1000, 1000);
    EXPECT_FALSE(v.refuse || v.setMode || v.takeOwnership);
    // World-writable without the sticky bit, or too narrow: the mode is set.
    v = RuntimeDir::JudgeDir(S_IFDIR | 0777, 0, 0);
    EXPECT_TRUE(v.setMode && v.unsafe);
    EXPECT_FALSE(v.refuse);
    EXPECT_EQ(v.reason, "mode was 0777");
    // Narrower (a service manager's 0755 runtime directory): widened, not unsafe.
    v = RuntimeDir::JudgeDir(S_IFDIR | 0755, 1000, 1000);
    EXPECT_TRUE(v.setMode);
    EXPECT_FALSE(v.unsafe || v.refuse);
    // Someone else's: taken over by root, refused by anyone else.
    v = RuntimeDir::JudgeDir(S_IFDIR | 01777, 1000, 0);
    EXPECT_TRUE(v.takeOwnership && v.unsafe);
    EXPECT_FALSE(v.refuse);
    v = RuntimeDir::JudgeDir(S_IFDIR | 01777, 1000, 1001);
    EXPECT_TRUE(v.refuse);
    // Not a directory at all.
    EXPECT_TRUE(RuntimeDir::JudgeDir(S_IFLNK | 0777, 0, 0).refuse);
    EXPECT_TRUE(RuntimeDir::JudgeDir(S_IFREG | 0644, 0, 0).refuse);
}

TEST(RuntimeDirTest, JudgesTheSocketFile) {
    EXPECT_FALSE(RuntimeDir::JudgeSocket(S_IFSOCK | 0766, 0, 0).refuse);
    EXPECT_TRUE(RuntimeDir::JudgeSocket(S_IFREG | 0766, 0, 0).refuse);
    EXPECT_TRUE(RuntimeDir::JudgeSocket(S_IFSOCK | 0766, 1000, 0).refuse);
}

TEST(RuntimeDirTest, PrepareCreatesFixesAndRefuses) {
    namespace fs = std::filesystem;
    fs::path base = fs::temp_directory_path() / ("rtdir-" + std::to_string(getpid()));
    fs::create_directories(base);
    std::string dir = (base / "lyrd").string();
    ASSERT_TRUE(RuntimeDir::Prepare(dir));
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    chmod(dir.c_str(), 0777);
    ASSERT_TRUE(RuntimeDir::Prepare(dir));
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);

    std::string link = (base / "link").string();
    ASSERT_EQ(symlink(dir.c_str(), link.c_str()), 0);
    EXPECT_FALSE(RuntimeDir::Prepare(link));
    fs::remove_all(base);
}
