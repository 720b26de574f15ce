#include <poll.h>
#include <signal.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/linux_console.h"

namespace {

constexpr uint32_t MB_OK = 0x0;
constexpr uint32_t MB_OKCANCEL = 0x1;
constexpr uint32_t MB_YESNO = 0x4;
constexpr uint32_t MB_TYPEMASK = 0xF;

struct Button {
    const char* Short;
    const char* Long;
    int Answer;
};

constexpr Button Ok = {"o", "ok", 1};
constexpr Button Cancel = {"c", "cancel", 2};
constexpr Button Yes = {"y", "yes", 6};
constexpr Button No = {"n", "no", 7};

// The buttons of a box; unknown types get the single OK button of MessageBoxA's default.
int ButtonsOf(uint32_t flags, const Button** buttons) {
    switch (flags & MB_TYPEMASK) {
        case MB_YESNO:
            buttons[0] = &Yes;
            buttons[1] = &No;
            return 2;
        case MB_OKCANCEL:
            buttons[0] = &Ok;
            buttons[1] = &Cancel;
            return 2;
        case MB_OK:
        default:
            buttons[0] = &Ok;
            return 1;
    }
}

// What to type, shown when an answer was not understood: English, or Japanese as Shift-JIS.
const char* const HintYesNo[2] = {
    "Type y or yes for Yes, n or no for No, and press Enter.",
    "Yes \x82\xcd y \x82\xdc\x82\xbd\x82\xcd yes\x81"
    "ANo \x82\xcd n \x82\xdc\x82\xbd\x82\xcd no "
    "\x82\xf0\x93\xfc\x97\xcd\x82\xb5\x82\xc4 Enter "
    "\x83L\x81[\x82\xf0\x89\x9f\x82\xb5\x82\xc4\x82\xad"
    "\x82\xbe\x82\xb3\x82\xa2\x81"
    "B",
};
const char* const HintOkCancel[2] = {
    "Type o or ok for OK, c or cancel for Cancel, and press Enter.",
    "OK \x82\xcd o \x82\xdc\x82\xbd\x82\xcd ok\x81"
    "ACancel \x82\xcd c \x82\xdc\x82\xbd\x82\xcd cancel "
    "\x82\xf0\x93\xfc\x97\xcd\x82\xb5\x82\xc4 Enter "
    "\x83L\x81[\x82\xf0\x89\x9f\x82\xb5\x82\xc4\x82\xad"
    "\x82\xbe\x82\xb3\x82\xa2\x81"
    "B",
};
const char* const HintOk[2] = {
    "Type o or ok and press Enter.",
    "OK \x82\xcd o \x82\xdc\x82\xbd\x82\xcd ok \x82\xf0\x93\xfc\x97\xcd\x82\xb5\x82\xc4 Enter "
    "\x83L\x81["
    "\x82\xf0\x89\x9f\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81"
    "B",
};

const char* const NoTerminalText[2] = {
    "odd-fwupdate: a question could not be shown (no terminal): it counts as No, and nothing "
    "is written to a drive without an answer.",
    "odd-fwupdate: "
    "\x92[\x96\x96\x82\xaa\x82\xc8\x82\xa2\x82\xbd\x82\xdf\x8e\xbf\x96\xe2\x82\xf0\x95\x5c"
    "\x8e\xa6\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x81"
    "B\x93\x9a\x82\xa6\x82\xcd No \x82\xc6\x82\xdd"
    "\x82\xc8\x82\xb5\x81"
    "A\x93\x9a\x82\xa6\x82\xc8\x82\xb5\x82\xc9\x83h\x83\x89\x83"
    "C\x83u\x82\xd6"
    "\x8f\x91\x82\xab\x8d\x9e\x82\xde\x82\xb1\x82\xc6\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82"
    "\xf1\x81"
    "B",
};

// Full-width Latin letters and the ideographic space, typed with a Japanese input method, as
// their ASCII forms; in UTF-8 (U+FF21..U+FF3A, U+FF41..U+FF5A, U+3000) and in Shift-JIS
// (82 60..82 79, 82 81..82 9A, 81 40). Every other byte stays as it is.
std::string Narrowed(const char* line, size_t n) {
    std::string out;
    const auto* b = reinterpret_cast<const unsigned char*>(line);
    for (size_t i = 0; i < n;) {
        if (i + 2 < n && b[i] == 0xEF && b[i + 1] == 0xBC && b[i + 2] >= 0xA1 && b[i + 2] <= 0xBA) {
            out += static_cast<char>('A' + (b[i + 2] - 0xA1));
            i += 3;
        } else if (i + 2 < n && b[i] == 0xEF && b[i + 1] == 0xBD && b[i + 2] >= 0x81 &&
                   b[i + 2] <= 0x9A) {
            out += static_cast<char>('a' + (b[i + 2] - 0x81));
            i += 3;
        } else if (i + 2 < n && b[i] == 0xE3 && b[i + 1] == 0x80 && b[i + 2] == 0x80) {
            out += ' ';
            i += 3;
        } else if (i + 1 < n && b[i] == 0x82 && b[i + 1] >= 0x60 && b[i + 1] <= 0x79) {
            out += static_cast<char>('A' + (b[i + 1] - 0x60));
            i += 2;
        } else if (i + 1 < n && b[i] == 0x82 && b[i + 1] >= 0x81 && b[i + 1] <= 0x9A) {
            out += static_cast<char>('a' + (b[i + 1] - 0x81));
            i += 2;
        } else if (i + 1 < n && b[i] == 0x81 && b[i + 1] == 0x40) {
            out += ' ';
            i += 2;
        } else {
            out += static_cast<char>(b[i++]);
        }
    }
    return out;
}

const char* ButtonLine(uint32_t flags) {
    switch (flags & MB_TYPEMASK) {
        case MB_YESNO:
            return "[Y]es [N]o";
        case MB_OKCANCEL:
            return "[O]K [C]ancel";
        default:
            return "[O]K";
    }
}

}  // namespace

