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

}  // namespace
