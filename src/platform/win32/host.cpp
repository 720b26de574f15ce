// The host probe's calls: GetVersionExA and the registry.
#include <cstddef>

#include "platform/win32/win32_api.h"

static_assert(sizeof(OSVERSIONINFOA) == OSVERSIONINFOA_SIZE, "OSVERSIONINFOA is 148 bytes");

namespace {

HKEY AsKey(RegistryKey key) {
    return reinterpret_cast<HKEY>(key);
}

}  // namespace

bool PlatformGetVersionEx(OsVersion* version) {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = version->dwOSVersionInfoSize;
    if (!GetVersionExA(&info)) return false;
    version->dwMajorVersion = info.dwMajorVersion;
    version->dwMinorVersion = info.dwMinorVersion;
    version->dwPlatformId = info.dwPlatformId;
    return true;
}

uint32_t PlatformRegOpenKeyEx(RegistryKey root, const char* subKey, uint32_t samDesired,
                              RegistryKey* result) {
    HKEY opened = nullptr;
    const LONG error = RegOpenKeyExA(AsKey(root), subKey, 0, samDesired, &opened);
    *result = error == ERROR_SUCCESS ? reinterpret_cast<RegistryKey>(opened) : 0;
    return static_cast<uint32_t>(error);
}

uint32_t PlatformRegQueryInfoKey(RegistryKey key, uint32_t* subKeys) {
    DWORD count = 0;
    const LONG error = RegQueryInfoKeyA(AsKey(key), nullptr, nullptr, nullptr, &count, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    *subKeys = error == ERROR_SUCCESS ? count : 0;
    return static_cast<uint32_t>(error);
}

uint32_t PlatformRegEnumKeyEx(RegistryKey key, uint32_t index, char* name, uint32_t* nameLength) {
    DWORD length = *nameLength;
    const LONG error =
        RegEnumKeyExA(AsKey(key), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_SUCCESS) {
        *nameLength = length;
    } else if (*nameLength > 0) {
        name[0] = '\0';  // what a failed call left there is no name
    }
    return static_cast<uint32_t>(error);
}

uint32_t PlatformRegQueryValueEx(RegistryKey key, const char* valueName, uint8_t* data,
                                 uint32_t* dataSize) {
    DWORD size = *dataSize;
    const LONG error = RegQueryValueExA(AsKey(key), valueName, nullptr, nullptr, data, &size);
    // On success the size is what was stored, never more than the room given.
    if (error == ERROR_SUCCESS) *dataSize = size <= *dataSize ? size : *dataSize;
    return static_cast<uint32_t>(error);
}

uint32_t PlatformRegCloseKey(RegistryKey key) {
    return static_cast<uint32_t>(RegCloseKey(AsKey(key)));
}
