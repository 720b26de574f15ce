#include <sys/utsname.h>

#include <cstdio>

#include "platform/platform_host.h"

// Linux belongs to neither Windows family, so the run takes the pass-through transport
// (SG_IO). The kernel's release numbers stand in for the version.
bool PlatformGetVersionEx(OsVersion* version) {
    version->dwPlatformId = PlatformIdOther;
    version->dwMajorVersion = 0;
    version->dwMinorVersion = 0;
    utsname name{};
    if (uname(&name) == 0) {
        unsigned major = 0;
        unsigned minor = 0;
        if (std::sscanf(name.release, "%u.%u", &major, &minor) == 2) {
            version->dwMajorVersion = major;
            version->dwMinorVersion = minor;
        }
    }
    return true;
}

// There is no registry: no key exists, so the storage-driver keys are never found.
namespace {
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
}

uint32_t PlatformRegOpenKeyEx(RegistryKey, const char*, uint32_t, RegistryKey* result) {
    *result = 0;
    return ERROR_FILE_NOT_FOUND;
}
uint32_t PlatformRegQueryInfoKey(RegistryKey, uint32_t* subKeys) {
    *subKeys = 0;
    return ERROR_INVALID_HANDLE;
}
uint32_t PlatformRegEnumKeyEx(RegistryKey, uint32_t, char*, uint32_t*) {
    return ERROR_INVALID_HANDLE;
}
uint32_t PlatformRegQueryValueEx(RegistryKey, const char*, uint8_t*, uint32_t*) {
    return ERROR_INVALID_HANDLE;
}
uint32_t PlatformRegCloseKey(RegistryKey) {
    return ERROR_INVALID_HANDLE;
}
