// The Japanese message set: the compiled Shift-JIS table against its readable UTF-8 source,
// and against the English set whose argument lists it shares.
#include <gtest/gtest.h>
#include <iconv.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "console/catalogue.h"

#ifndef ODD_SOURCE_DIR
#define ODD_SOURCE_DIR "."
#endif

namespace {

const char* const kMessagesFile = ODD_SOURCE_DIR "/src/console/messages_ja.utf8.txt";

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

std::map<unsigned, std::string> ReadMessagesFile() {
    std::map<unsigned, std::string> texts;
    std::ifstream in(kMessagesFile);
    EXPECT_TRUE(in.is_open()) << kMessagesFile;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t tab = line.find('\t');
        EXPECT_NE(tab, std::string::npos) << line;
        if (tab == std::string::npos) continue;
        texts[std::stoul(line.substr(0, tab))] = Unescape(line.substr(tab + 1));
    }
    return texts;
}

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

TEST(CatalogueJa, CompiledTableMatchesUtf8Source) {
    const std::map<unsigned, std::string> file = ReadMessagesFile();
    ASSERT_FALSE(file.empty());
    for (unsigned code = 0; code < MessageCodeCount; ++code) {
        SCOPED_TRACE(code);
        const auto it = file.find(code);
        if (it == file.end()) {
            EXPECT_EQ(MessageTextJa[code], nullptr);
            continue;
        }
        ASSERT_NE(MessageTextJa[code], nullptr);
        EXPECT_EQ(Cp932ToUtf8(MessageTextJa[code]), it->second);
    }
    EXPECT_EQ(file.rbegin()->first, MessageCodeCount - 1);
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
        EXPECT_EQ(ConversionSpecs(ja), ConversionSpecs(en));
        EXPECT_NE(LeadingBreak(en), "");
        EXPECT_EQ(LeadingBreak(ja), LeadingBreak(en));
        EXPECT_EQ(ja.back() == '\n', en.back() == '\n');
    }
    EXPECT_EQ(with_text, 84);
    for (unsigned code : {13u, 36u}) EXPECT_EQ(std::string(MessageTextJa[code]).back(), '\n');
}

}  // namespace