// A hang-up held while a drive is written only wakes this wait, which a restarted read would
// not notice. It is blocked from the check to the wait, which alone lets it in: one that came
// just before the wait began still ends it.
bool AwaitAnswer(FILE* in, bool (*gone)()) {
    const int fd = fileno(in);
    if (fd < 0 || gone == nullptr) return true;  // the read itself tells
    sigset_t hangUp;
    sigset_t original;
    sigemptyset(&hangUp);
    sigaddset(&hangUp, SIGHUP);
    sigprocmask(SIG_BLOCK, &hangUp, &original);
    bool answered = true;
    for (;;) {
        if (gone()) {
            answered = false;
            break;
        }
        pollfd wait = {fd, POLLIN, 0};
        const int ready = ppoll(&wait, 1, nullptr, &original);
        if (ready > 0 || (ready < 0 && errno != EINTR)) break;
    }
    sigprocmask(SIG_SETMASK, &original, nullptr);
    return answered;
}

namespace {}  // namespace

const char* BoxHint(uint32_t flags, bool japanese) {
    const int language = japanese ? 1 : 0;
    switch (flags & MB_TYPEMASK) {
        case MB_YESNO:
            return HintYesNo[language];
        case MB_OKCANCEL:
            return HintOkCancel[language];
        default:
            return HintOk[language];
    }
}

const char* NoTerminalNotice(bool japanese) {
    return NoTerminalText[japanese ? 1 : 0];
}

int ParseBoxAnswer(const char* typed, uint32_t flags) {
    // The typed word in its narrow form, without surrounding blanks and the line end.
    const std::string narrowed = Narrowed(typed, std::strcspn(typed, "\r\n"));
    const char* line = narrowed.c_str();
    while (*line == ' ' || *line == '\t') ++line;
    size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == ' ' || line[n - 1] == '\t')) --n;
    if (n == 0) return 0;

    const Button* buttons[2];
    const int count = ButtonsOf(flags, buttons);
    for (int i = 0; i < count; ++i) {
        for (const char* word : {buttons[i]->Short, buttons[i]->Long}) {
            if (std::strlen(word) == n && strncasecmp(line, word, n) == 0) {
                return buttons[i]->Answer;
            }
        }
    }
    return 0;
}

int RunTerminalBox(FILE* in, FILE* out, const char* text, const char* caption, uint32_t flags,
                   const char* hint, bool (*gone)()) {
    if (hint == nullptr) hint = BoxHint(flags, false);
    std::fprintf(out, "\n---------------- %s ----------------%s\n", caption, text);
    char line[256];
    for (;;) {
        std::fprintf(out, "\n%s ? ", ButtonLine(flags));
        if (std::fflush(out) != 0 || std::ferror(out)) return 0;
        if (!AwaitAnswer(in, gone) || std::fgets(line, sizeof line, in) == nullptr) return 0;
        // A line longer than the buffer is one answer: drop the rest of it.
        if (std::strchr(line, '\n') == nullptr && !std::feof(in)) {
            int c;
            while ((c = std::fgetc(in)) != EOF && c != '\n') {
            }
            if (c == EOF) return 0;
            std::fprintf(out, "\n%s", hint);
            continue;
        }
        const int answer = ParseBoxAnswer(line, flags);
        if (answer != 0) return answer;
        std::fprintf(out, "\n%s", hint);
    }
}
