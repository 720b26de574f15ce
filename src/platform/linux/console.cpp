#include <stdio_ext.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/linux_console.h"
#include "platform/linux/linux_signals.h"
#include "platform/platform_console.h"

namespace {

bool ProcessNeedsUtf8() {
    static const bool needs =
        LocaleNeedsUtf8(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
    return needs;
}

// Shift-JIS text as this locale shows it.
std::string InRunEncoding(const char* text) {
    return ProcessNeedsUtf8() ? Cp932ToUtf8(text) : std::string(text);
}

// Said once per run on standard error, which a script or a log keeps: without a terminal
// every question silently counts as No.
void NoteNoTerminal() {
    static bool said = false;
    if (said) return;
    said = true;
    std::fprintf(stderr, "%s\n",
                 InRunEncoding(NoTerminalNotice(PlatformGetOemCodePage() == 932)).c_str());
    std::fflush(stderr);
}

// Shown at once, as on the Windows console: the progress lines carry no line break, so stdio
// would otherwise hold them back (even on a terminal) until the transfer is over. What cannot
// be written (a terminal that went away, a closed pipe) is dropped, so that it is neither
// written again nor holds up the update.
void FlushConsole() {
    if (std::fflush(stdout) != 0) {
        __fpurge(stdout);
        std::clearerr(stdout);
    }
}

}  // namespace

void PlatformWriteConsole(const char* text) {
    if (ProcessNeedsUtf8()) {
        std::fputs(Cp932ToUtf8(text).c_str(), stdout);
    } else {
        std::fputs(text, stdout);
    }
    FlushConsole();
    // A progress line ("\rProcessing 43%") waits for its next step without a line end.
    const size_t length = std::strlen(text);
    if (length > 0) NoteConsoleLineOpen(text[length - 1] != '\n');
}

void PlatformWriteError(const char* text) {
    std::fputs(InRunEncoding(text).c_str(), stderr);
    std::fflush(stderr);
}

uint32_t PlatformGetOemCodePage() {
    return CodePageFromLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                              std::getenv("LANG"));
}

// The box is drawn on the controlling terminal, never on standard output, so that a
// captured or redirected output holds only the console text. Once the terminal has hung up
// or failed, no box is tried again: each counts as not shown.
int PlatformMessageBox(const char* text, const char* caption, uint32_t flags) {
    FlushConsole();
    // Only a question goes unanswered; a report box was printed on the console already.
    const uint32_t buttons = flags & 0xF;
    const bool question = buttons == 1 || buttons == 4;  // MB_OKCANCEL, MB_YESNO
    FILE* tty = TerminalGone() ? nullptr : std::fopen("/dev/tty", "r+");
    if (tty == nullptr) {
        MarkTerminalGone();
        if (question) NoteNoTerminal();
        return 0;
    }
    // Unbuffered, so that waiting for an answer can watch the terminal itself.
    std::setvbuf(tty, nullptr, _IONBF, 0);
    const std::string shown = InRunEncoding(text);
    const std::string hint = InRunEncoding(BoxHint(flags, PlatformGetOemCodePage() == 932));
    const int answer =
        RunTerminalBox(tty, tty, shown.c_str(), caption, flags, hint.c_str(), TerminalGone);
    const bool failed = std::ferror(tty) != 0 || TerminalGone();
    std::fclose(tty);
    if (failed) {
        MarkTerminalGone();
        if (question) NoteNoTerminal();
        return 0;
    }
    return answer;
}
