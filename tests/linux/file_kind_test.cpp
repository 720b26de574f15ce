// Image and HEX files are opened without waiting, and only a regular file is taken: a FIFO
// with nobody writing to it would otherwise hold the program in open() for ever.
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

#include "platform/platform_device.h"
#include "platform/platform_file.h"
#include "platform/platform_textfile.h"

namespace {

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

}  // namespace
