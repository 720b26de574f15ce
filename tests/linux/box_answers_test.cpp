// The terminal box as a user meets it: what it accepts, what it says when it does not
// understand, and in which language.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/linux/linux_console.h"

namespace {

constexpr uint32_t YesNo = 0x24;
constexpr uint32_t OkCancel = 0x21;
constexpr uint32_t Ok = 0x40;

struct Drawn {
    int Answer;
    std::string Screen;
};

Drawn Ask(const std::string& typed, uint32_t flags, const char* hint) {
    FILE* in = fmemopen(const_cast<char*>(typed.data()), typed.size(), "r");
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    Drawn drawn;
    drawn.Answer = RunTerminalBox(in, out, "\r\nUpdate ?", "VELMOR", flags, hint);
    std::fclose(in);
    std::fclose(out);
    drawn.Screen.assign(buffer, size);
    std::free(buffer);
    return drawn;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(LinuxBoxAnswers, EachAnswerWithThePromptShownAndAHintAfterEveryRefusal) {
    struct Case {
        const char* name;
        uint32_t flags;
        std::string typed;
        int answer;
        size_t prompts;  // the box's own prompt line, shown again after each refusal
        size_t hints;
    };
    const Case cases[] = {
        {"accepted letter", YesNo, "y\n", 6, 1, 0},
        {"accepted word, blanks around", YesNo, "  No \n", 7, 1, 0},
        {"refused then accepted", YesNo, "maybe\nye\nyes\n", 6, 3, 2},
        {"empty line refused", Ok, "\no\n", 1, 2, 1},
        {"full-width y (UTF-8)", YesNo, "\xef\xbd\x99\n", 6, 1, 0},
        {"full-width Y (UTF-8)", YesNo, "\xef\xbc\xb9\n", 6, 1, 0},
        {"full-width whole word No (UTF-8)", YesNo, "\xef\xbc\xae\xef\xbd\x8f\n", 7, 1, 0},
        {"full-width o after an ideographic space", OkCancel, "\xe3\x80\x80\xef\xbd\x8f\n", 1, 1,
         0},
        {"full-width C (Shift-JIS)", OkCancel, "\x82\x62\n", 2, 1, 0},
        {"full-width n (Shift-JIS)", YesNo, "\x82\x8e\n", 7, 1, 0},
        {"other full-width letter refused", YesNo, "\xef\xbd\x9a\nn\n", 7, 2, 1},
        {"another box's button refused", OkCancel, "y\nc\n", 2, 2, 1},
        {"end of input", YesNo, "", 0, 1, 0},
        {"end of input after a refusal", YesNo, "maybe\n", 0, 2, 1},
        {"over-long line refused as one answer", YesNo, std::string(600, 'y') + "\nn\n", 7, 2, 1},
    };
    for (const Case& c : cases) {
        const char* hint = BoxHint(c.flags, false);
        const Drawn drawn = Ask(c.typed, c.flags, hint);
        const std::string prompt = c.flags == YesNo      ? "\n[Y]es [N]o ? "
                                   : c.flags == OkCancel ? "\n[O]K [C]ancel ? "
                                                         : "\n[O]K ? ";
        EXPECT_EQ(drawn.Answer, c.answer) << c.name;
        EXPECT_EQ(drawn.Screen.rfind("\n---------------- VELMOR ----------------\r\nUpdate ?\n", 0),
                  0u)
            << c.name;
        EXPECT_EQ(Count(drawn.Screen, prompt), c.prompts) << c.name;
        EXPECT_EQ(Count(drawn.Screen, "\n" + std::string(hint) + prompt), c.hints) << c.name;
    }
}

TEST(LinuxBoxAnswers, TheHintNamesTheAnswersOfItsOwnBoxInTheRunsLanguage) {
    struct Case {
        uint32_t flags;
        bool japanese;
        const char* words[4];
        const char* absent;
    };
    const char* const japaneseEnter = "\x93\xfc\x97\xcd";  // "input" in Shift-JIS
    const Case cases[] = {
        {YesNo, false, {"y or yes", "n or no", "Enter", nullptr}, "ok"},
        {OkCancel, false, {"o or ok", "c or cancel", "Enter", nullptr}, "yes"},
        {Ok, false, {"o or ok", "Enter", nullptr, nullptr}, "cancel"},
        {YesNo, true, {" y ", " yes", " n ", japaneseEnter}, "ok"},
        {OkCancel, true, {" o ", " ok", " cancel ", japaneseEnter}, "yes"},
        {Ok, true, {" o ", " ok ", japaneseEnter, nullptr}, "cancel"},
    };
    for (const Case& c : cases) {
        const std::string hint = BoxHint(c.flags, c.japanese);
        for (const char* word : c.words) {
            if (word == nullptr) continue;
            EXPECT_NE(hint.find(word), std::string::npos) << hint;
        }
        EXPECT_EQ(hint.find(c.absent), std::string::npos) << hint;
    }
    // The Japanese texts reach a UTF-8 terminal as Japanese.
    EXPECT_NE(Cp932ToUtf8(BoxHint(YesNo, true)).find("\xe5\x85\xa5\xe5\x8a\x9b"),  // 入力
              std::string::npos);
    EXPECT_NE(Cp932ToUtf8(NoTerminalNotice(true)).find("\xe7\xab\xaf\xe6\x9c\xab"),  // 端末
              std::string::npos);
    EXPECT_NE(std::string(NoTerminalNotice(false)).find("counts as No"), std::string::npos);
}

}  // namespace

// A hang-up that lands between the box's check and its wait still ends the wait: the box
// must not sit on a terminal that is gone. Run in a child, whose alarm ends a wait that hangs.
volatile sig_atomic_t HungUp = 0;
int GoneChecks = 0;

void OnHangUp(int) {
    HungUp = 1;
}

bool GoneWithALateHangUp() {
    const bool gone = HungUp != 0;
    if (GoneChecks++ == 0) raise(SIGHUP);  // just after the check read the flag
    return gone;
}

TEST(LinuxBoxAnswers, AHangUpJustBeforeTheWaitEndsIt) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int quiet[2];
        if (pipe(quiet) != 0) _exit(3);
        signal(SIGHUP, OnHangUp);
        alarm(5);
        FILE* in = fdopen(quiet[0], "r");
        _exit(AwaitAnswer(in, GoneWithALateHangUp) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the wait did not end (signal " << WTERMSIG(status) << ")";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
