#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/linux_console.h"
#include "platform/linux/linux_device.h"
#include "platform/platform_console.h"
#include "platform/platform_device.h"

// The drives named on the command line: the name a path stood for is resolved here, where the
// host's names are known, and kept, so that a drive left out is told by the name it was given.

namespace {

constexpr char FirstLetter = 'D';
constexpr int LetterCount = 23;  // D..Z: /dev/sr0../dev/sr22
constexpr size_t WordCapacity = 128;

char NamedAs[LetterCount][WordCapacity];

const char* const NotTargetText[2] = {
    "odd-fwupdate: %s is not a drive the package is for; it is left as it is.\n",
    // odd-fwupdate: %s はこのパッケージで更新するドライブではありません。何も変えずに残します。
    "odd-fwupdate: %s \x82\xcd\x82\xb1\x82\xcc\x83p\x83"
    "b\x83P\x81[\x83W\x82\xc5\x8dX\x90V\x82\xb7\x82\xe9\x83h\x83\x89\x83"
    "C\x83u\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81"
    "B\x89\xbd\x82\xe0\x95\xcf\x82\xa6\x82\xb8\x82\xc9\x8e"
    "c\x82\xb5\x82\xdc\x82\xb7\x81"
    "B\n",
};

// "/dev/srN" or "/dev/sgN" with N in digits only: N, else -1.
int NodeNumber(const char* path, const char* prefix) {
    const size_t n = std::strlen(prefix);
    if (std::strncmp(path, prefix, n) != 0 || path[n] == '\0') return -1;
    int number = 0;
    for (const char* digit = path + n; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || number > 1000) return -1;
        number = number * 10 + (*digit - '0');
    }
    return number;
}

// The srN whose SCSI device lists this generic node, as the sg module registers it.
int SrOfGenericNode(int generic) {
    for (int sr = 0; sr < LetterCount; ++sr) {
        char entry[96];
        std::snprintf(entry, sizeof entry, "/sys/block/sr%d/device/scsi_generic/sg%d", sr, generic);
        struct stat info;
        if (stat(entry, &info) == 0) return sr;
    }
    return -1;
}

void Remember(char letter, const char* word) {
    std::snprintf(NamedAs[letter - FirstLetter], WordCapacity, "%s", word);
}

}  // namespace

bool PlatformLetterOfDevicePath(const char* path, char* letter) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr) return false;
    int sr = NodeNumber(resolved, "/dev/sr");
    if (sr < 0) {
        const int generic = NodeNumber(resolved, "/dev/sg");
        if (generic >= 0) sr = SrOfGenericNode(generic);
    }
    if (sr < 0 || sr >= LetterCount) return false;
    *letter = static_cast<char>(FirstLetter + sr);
    Remember(*letter, path);
    return true;
}

void PlatformReportNotTarget(char letter) {
    char node[32] = "?";
    DevicePathForLetter(letter, node, sizeof node);
    const char* word = letter >= FirstLetter && letter < FirstLetter + LetterCount
                           ? NamedAs[letter - FirstLetter]
                           : "";
    char name[WordCapacity + 48];
    if (word[0] != '\0' && std::strcmp(word, node) != 0) {
        std::snprintf(name, sizeof name, "%s (drive %c: %s)", word, letter, node);
    } else {
        std::snprintf(name, sizeof name, "%c: (%s)", letter, node);
    }
    char line[512];
    std::snprintf(line, sizeof line, NotTargetText[PlatformGetOemCodePage() == 932 ? 1 : 0], name);
    PlatformWriteError(line);
}
