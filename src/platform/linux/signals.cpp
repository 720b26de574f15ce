#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/linux_console.h"
#include "platform/linux/linux_device.h"
#include "platform/linux/linux_signals.h"
#include "platform/platform_console.h"
#include "platform/platform_signals.h"

namespace {

// What would end the program: held while a drive is being written.
constexpr int HeldSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// What would stop it, or end it over a closed pipe: ignored while a drive is being written.
// A stopped program leaves the drive waiting in its update mode.
constexpr int IgnoredSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE};
constexpr int HeldCount = sizeof HeldSignals / sizeof HeldSignals[0];
constexpr int IgnoredCount = sizeof IgnoredSignals / sizeof IgnoredSignals[0];

volatile sig_atomic_t Inside = 0;
volatile sig_atomic_t Held = 0;
volatile sig_atomic_t HungUp = 0;
// The console's last line has no line end yet (a progress line), and standard error goes
// where standard output goes (one terminal, one file): the held line must start a line.
volatile sig_atomic_t LineOpen = 0;
volatile sig_atomic_t SharedOutput = 0;
bool Gone = false;
// Made before the section begins: the handler may only write it out.
char HeldLine[256];
size_t HeldLineLength = 0;
struct sigaction SavedHeld[HeldCount];
void (*volatile LastWords)() = nullptr;
struct sigaction SavedIgnored[IgnoredCount];

// Only async-signal-safe calls: the handler uses it.
void WriteToStderr(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t n = write(STDERR_FILENO, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to say it: the update goes on regardless
        text += n;
        length -= static_cast<size_t>(n);
    }
}

void OnHeldSignal(int number) {
    const int savedErrno = errno;
    if (number == SIGHUP) HungUp = 1;
    if (Held == 0) {
        Held = number;
        if (LineOpen != 0 && SharedOutput != 0) WriteToStderr("\n", 1);
        WriteToStderr(HeldLine, HeldLineLength);
    }
    errno = savedErrno;
}

// Outside the held stretch: the last words, then the signal's own end.
void OnEndingSignal(int number) {
    if (LastWords != nullptr) LastWords();
    signal(number, SIG_DFL);
    raise(number);
}

void FormatHeldInterruptLine(char letter, char* line, size_t size) {
    char name[48];
    DriveNameForLetter(letter, name, sizeof name);
    std::snprintf(line, size,
                  "odd-fwupdate: drive %s is being written; the program will stop as soon as "
                  "that is safe.\n",
                  name);
}

// Both descriptors lead to the same file or terminal.
bool OutputsShared() {
    struct stat out;
    struct stat err;
    if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0) return false;
    return out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

const char* const NotStartedText[2] = {
    "odd-fwupdate: drive %s was not started.\n",
    // odd-fwupdate: ドライブ %s の更新は開始されませんでした。
    "odd-fwupdate: \x83h\x83\x89\x83"
    "C\x83u %s \x82\xcc\x8dX\x90V\x82\xcd\x8aJ\x8en\x82\xb3\x82\xea\x82\xdc\x82\xb9\x82\xf1"
    "\x82\xc5\x82\xb5\x82\xbd\x81"
    "B\n",
};

void FormatUpdateModeLeftLine(char letter, char* line, size_t size) {
    char name[48];
    DriveNameForLetter(letter, name, sizeof name);
    std::snprintf(line, size,
                  "odd-fwupdate: drive %s is still in its update mode and cannot read discs; "
                  "run odd-fwupdate again in the same folder with a good package to finish the "
                  "update.\n",
                  name);
}

}  // namespace

bool TerminalGone() {
    return Gone || HungUp != 0;
}

void MarkTerminalGone() {
    Gone = true;
}

void NoteConsoleLineOpen(bool open) {
    LineOpen = open ? 1 : 0;
}

void PlatformBeginCriticalSection(char letter) {
    if (Inside != 0) return;
    FormatHeldInterruptLine(letter, HeldLine, sizeof HeldLine);
    HeldLineLength = std::strlen(HeldLine);
    SharedOutput = OutputsShared() ? 1 : 0;

    struct sigaction hold = {};
    hold.sa_handler = OnHeldSignal;
    // Restarted calls: a chunk must not fail because a signal came. A box waiting for an
    // answer polls, which a hang-up still wakes.
    hold.sa_flags = SA_RESTART;
    sigemptyset(&hold.sa_mask);
    for (const int number : HeldSignals) sigaddset(&hold.sa_mask, number);
    for (int i = 0; i < HeldCount; ++i) {
        sigaction(HeldSignals[i], nullptr, &SavedHeld[i]);
        // A signal the program was started to ignore (nohup) stays ignored.
        if (SavedHeld[i].sa_handler == SIG_IGN) continue;
        sigaction(HeldSignals[i], &hold, nullptr);
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int i = 0; i < IgnoredCount; ++i) {
        sigaction(IgnoredSignals[i], &ignore, &SavedIgnored[i]);
    }
    Inside = 1;
}

void PlatformEndCriticalSection() {
    if (Inside == 0) return;
    for (int i = 0; i < HeldCount; ++i) sigaction(HeldSignals[i], &SavedHeld[i], nullptr);
    for (int i = 0; i < IgnoredCount; ++i) {
        sigaction(IgnoredSignals[i], &SavedIgnored[i], nullptr);
    }
    Inside = 0;
}

void ArmEndingSignals(void (*lastWords)()) {
    LastWords = lastWords;
    struct sigaction ending = {};
    ending.sa_handler = OnEndingSignal;
    sigemptyset(&ending.sa_mask);
    for (const int number : HeldSignals) sigaddset(&ending.sa_mask, number);
    for (int i = 0; i < HeldCount; ++i) {
        struct sigaction current;
        sigaction(HeldSignals[i], nullptr, &current);
        if (current.sa_handler == SIG_IGN) continue;
        if (Inside != 0) {
            // Held now: the ending handler comes back when the stretch ends.
            if (SavedHeld[i].sa_handler != SIG_IGN) SavedHeld[i] = ending;
            continue;
        }
        sigaction(HeldSignals[i], &ending, nullptr);
    }
}

void PlatformEndByHeldSignal() {
    const int number = Held;
    if (number == 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    if (number == SIGQUIT) {
        // The quit was the user's, not a fault: no core file.
        const struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
    }
    signal(number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(number);
}

int PlatformHeldInterrupt() {
    return Held;
}

void PlatformReportUpdateModeLeft(char letter) {
    char line[320];
    FormatUpdateModeLeftLine(letter, line, sizeof line);
    WriteToStderr(line, std::strlen(line));
}

void PlatformReportNotStarted(char letter) {
    char name[48];
    DriveNameForLetter(letter, name, sizeof name);
    char line[160];
    std::snprintf(line, sizeof line, NotStartedText[PlatformGetOemCodePage() == 932 ? 1 : 0], name);
    PlatformWriteError(line);
}
