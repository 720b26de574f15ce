#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/linux/linux_name_case.h"

std::string NameIgnoringCase(const char* name, std::FILE* report) {
    struct stat info;
    if (::lstat(name, &info) == 0 || errno != ENOENT) return name;

    const std::string whole = name;
    const size_t slash = whole.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : whole.substr(0, slash + 1);
    const std::string last = slash == std::string::npos ? whole : whole.substr(slash + 1);
    if (last.empty()) return name;

    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return name;
    std::vector<std::string> matches;
    while (const dirent* entry = ::readdir(dir)) {
        if (::strcasecmp(entry->d_name, last.c_str()) == 0) matches.push_back(entry->d_name);
    }
    ::closedir(dir);

    if (matches.size() == 1) return slash == std::string::npos ? matches[0] : folder + matches[0];
    if (matches.size() > 1 && report != nullptr) {
        std::sort(matches.begin(), matches.end());
        std::string names;
        for (const std::string& match : matches) names += " " + match;
        std::fprintf(report,
                     "odd-fwupdate: %s is missing, and %zu files differ from it only in case:%s;"
                     " none of them is used\n",
                     name, matches.size(), names.c_str());
    }
    return name;
}
