#include <iconv.h>
#include <strings.h>

#include <cstring>
#include <string>

#include "platform/linux/linux_console.h"

// The language and the encoding of a run, from the locale; shared by the program and the
// demo, which follows the locale the same way.

namespace {

const char* ChosenLocale(const char* lcAll, const char* lcMessages, const char* lang) {
    for (const char* v : {lcAll, lcMessages, lang}) {
        if (v != nullptr && v[0] != '\0') return v;
    }
    return "";
}

bool ContainsNoCase(const char* text, const char* word) {
    const size_t n = std::strlen(word);
    for (const char* p = text; *p != '\0'; ++p) {
        if (strncasecmp(p, word, n) == 0) return true;
    }
    return false;
}

}  // namespace

uint32_t CodePageFromLocale(const char* lcAll, const char* lcMessages, const char* lang) {
    const char* locale = ChosenLocale(lcAll, lcMessages, lang);
    return std::strncmp(locale, "ja", 2) == 0 ? 932 : 437;
}

bool LocaleNeedsUtf8(const char* lcAll, const char* lcMessages, const char* lang) {
    if (CodePageFromLocale(lcAll, lcMessages, lang) != 932) return false;
    const char* locale = ChosenLocale(lcAll, lcMessages, lang);
    return !(ContainsNoCase(locale, "sjis") || ContainsNoCase(locale, "shift_jis") ||
             ContainsNoCase(locale, "cp932"));
}

std::string Cp932ToUtf8(const char* text) {
    std::string result(text);
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return result;
    std::string out(std::strlen(text) * 3 + 1, '\0');
    char* inPtr = const_cast<char*>(text);
    size_t inLeft = std::strlen(text);
    char* outPtr = &out[0];
    size_t outLeft = out.size();
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) {
        result.assign(&out[0], out.size() - outLeft);
    }
    iconv_close(cd);
    return result;
}
