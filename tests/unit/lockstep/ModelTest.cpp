// Board model text to type code, display texts, and the files behind them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "LockstepModel.h"

namespace {

class TempFile {
public:
    explicit TempFile(const std::string& content, bool withNul = false) {
        char tmpl[] = "/tmp/lyrd-model-XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        if (write(fd, content.data(), content.size()) < 0) path.clear();
        if (withNul && write(fd, "", 1) < 0) path.clear();
        close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

}  // namespace

TEST(ModelStringToType, RulesInOrder) {
    EXPECT_EQ(ModelStringToType("Raspberry Pi 3 Model B Rev 1.2"), 8);
    EXPECT_EQ(ModelStringToType("Raspberry Pi 3 Model B Plus Rev 1.3"), 9);
    EXPECT_EQ(ModelStringToType("Raspberry Pi Zero W Rev 1.1"), 11);
    EXPECT_EQ(ModelStringToType("Raspberry Pi Zero Rev 1.3"), 10);
    EXPECT_EQ(ModelStringToType("Raspberry Pi Compute Module 4 Rev 1.0"), 13);
    EXPECT_EQ(ModelStringToType("Raspberry Pi 2 Model B Rev 1.2"), 7);
    EXPECT_EQ(ModelStringToType("Raspberry Pi 2 Model B 1.1"), 6);
    EXPECT_EQ(ModelStringToType("Raspberry Pi Model B+"), 5);
    EXPECT_EQ(ModelStringToType("Raspberry Pi Model A"), 2);
    EXPECT_EQ(ModelStringToType("TI AM335x BeagleBone Green Wireless"), 68);
    EXPECT_EQ(ModelStringToType("TI AM335x BeagleBone Black"), 65);
    EXPECT_EQ(ModelStringToType("SanCloud BeagleBone Enhanced"), 70);
    EXPECT_EQ(ModelStringToType("TI AM335x PocketBeagle"), 69);
    EXPECT_EQ(ModelStringToType("Armbian"), 96);
    EXPECT_EQ(ModelStringToType("MacOS"), 112);
    EXPECT_EQ(ModelStringToType("Unknown Hardware Platform"), 1);
    EXPECT_EQ(ModelStringToType(""), 1);
}

TEST(GetTypeString, Codes) {
    EXPECT_EQ(GetTypeString(kSysTypeLYRRaspberryPi4), "Raspberry Pi 4");
    EXPECT_EQ(GetTypeString(static_cast<LockstepSystemType>(129)), "Tamrin Model 1");
    EXPECT_EQ(GetTypeString(static_cast<LockstepSystemType>(137)), "Tamrin Model 9");
    EXPECT_EQ(GetTypeString(static_cast<LockstepSystemType>(128)), "Tamrin Controller");
    EXPECT_EQ(GetTypeString(static_cast<LockstepSystemType>(251)), "WLED");
    EXPECT_EQ(GetTypeString(static_cast<LockstepSystemType>(50)), "Unknown System Type");
    EXPECT_EQ(GetTypeString(kSysTypeLYR, false), "LYR (unknown hardware)");
    for (int code : {193, 194, 195}) {
        std::string text = GetTypeString(static_cast<LockstepSystemType>(code));
        EXPECT_NE(text, "Unknown System Type");
        EXPECT_FALSE(text.empty());
    }
}

TEST(HardwareModel, FilesAndFallbacks) {
    TempFile tree("Raspberry Pi 4 Model B Rev 1.4", true);
    TempFile dmi("  Standard PC (Q35)\n\n");
    EXPECT_EQ(ReadHardwareModel(tree.path, dmi.path), "Raspberry Pi 4 Model B Rev 1.4");
    EXPECT_EQ(ReadHardwareModel("/nonexistent/model", dmi.path), "Standard PC (Q35)");
    EXPECT_EQ(ReadHardwareModel("/nonexistent/a", "/nonexistent/b"), "Unknown Hardware Platform");
    TempFile empty("");
    EXPECT_EQ(ReadHardwareModel(empty.path, dmi.path), "Unknown Hardware Platform");
    // A directory exists but cannot be read as text.
    EXPECT_EQ(ReadHardwareModel("/tmp", dmi.path), "Unknown Hardware Platform");
    EXPECT_EQ(ModelStringToType(ReadHardwareModel("/nonexistent/a", "/nonexistent/b")), 1);
    TempFile longLine(std::string(300, 'x') + "\n");
    EXPECT_EQ(ReadHardwareModel(longLine.path, ""), std::string(126, 'x'));
}

TEST(LocalTypeString, OsRelease) {
    TempFile pretty("NAME=\"\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n");
    EXPECT_EQ(LocalLYRTypeString(pretty.path), "LYR (Debian GNU/Linux 12 (bookworm))");
    TempFile named("PRETTY_NAME=\"x\"\nNAME=Armbian\n");
    EXPECT_EQ(LocalLYRTypeString(named.path), "LYR (Armbian)");
    TempFile none("ID=foo\nbroken line\n");
    EXPECT_EQ(LocalLYRTypeString(none.path), "LYR (unknown hardware)");
    EXPECT_EQ(LocalLYRTypeString("/nonexistent/os-release"), "LYR (unknown hardware)");
}
