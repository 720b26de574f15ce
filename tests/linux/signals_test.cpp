// The Linux interrupt handling, each case in a child process of its own (what a signal does
// to a process cannot be undone inside it): held signals, the box a hang-up wakes, signals
// the program was started to ignore, and the line on standard error.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "platform/linux/linux_console.h"
#include "platform/linux/linux_signals.h"
#include "platform/platform_signals.h"

namespace {

struct Outcome {
    int Status;  // as waitpid gives it
    std::string Errors;
};

// Runs `body` in a child with standard error captured; `parent` runs meanwhile, given the
// child's pid and the write end of a pipe that the child reads as its terminal input.
Outcome InChild(const std::function<int(int input)>& body,
                const std::function<void(pid_t, int input)>& parent) {
    int errors[2], input[2];
    if (pipe(errors) != 0 || pipe(input) != 0) return {-1, ""};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(errors[1], STDERR_FILENO);
        close(errors[0]);
        close(input[1]);
        _exit(body(input[0]));
    }
    close(errors[1]);
    close(input[0]);
    parent(pid, input[1]);
    // The terminal stays open: a child still waiting for it after two seconds is stuck.
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 200 && done == 0; ++i) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0) usleep(10000);
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(input[1]);
    std::string text;
    char chunk[256];
    ssize_t n;
    while ((n = read(errors[0], chunk, sizeof chunk)) > 0) text.append(chunk, n);
    close(errors[0]);
    return {status, text};
}

// The box's answer and the held signal, as the child's exit code: answer * 16 + signal.
int BoxThenHeld(int input) {
    PlatformBeginCriticalSection('D');
    FILE* in = fdopen(input, "r");
    FILE* out = std::fopen("/dev/null", "w");
    const int answer =
        RunTerminalBox(in, out, "\r\nDo it ?", "VELMOR", 0x24, nullptr, TerminalGone);
    return answer * 16 + PlatformHeldInterrupt();
}

void Pause() {
    usleep(100000);
}

const char* const HeldLine =
    "odd-fwupdate: drive D: (/dev/sr0) is being written; the program will stop as soon as that "
    "is safe.\n";

TEST(LinuxSignals, HeldWhileADriveIsWritten) {
    struct Case {
        const char* Name;
        std::function<int(int)> Child;
        std::function<void(pid_t, int)> Parent;
        bool Exits;      // else: ended by the signal
        int Code;        // exit code, or the signal that ended it
        bool HeldShown;  // the held line is on standard error, once
    };
    const auto nothing = [](pid_t, int) {};
    const Case cases[] = {
        {"Ctrl-C and a termination held, the first one kept",
         [](int) {
             PlatformBeginCriticalSection('D');
             raise(SIGINT);
             raise(SIGTERM);
             raise(SIGTSTP);  // ignored: a stopped child would never be reaped here
             PlatformEndCriticalSection();
             return PlatformHeldInterrupt();
         },
         nothing, true, SIGINT, true},
        {"Ctrl-C leaves the box to the user", BoxThenHeld,
         [](pid_t child, int input) {
             Pause();
             kill(child, SIGINT);
             Pause();
             (void)!write(input, "y\n", 2);
         },
         true, 6 * 16 + SIGINT, true},
        {"a hang-up answers a waiting box with 0", BoxThenHeld,
         [](pid_t child, int) {
             Pause();
             kill(child, SIGHUP);
         },
         true, SIGHUP, true},
        {"a hang-up the program was started to ignore stays ignored",
         [](int) {
             signal(SIGHUP, SIG_IGN);
             PlatformBeginCriticalSection('D');
             raise(SIGHUP);
             return PlatformHeldInterrupt() + (TerminalGone() ? 100 : 0);
         },
         nothing, true, 0, false},
        {"outside the section an interrupt ends the program",
         [](int) {
             PlatformBeginCriticalSection('D');
             PlatformEndCriticalSection();
             raise(SIGTERM);
             return 0;
         },
         nothing, false, SIGTERM, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Outcome outcome = InChild(c.Child, c.Parent);
        if (c.Exits) {
            ASSERT_TRUE(WIFEXITED(outcome.Status)) << outcome.Status;
            EXPECT_EQ(WEXITSTATUS(outcome.Status), c.Code);
        } else {
            ASSERT_TRUE(WIFSIGNALED(outcome.Status)) << outcome.Status;
            EXPECT_EQ(WTERMSIG(outcome.Status), c.Code);
        }
        EXPECT_EQ(outcome.Errors, c.HeldShown ? HeldLine : "");
    }
}

}  // namespace
