#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/linux_console.h"

namespace {

TEST(LinuxLocale, CodePageAndConversionFollowTheFirstSetVariable) {
    struct Case {
        const char *all, *messages, *lang;
        uint32_t page;
        bool utf8;
    };
    const Case cases[] = {
        {nullptr, nullptr, "ja_JP.UTF-8", 932, true},
        {"", "", "ja_JP.UTF-8", 932, true},
        {"C", nullptr, "ja_JP.UTF-8", 437, false},
        {nullptr, "en_US.UTF-8", "ja_JP.UTF-8", 437, false},
        {nullptr, "ja_JP.SJIS", "en_US.UTF-8", 932, false},
        {"ja_JP.Shift_JIS", nullptr, nullptr, 932, false},
        {"ja_JP.cp932", nullptr, nullptr, 932, false},
        {"ja", nullptr, nullptr, 932, true},
        {nullptr, nullptr, nullptr, 437, false},
        {nullptr, nullptr, "de_DE.UTF-8", 437, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CodePageFromLocale(c.all, c.messages, c.lang), c.page) << (c.lang ? c.lang : "-");
        EXPECT_EQ(LocaleNeedsUtf8(c.all, c.messages, c.lang), c.utf8) << (c.lang ? c.lang : "-");
    }
}

TEST(LinuxLocale, ShiftJisBecomesUtf8) {
    // Half-width katakana and a kanji: "ﾄﾞﾗｲﾌﾞ台"
    EXPECT_EQ(Cp932ToUtf8("\r\n\xc4\xde\xd7\xb2\xcc\xde\x91\xe4"),
              "\r\n\xef\xbe\x84\xef\xbe\x9e\xef\xbe\x97\xef\xbd\xb2\xef\xbe\x8c\xef\xbe\x9e"
              "\xe5\x8f\xb0");
    EXPECT_EQ(Cp932ToUtf8("plain %d text"), "plain %d text");
}

TEST(LinuxBox, TypedWordsNameOnlyTheBoxesOwnButtons) {
    struct Case {
        const char* line;
        uint32_t flags;
        int answer;
    };
    const Case cases[] = {
        {"y\n", 0x24, 6},  {"YES\n", 0x24, 6},    {" No \n", 0x24, 7}, {"n\r\n", 0x24, 7},
        {"ok\n", 0x24, 0}, {"yess\n", 0x24, 0},   {"\n", 0x24, 0},     {"ye\n", 0x24, 0},
        {"o\n", 0x21, 1},  {"Cancel\n", 0x21, 2}, {"y\n", 0x21, 0},    {"OK\n", 0x40, 1},
        {"c\n", 0x30, 0},  {"n\n", 0x10, 0},      {"o\n", 0x10, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseBoxAnswer(c.line, c.flags), c.answer) << c.line << " " << c.flags;
    }
}

// Feeds `input` to the box and returns its answer and what it drew.
int RunBox(const std::string& input, uint32_t flags, std::string* drawn) {
    FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    const int answer = RunTerminalBox(in, out, "\r\nDo it ?", "VELMOR", flags);
    std::fclose(in);
    std::fclose(out);
    *drawn = std::string(buffer, size);
    std::free(buffer);
    return answer;
}

TEST(LinuxBox, AsksAgainUntilAnAnswerAndGivesZeroWhenInputEnds) {
    std::string drawn;
    EXPECT_EQ(RunBox("maybe\n\nyes\n", 0x24, &drawn), 6);
    EXPECT_NE(drawn.find("VELMOR"), std::string::npos);
    EXPECT_NE(drawn.find("Do it ?"), std::string::npos);
    size_t prompts = 0;
    for (size_t at = drawn.find("[Y]es [N]o"); at != std::string::npos;
         at = drawn.find("[Y]es [N]o", at + 1)) {
        ++prompts;
    }
    EXPECT_EQ(prompts, 3u);

    EXPECT_EQ(RunBox("", 0x24, &drawn), 0);
    EXPECT_EQ(RunBox("what\n", 0x24, &drawn), 0);
    EXPECT_EQ(RunBox("y", 0x24, &drawn), 6);  // a last line without its line end still counts
    EXPECT_EQ(RunBox(std::string(600, 'y') + "\nn\n", 0x24, &drawn), 7);
    EXPECT_NE(RunBox("c\n", 0x21, &drawn), 0);
    EXPECT_NE(drawn.find("[O]K [C]ancel"), std::string::npos);
}

}  // namespace
