#pragma once
#include <cstdint>

#include "platform/platform_device.h"  // the Windows error codes

// The host facts the probe reads: the operating system's version and its registry.

// ---- GetVersionExA ----------------------------------------------------------------------
constexpr uint32_t VER_PLATFORM_WIN32s = 0;
constexpr uint32_t VER_PLATFORM_WIN32_WINDOWS = 1;  // Windows 95, 98, Me
constexpr uint32_t VER_PLATFORM_WIN32_NT = 2;
// A host of neither family (Linux): any id other than 1 and 2 selects pass-through.
constexpr uint32_t PlatformIdOther = 0x100;

constexpr uint32_t OSVERSIONINFOA_SIZE = 148;

// The fields of OSVERSIONINFOA that the probe reads.
struct OsVersion {
    uint32_t dwOSVersionInfoSize;  // set by the caller: OSVERSIONINFOA_SIZE
    uint32_t dwMajorVersion;
    uint32_t dwMinorVersion;
    uint32_t dwPlatformId;
};

// GetVersionExA: true when the version was read; on false the fields are left as they were.
bool PlatformGetVersionEx(OsVersion* version);

// ---- Registry ---------------------------------------------------------------------------
using RegistryKey = intptr_t;  // HKEY
constexpr RegistryKey HKEY_LOCAL_MACHINE =
    static_cast<RegistryKey>(static_cast<int32_t>(0x80000002));
constexpr RegistryKey HKEY_DYN_DATA = static_cast<RegistryKey>(static_cast<int32_t>(0x80000006));

constexpr uint32_t KEY_READ = 0x20019;
constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

constexpr uint32_t ERROR_MORE_DATA = 234;
constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;

// RegOpenKeyExA: ERROR_SUCCESS with the opened key in *result, or the error code
// (ERROR_FILE_NOT_FOUND when there is no such key).
uint32_t PlatformRegOpenKeyEx(RegistryKey root, const char* subKey, uint32_t samDesired,
                              RegistryKey* result);

// RegQueryInfoKeyA asked only for the number of subkeys.
uint32_t PlatformRegQueryInfoKey(RegistryKey key, uint32_t* subKeys);

// RegEnumKeyExA: the name of subkey `index` into `name`. On entry *nameLength is the room
// in characters, terminator included; on success it is the length without the terminator.
// ERROR_NO_MORE_ITEMS past the last subkey, ERROR_MORE_DATA when the name does not fit.
uint32_t PlatformRegEnumKeyEx(RegistryKey key, uint32_t index, char* name, uint32_t* nameLength);

// RegQueryValueExA: the value's bytes into `data`. On entry *dataSize is the room in
// bytes; on success it is the number of bytes stored (a string's terminator included).
// ERROR_MORE_DATA when the value does not fit, ERROR_FILE_NOT_FOUND when there is none.
uint32_t PlatformRegQueryValueEx(RegistryKey key, const char* valueName, uint8_t* data,
                                 uint32_t* dataSize);

uint32_t PlatformRegCloseKey(RegistryKey key);
