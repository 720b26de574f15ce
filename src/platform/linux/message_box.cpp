#include <strings.h>

#include <cstdio>
#include <cstring>

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

int ParseBoxAnswer(const char* line, uint32_t flags) {
    // The typed word, without surrounding blanks and the line end.
    while (*line == ' ' || *line == '\t') ++line;
    size_t n = std::strcspn(line, "\r\n");
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

int RunTerminalBox(FILE* in, FILE* out, const char* text, const char* caption, uint32_t flags) {
    std::fprintf(out, "\n---------------- %s ----------------%s\n", caption, text);
    char line[256];
    for (;;) {
        std::fprintf(out, "\n%s ? ", ButtonLine(flags));
        std::fflush(out);
        if (std::fgets(line, sizeof line, in) == nullptr) return 0;
        // A line longer than the buffer is one answer: drop the rest of it.
        if (std::strchr(line, '\n') == nullptr && !std::feof(in)) {
            int c;
            while ((c = std::fgetc(in)) != EOF && c != '\n') {
            }
            if (c == EOF) return 0;
            continue;
        }
        const int answer = ParseBoxAnswer(line, flags);
        if (answer != 0) return answer;
    }
}
