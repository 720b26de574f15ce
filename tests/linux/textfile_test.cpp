#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/linux/linux_textfile.h"
#include "platform/platform_textfile.h"

namespace {

class LinuxTextFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/odd-textfile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf " + dir_).c_str()), 0); }
    std::string Write(const char* name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
        return path;
    }
    std::string dir_;
};

TEST_F(LinuxTextFileOnDisk, LinesComeAsFgetsGivesThemAndALongLineInPieces) {
    const std::string path = Write("A.HEX", ":00\r\n" + std::string(10, 'x') + "\nend");
    TextFileHandle file;
    ASSERT_EQ(PlatformOpenTextFile(path.c_str(), &file), 0);
    char line[5];
    for (const char* piece : {":00\r", "\n", "xxxx", "xxxx", "xx\n", "end"}) {
        ASSERT_EQ(PlatformReadTextLine(file, line, sizeof line), 0);
        EXPECT_STREQ(line, piece);
    }
    EXPECT_EQ(PlatformReadTextLine(file, line, sizeof line), TextFileAtEnd);
    EXPECT_STREQ(line, "");
    PlatformCloseTextFile(file);
}

TEST_F(LinuxTextFileOnDisk, OpenFailuresCarryTheirCause) {
    TextFileHandle file = 123;
    EXPECT_EQ(PlatformOpenTextFile((dir_ + "/MISSING.HEX").c_str(), &file), FileCauseNotFound);
    EXPECT_EQ(file, NoTextFile);
    EXPECT_EQ(PlatformOpenTextFile(dir_.c_str(), &file), FileCauseNotFound);  // not a file
    const std::string plain = Write("PLAIN", "x");
    EXPECT_EQ(PlatformOpenTextFile((plain + "/INSIDE.HEX").c_str(), &file), FileCauseBadPath);
    if (geteuid() != 0) {  // root reads whatever the mode says
        chmod(plain.c_str(), 0);
        EXPECT_EQ(PlatformOpenTextFile(plain.c_str(), &file), FileCauseAccessDenied);
    }
}

}  // namespace
