// Package files found whatever the case of their names, as Windows finds them; and refused,
// as a missing file is, when the case alone cannot tell which file is meant.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/linux_name_case.h"
#include "platform/platform_device.h"
#include "platform/platform_file.h"
#include "platform/platform_textfile.h"

namespace {

class PackageNameCase : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/odd-case-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        previous_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previous_.c_str()), 0);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    // Each file holds its own name, so a read tells which one was opened.
    static void Make(const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            std::FILE* out = std::fopen(name.c_str(), "w");
            ASSERT_NE(out, nullptr);
            std::fputs(name.c_str(), out);
            std::fclose(out);
        }
    }
    static std::string Report(const char* name, std::string* found) {
        char* buffer = nullptr;
        size_t size = 0;
        std::FILE* report = open_memstream(&buffer, &size);
        *found = NameIgnoringCase(name, report);
        std::fclose(report);
        std::string text(buffer, size);
        std::free(buffer);
        return text;
    }
    std::string dir_, previous_;
};

TEST_F(PackageNameCase, TheExactNameThenTheOneCaseVariantElseNone) {
    struct Case {
        std::vector<std::string> files;
        const char* asked;
        const char* opened;  // nullptr: refused as missing
        const char* reported;
    };
    const Case cases[] = {
        {{"S0814001.122"}, "S0814001.122", "S0814001.122", ""},
        {{"s0814001.122"}, "S0814001.122", "s0814001.122", ""},
        {{"S0814001.122", "s0814001.122"}, "S0814001.122", "S0814001.122", ""},
        {{"s0814000.122", "s0814001.122"}, "S0814000.122", "s0814000.122", ""},
        {{"g6patch.hex", "G6Patch.HEX"},
         "G6PATCH.HEX",
         nullptr,
         "odd-fwupdate: G6PATCH.HEX is missing, and 2 files differ from it only in case: "
         "G6Patch.HEX g6patch.hex; none of them is used\n"},
        {{"S0814001.1220", "S0814001.12"}, "S0814001.122", nullptr, ""},
        {{}, "S0814001.122", nullptr, ""},
    };
    for (const Case& c : cases) {
        std::system(("rm -f '" + dir_ + "'/*").c_str());
        Make(c.files);
        std::string found;
        EXPECT_EQ(Report(c.asked, &found), c.reported) << c.asked;

        uint32_t error = 0;
        const FileHandle file = PlatformOpenFileForReading(c.asked, &error);
        if (c.opened == nullptr) {
            EXPECT_EQ(file, InvalidFileHandle) << c.asked;
            EXPECT_EQ(error, ERROR_FILE_NOT_FOUND) << c.asked;
            continue;
        }
        ASSERT_NE(file, InvalidFileHandle) << c.asked;
        uint8_t bytes[32] = {};
        uint32_t read = 0;
        EXPECT_TRUE(PlatformReadFile(file, bytes, sizeof bytes, &read));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), read), c.opened);
        PlatformCloseFile(file);
    }
}

TEST_F(PackageNameCase, HexFilesOfTheLegacyProcedureToo) {
    Make({"g6patch.hex"});
    TextFileHandle file = NoTextFile;
    ASSERT_EQ(PlatformOpenTextFile("G6PATCH.HEX", &file), 0);
    char line[32];
    EXPECT_EQ(PlatformReadTextLine(file, line, sizeof line), 0);
    EXPECT_STREQ(line, "g6patch.hex");
    PlatformCloseTextFile(file);

    Make({"G6Patch.hex"});
    EXPECT_EQ(PlatformOpenTextFile("G6PATCH.HEX", &file), FileCauseNotFound);
    EXPECT_EQ(file, NoTextFile);
}

TEST_F(PackageNameCase, AFolderInTheNameKeepsItsOwnCase) {
    ASSERT_EQ(mkdir("pkg", 0755), 0);
    Make({"pkg/s0814001.122"});
    std::string found;
    EXPECT_EQ(Report("pkg/S0814001.122", &found), "");
    EXPECT_EQ(found, "pkg/s0814001.122");
    EXPECT_EQ(Report("PKG/S0814001.122", &found), "");
    EXPECT_EQ(found, "PKG/S0814001.122");
}

}  // namespace
