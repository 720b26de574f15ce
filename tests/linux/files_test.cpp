// The Linux file layer: image and HEX files opened without waiting and only when regular,
// package names found whatever their case, and text lines as fgets gives them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/linux_name_case.h"
#include "platform/linux/linux_textfile.h"
#include "platform/platform_device.h"
#include "platform/platform_file.h"
#include "platform/platform_textfile.h"

namespace {

// Image and HEX files are opened without waiting, and only a regular file is taken: a FIFO
// with nobody writing to it would otherwise hold the program in open() for ever.
class LinuxFileKind : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/odd-kind-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // An open that waits ends the test binary instead of hanging it.
        std::signal(SIGALRM, SIG_DFL);
        alarm(10);
    }
    void TearDown() override {
        alarm(0);
        if (socket_ >= 0) close(socket_);
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    std::string Path(const char* name) const { return dir_ + "/" + name; }
    bool BindSocket(const std::string& path) {
        socket_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        if (socket_ < 0 || path.size() >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        return bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    std::string dir_;
    int socket_ = -1;
};

// Each kind that is not a regular file fails the open at once, as a missing file does.
TEST_F(LinuxFileKind, OnlyARegularFileOpens) {
    const std::string fifo = Path("S0814001.122");
    const std::string socketPath = Path("S0814000.122");
    const std::string directory = Path("G6.HEX");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_TRUE(BindSocket(socketPath));
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    const std::string names[] = {fifo, socketPath, directory, "/dev/null", Path("MISSING")};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        uint32_t error = 0;
        EXPECT_EQ(PlatformOpenFileForReading(name.c_str(), &error), InvalidFileHandle);
        EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
        TextFileHandle text = 123;
        EXPECT_EQ(PlatformOpenTextFile(name.c_str(), &text), FileCauseNotFound);
        EXPECT_EQ(text, NoTextFile);
    }

    // A regular file is read whole, and a line at a time, as before.
    const std::string plain = Path("PLAIN");
    std::FILE* file = std::fopen(plain.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(":00000001FF\n", file);
    std::fclose(file);
    uint32_t error = 0;
    const FileHandle handle = PlatformOpenFileForReading(plain.c_str(), &error);
    ASSERT_NE(handle, InvalidFileHandle);
    uint8_t bytes[32] = {};
    uint32_t read = 0;
    EXPECT_TRUE(PlatformReadFile(handle, bytes, sizeof bytes, &read));
    EXPECT_EQ(read, 12u);
    PlatformCloseFile(handle);
    TextFileHandle text = NoTextFile;
    ASSERT_EQ(PlatformOpenTextFile(plain.c_str(), &text), 0);
    char line[64];
    EXPECT_EQ(PlatformReadTextLine(text, line, sizeof line), 0);
    EXPECT_STREQ(line, ":00000001FF\n");
    PlatformCloseTextFile(text);
}

// Package files found whatever the case of their names, as Windows finds them; and refused,
// as a missing file is, when the case alone cannot tell which file is meant.
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
