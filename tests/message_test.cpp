#include "console/message.h"

#include <iconv.h>

#include <cstring>
#include <string>
#include <vector>

#include "console/catalogue.h"
#include "test_support.h"

namespace {

class MessageTest : public SimTest {};

TEST_F(MessageTest, UnknownCodesShowTheUnknownTextInEitherLanguage) {
    for (uint32_t page : {437u, 932u}) {
        State.OemCodePage = page;
        for (uint32_t code : {18u, 62u, 79u, 95u, 101u, 0xFFFFFFFFu, static_cast<uint32_t>(-5)}) {
            Sim.Console.clear();
            EXPECT_EQ(ShowMessage(code, StyleReport), 0);
            EXPECT_EQ(Sim.Console, "\r\nUnknow Message Code\r\n") << code << " page " << page;
        }
    }
}

TEST_F(MessageTest, StyleDecidesConsoleBoxFlagsAndAnswer) {
    struct Case {
        int32_t style;
        int answer;
        bool printed;
        bool boxed;
        uint32_t flags;
        int returned;
    };
    const Case cases[] = {
        {StyleReport, 6, true, false, 0, 0},
        {StyleOkCancel, 2, false, true, 0x21, 2},
        {StyleYesNo, 7, false, true, 0x24, 7},
        {StyleYesNo, 0, false, true, 0x24, 0},
        {StyleError, 1, true, true, 0x10, 1},
        {StyleInformation, 1, true, true, 0x40, 1},
        {StyleWarning, 1, true, true, 0x30, 1},
        {3, 6, true, false, 0, 0},
        {15, 6, true, false, 0, 0},
        {19, 6, true, false, 0, 0},
        {-1, 6, true, false, 0, 0},
    };
    for (const Case& c : cases) {
        ResetSim();
        Sim.BoxAnswers = {c.answer};
        EXPECT_EQ(ShowMessage(35, c.style), c.returned) << c.style;
        EXPECT_EQ(!Sim.Console.empty(), c.printed) << c.style;
        ASSERT_EQ(Sim.Boxes.size(), c.boxed ? 1u : 0u) << c.style;
        if (c.boxed) {
            EXPECT_EQ(Sim.Boxes[0].Caption, "VELMOR");
            EXPECT_EQ(Sim.Boxes[0].Flags, c.flags) << c.style;
            // The box gets the very text of the console, leading line break included.
            EXPECT_EQ(Sim.Boxes[0].Text, "\r\nUpdate operation is completed.");
            // Errors, information and warnings reach the console before the box.
            if (c.printed) {
                EXPECT_EQ(Sim.ConsoleAtBox[0], Sim.Console.size());
            }
        }
    }
}

TEST_F(MessageTest, PlaceholdersTakeTheRunValues) {
    std::strcpy(State.Selection.ImageFileName, "S0814001.122-and-more");
    State.SelectedTarget = 1;
    std::memcpy(State.NewRevisionText, "1.23A", 5);
    std::memcpy(State.InquiryData + 8, "KESTREL DVD-RW  QXR-930D1.22 08/07/25", 37);
    uint8_t image[400] = {};
    std::memcpy(image + 96, "KESTREL DVD-RW  QXR-930D", 24);
    std::memcpy(image + 144, "1.23B", 5);
    std::memcpy(image + 304, "08/09/30XY", 10);
    State.ImageBuffer = image;
    State.ImageBufferSize = sizeof image;

    struct Case {
        uint32_t code;
        const char* text;
    };
    const Case cases[] = {
        {11, "\r\nFailed to load binary file.\r\n(File Name : S0814001.122)"},
        {32,
         "\r\nDo you want to update ID=1 drive to Ver1.23 ?\r\nCurrent FW : KESTREL DVD-RW  "
         "QXR-930D 1.22"},
        {45, "\nFW is already Ver1.23."},
        {46,
         "\nAfter you change the firmware to ver1.23, \r\nyou can not change the firmware to old "
         "version.\r\nDo you proceed to update ?"},
        {82,
         "\r\nDo you want to update the F/W\r\nFrom : KESTREL DVD-RW  QXR-930D 1.22  (2008/07/25)"
         "\r\nTo : KESTREL DVD-RW  QXR-930D 1.23B (2008/09/30)"},
    };
    for (const Case& c : cases) {
        Sim.Console.clear();
        ShowMessage(c.code, StyleReport);
        EXPECT_EQ(Sim.Console, c.text) << c.code;
    }
    State.ImageBuffer = nullptr;
}

TEST_F(MessageTest, MessageEightyTwoBeforeAnyImageShowsBlankImageFields) {
    std::memcpy(State.InquiryData + 8, "KESTREL DVD-RW  QXR-930D1.22 08/07/25", 37);
    ShowMessage(82, StyleReport);
    EXPECT_EQ(Sim.Console,
              "\r\nDo you want to update the F/W\r\nFrom : KESTREL DVD-RW  QXR-930D 1.22  "
              "(2008/07/25)\r\nTo :   (20)");
}

TEST_F(MessageTest, FileExceptionTextsShowTheCauseInHex) {
    struct Case {
        int cause;
        const char* text;
    };
    const Case cases[] = {
        {10, "\r\nFile Exception Error a : Hardware I/O error"},
        {14, "\r\nFile Exception Error e : Reach to end of file"},
        {0, ""},
        {15, ""},
        {-1, ""},
    };
    for (const Case& c : cases) {
        Sim.Console.clear();
        ReportFileException(c.cause);
        EXPECT_EQ(Sim.Console, c.text) << c.cause;
    }
}

// ---- the Japanese set: every text decodes from Shift-JIS and keeps the English set's
// argument lists and line breaks.

// Decodes code page 932 bytes to UTF-8; an undecodable byte sequence fails the test.
std::string Cp932ToUtf8(const char* text) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in(text), out(in.size() * 4, '\0');
    char* src = &in[0];
    char* dst = &out[0];
    size_t src_left = in.size(), dst_left = out.size();
    EXPECT_NE(iconv(cd, &src, &src_left, &dst, &dst_left), static_cast<size_t>(-1)) << text;
    iconv_close(cd);
    out.resize(out.size() - dst_left);
    return out;
}

