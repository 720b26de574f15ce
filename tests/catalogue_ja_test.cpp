// The Japanese message set: every text decodes from Shift-JIS and keeps the English set's
// argument lists and line breaks.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "console/catalogue.h"

namespace {

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
