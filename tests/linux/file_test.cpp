#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform_device.h"
#include "platform/platform_file.h"

namespace {

// A fresh folder as the current directory, as the package's folder is for the program.
class LinuxImageFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/odd-file-XXXXXX";
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
    std::string dir_, previous_;
};

TEST_F(LinuxImageFile, ReadsAWholeFileByItsBareName) {
    std::vector<uint8_t> bytes(0x30001);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::FILE* out = std::fopen("S0814001.122", "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
    std::fclose(out);

    uint32_t error = 99;
    const FileHandle file = PlatformOpenFileForReading("S0814001.122", &error);
    ASSERT_NE(file, InvalidFileHandle);
    EXPECT_EQ(error, ERROR_SUCCESS);
    uint32_t high = 99;
    EXPECT_EQ(PlatformGetFileSize(file, &high), bytes.size());
    EXPECT_EQ(high, 0u);
    // Asked for more than there is: the bytes of the file, and never more.
    std::vector<uint8_t> buffer(bytes.size() + 16, 0xEE);
    uint32_t read = 0;
    EXPECT_TRUE(PlatformReadFile(file, buffer.data(), bytes.size() + 8, &read));
    EXPECT_EQ(read, bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer.begin()));
    EXPECT_EQ(buffer[bytes.size()], 0xEE);
    EXPECT_TRUE(PlatformReadFile(file, buffer.data(), 16, &read));
    EXPECT_EQ(read, 0u);
    PlatformCloseFile(file);
}

TEST_F(LinuxImageFile, OnlyAnExistingRegularFileOpens) {
    ASSERT_EQ(mkdir("S0814000.122", 0700), 0);
    const struct {
        const char* name;
        uint32_t error;
    } cases[] = {{"S0814001.122", ERROR_FILE_NOT_FOUND}, {"S0814000.122", ERROR_FILE_NOT_FOUND}};
    for (const auto& c : cases) {
        uint32_t error = 0;
        EXPECT_EQ(PlatformOpenFileForReading(c.name, &error), InvalidFileHandle) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
}

}  // namespace