// The printf conversion specifications of a format, in order ("%%" is none).
std::vector<std::string> ConversionSpecs(const std::string& format) {
    std::vector<std::string> specs;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (i + 1 < format.size() && format[i + 1] == '%') {
            ++i;
            continue;
        }
        const size_t end = format.find_first_of("diouxXeEfFgGaAcspn", i + 1);
        specs.push_back(format.substr(i, end == std::string::npos ? end : end - i + 1));
        if (end == std::string::npos) break;
        i = end;
    }
    return specs;
}

std::string LeadingBreak(const std::string& s) {
    return s.compare(0, 2, "\r\n") == 0 ? "\r\n" : s.compare(0, 1, "\n") == 0 ? "\n" : "";
}

TEST(CatalogueJa, ParallelToEnglishSet) {
    int with_text = 0;
    for (unsigned code = 0; code < MessageCodeCount; ++code) {
        SCOPED_TRACE(code);
        ASSERT_EQ(MessageTextJa[code] == nullptr, MessageTextEn[code] == nullptr);
        if (MessageTextEn[code] == nullptr) continue;
        ++with_text;
        const std::string en = MessageTextEn[code];
        const std::string ja = MessageTextJa[code];
        Cp932ToUtf8(ja.c_str());  // every byte sequence decodes
        EXPECT_EQ(ConversionSpecs(ja), ConversionSpecs(en));
        EXPECT_NE(LeadingBreak(en), "");
        EXPECT_EQ(LeadingBreak(ja), LeadingBreak(en));
        EXPECT_EQ(ja.back() == '\n', en.back() == '\n');
    }
    EXPECT_EQ(with_text, 84);
    for (unsigned code : {13u, 36u}) EXPECT_EQ(std::string(MessageTextJa[code]).back(), '\n');
}

}  // namespace
