#include "discovery/host_probe.h"

#include <cstdio>
#include <cstring>

#include "base/run_state.h"
#include "console/message.h"
#include "platform/platform_device.h"
#include "platform/platform_host.h"
#include "platform/platform_memory.h"

namespace {

constexpr uint32_t DefaultCommandTimeoutMs = 1000;

constexpr int ResultReady = 0;
constexpr int ResultNoMemory = -1;
constexpr int ResultNoAspiLibrary = 1;
constexpr int ResultAspiInitFailed = 2;
constexpr int ResultNoHostAdapter = 3;

constexpr uint32_t AspiStatusInitFailed = 0xE4;

constexpr const char* IntelAcceleratorKey = "SOFTWARE\\INTEL\\Intel Application Accelerator";
constexpr const char* IntelUltraAtaKey = "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver";

// The Enum\SCSI key of the IEEE 1394 QXR-710; its last character is the adapter's digit.
constexpr const char* AutoInsertKeyTemplate = "Enum\\SCSI\\KESTREL_DVD-RW__QXR-710_0";
constexpr int AutoInsertKeyLength = 35;
constexpr const char* AutoInsertSubkeyPrefix = "SBP2&CEDR&PQXA-ZRW";
constexpr size_t AutoInsertSubkeyPrefixLength = 18;

constexpr const char* ConfigManagerEnumKey = "Config Manager\\Enum";

// RegEnumKeyExA is given room for 255 characters and the terminator.
constexpr uint32_t SubkeyNameRoom = 256;
// "HardWareKey" is read into 1023 bytes; one more keeps a terminator behind the longest.
constexpr uint32_t HardwareKeyRoom = 1023;

bool AllocateBlock(uint8_t*& block, uint32_t& size, uint32_t bytes) {
    block = PlatformAllocateBlock(bytes);
    if (block == nullptr) return false;
    size = bytes;
    return true;
}

void PrintRegistryError(const char* format, uint32_t error) {
    char line[96];
    std::snprintf(line, sizeof line, format, static_cast<unsigned long>(error));
    ConsolePrint(line);
}

bool IsIeee1394Name(const char* name) {
    static const char blanks[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    static const char zeros[8] = {};
    return std::memcmp(name, "NTMAPHLP", 8) == 0 || std::memcmp(name, "ntmaphlp", 8) == 0 ||
           std::memcmp(name, blanks, 8) == 0 || std::memcmp(name, zeros, 8) == 0;
}

}  // namespace

int ProbeHost() {
    State.CommandTimeout = DefaultCommandTimeoutMs;

    OsVersion version{};
    version.dwOSVersionInfoSize = OSVERSIONINFOA_SIZE;
    PlatformGetVersionEx(&version);

    // Only Windows 95, 98 and Me take ASPI; every NT-family version, known or later, and any
    // other platform take pass-through.
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
        (version.dwMinorVersion == 0 || version.dwMinorVersion == 10 ||
         version.dwMinorVersion == 90)) {
        State.UsesAspi = 1;
    } else {
        State.UsesAspi = 0;
    }

    return State.UsesAspi == 1 ? PrepareAspiHost() : PrepareSptiHost();
}

int PrepareSptiHost() {
    State.CommandTimeout = DefaultCommandTimeoutMs;
    State.IntelAtaDriver = 0;
    // SCSI_ADDRESS: Length (0..3), PortNumber (4), PathId (5), TargetId (6), Lun (7).
    State.ScsiAddress[5] = 0;
    State.ScsiAddress[6] = 0;
    State.ScsiAddress[7] = 0;

    // The accelerator alone is announced but does not change how drives are driven.
    RegistryKey key = 0;
    if (PlatformRegOpenKeyEx(HKEY_LOCAL_MACHINE, IntelAcceleratorKey, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        PlatformRegCloseKey(key);
        ShowMessage(48, StyleReport);
    }
    if (PlatformRegOpenKeyEx(HKEY_LOCAL_MACHINE, IntelUltraAtaKey, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        State.IntelAtaDriver = 1;
        PlatformRegCloseKey(key);
        ShowMessage(48, StyleReport);
    }

    if (!AllocateBlock(State.WorkBuffer, State.WorkBufferSize, WorkBufferBytes) ||
        !AllocateBlock(State.ImageBuffer, State.ImageBufferSize, SptiImageBufferBytes) ||
        !AllocateBlock(State.CommandData, State.CommandDataSize, SptiCommandDataBytes)) {
        return ResultNoMemory;
    }
    return ResultReady;
}

int PrepareAspiHost() {
    State.CommandTimeout = DefaultCommandTimeoutMs;
    State.IntelAtaDriver = 0;
    State.Ieee1394Marker = -1;

    uint32_t requestBlockSize = 0;
    if (!AllocateBlock(State.WorkBuffer, State.WorkBufferSize, AspiBlockBytes) ||
        !AllocateBlock(State.AspiRequestBlock, requestBlockSize, AspiBlockBytes) ||
        !AllocateBlock(State.ImageBuffer, State.ImageBufferSize, AspiBlockBytes) ||
        !AllocateBlock(State.CommandData, State.CommandDataSize, AspiBlockBytes)) {
        return ResultNoMemory;
    }

    if (!PlatformLoadAspiLibrary()) return ResultNoAspiLibrary;

    const uint32_t support = PlatformGetAspi32SupportInfo();
    if (((support >> 8) & 0xFF) == AspiStatusInitFailed) return ResultAspiInitFailed;
    const uint8_t count = static_cast<uint8_t>(support & 0xFF);
    if (count == 0) return ResultNoHostAdapter;

    State.HostAdapterTable =
        PlatformAllocateBlock(static_cast<uint32_t>(count) * Srb::HaInquirySize);
    // Without the table no adapter can be asked for its name, so none is used.
    if (State.HostAdapterTable == nullptr) return ResultNoMemory;
    State.AspiAdapterCount = count;

    for (int i = 0; i < count; ++i) {
        uint8_t* record = State.HostAdapterTable + i * Srb::HaInquirySize;
        record[Srb::Cmd] = Srb::SC_HA_INQUIRY;
        record[Srb::HaId] = static_cast<uint8_t>(i);
        PlatformSendAspi32Command(record, nullptr, NoAspiEvent);

        // The name table has 16 entries; an adapter beyond them is still recognised from
        // its own record, but enumeration finds no name for it.
        const char* name = reinterpret_cast<const char*>(record + Srb::HaInquiryIdentifier);
        if (i < AdapterNameCapacity) std::memcpy(State.AdapterNames[i], name, 16);

        if (std::memcmp(name, "intelata", 8) == 0) {
            if (State.IntelAtaDriver == 0) ShowMessage(48, StyleReport);
            State.IntelAtaDriver = 1;
        } else if (IsIeee1394Name(name)) {
            State.Ieee1394Marker = i;
            ShowMessage(52, StyleReport);
        }
    }

    if (State.Ieee1394Marker != -1) ScanAutoInsertNotification();
    return ResultReady;
}

int ScanAutoInsertNotification() {
    char keyName[AutoInsertKeyLength + 1];
    std::memcpy(keyName, AutoInsertKeyTemplate, sizeof keyName);
    keyName[AutoInsertKeyLength - 1] = static_cast<char>('0' + State.Ieee1394Marker);

    RegistryKey key = 0;
    uint32_t error = PlatformRegOpenKeyEx(HKEY_LOCAL_MACHINE, keyName, KEY_ALL_ACCESS, &key);
    if (error != ERROR_SUCCESS) return static_cast<int>(error);

    uint32_t subkeys = 0;
    error = PlatformRegQueryInfoKey(key, &subkeys);
    if (error != ERROR_SUCCESS) {
        PrintRegistryError("\r\nRegQueryInfoKey Error : %08lxh", error);
        PlatformRegCloseKey(key);
        return static_cast<int>(error);
    }

    int result = 0;
    for (uint32_t index = subkeys; index-- > 0;) {
        char name[SubkeyNameRoom + 1] = {};  // the extra byte keeps the name terminated
        uint32_t nameLength = SubkeyNameRoom;
        error = PlatformRegEnumKeyEx(key, index, name, &nameLength);
        if (error == ERROR_SUCCESS &&
            std::strncmp(name, AutoInsertSubkeyPrefix, AutoInsertSubkeyPrefixLength) == 0) {
            char path[AutoInsertKeyLength + 1 + sizeof name];
            std::snprintf(path, sizeof path, "%.35s\\%s", keyName, name);
            RegistryKey subkey = 0;
            error = PlatformRegOpenKeyEx(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, &subkey);
            if (error != ERROR_SUCCESS) {
                PrintRegistryError("\r\nRegOpenKeyEx Error : %08lxh", error);
                result = static_cast<int>(error);
                break;
            }
            if (IsDevicePresent(name) == 0) {
                uint8_t value = 0;
                uint32_t valueSize = 1;
                error =
                    PlatformRegQueryValueEx(subkey, "AutoInsertNotification", &value, &valueSize);
                PlatformRegCloseKey(subkey);
                if (error != ERROR_SUCCESS) {
                    PrintRegistryError("\r\nRegQueryValueEx Error : %08lxh", error);
                    result = static_cast<int>(error);
                    break;
                }
                State.AutoInsertCount = static_cast<uint8_t>(State.AutoInsertCount + value);
            } else {
                // A device that is not present leaves its key closed all the same.
                PlatformRegCloseKey(subkey);
            }
        }
        if (error == ERROR_NO_MORE_ITEMS) break;
    }

    PlatformRegCloseKey(key);
    return result;
}

int IsDevicePresent(const char* name) {
    RegistryKey key = 0;
    if (PlatformRegOpenKeyEx(HKEY_DYN_DATA, ConfigManagerEnumKey, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS) {
        return -1;
    }

    uint32_t subkeys = 0;
    uint32_t error = PlatformRegQueryInfoKey(key, &subkeys);
    if (error != ERROR_SUCCESS) {
        PrintRegistryError("\r\nRegQueryInfoKey Error : %08lxh", error);
        PlatformRegCloseKey(key);
        return -1;
    }

    const size_t nameLength = std::strlen(name);
    int result = -1;
    for (uint32_t index = subkeys; index-- > 0;) {
        char subkeyName[SubkeyNameRoom + 1] = {};
        uint32_t subkeyLength = SubkeyNameRoom;
        error = PlatformRegEnumKeyEx(key, index, subkeyName, &subkeyLength);
        if (error == ERROR_SUCCESS) {
            char path[sizeof "Config Manager\\Enum\\" + SubkeyNameRoom];
            std::snprintf(path, sizeof path, "Config Manager\\Enum\\%s", subkeyName);
            RegistryKey device = 0;
            error = PlatformRegOpenKeyEx(HKEY_DYN_DATA, path, KEY_ALL_ACCESS, &device);
            if (error != ERROR_SUCCESS) {
                PrintRegistryError("\r\nRegOpenKeyEx Error (Config Mahager): %08lxh", error);
            } else {
                uint8_t value[HardwareKeyRoom + 1] = {};
                uint32_t valueSize = HardwareKeyRoom;
                error = PlatformRegQueryValueEx(device, "HardWareKey", value, &valueSize);
                PlatformRegCloseKey(device);
                if (error != ERROR_SUCCESS) {
                    PrintRegistryError("\r\nRegQueryValueEx Error : %08lxh", error);
                    break;
                }
                // The compared length is the value without its terminator, and never more
                // than the value's room or the name itself: an empty value matches nothing.
                size_t n = valueSize > HardwareKeyRoom ? HardwareKeyRoom : valueSize;
                n = n > 0 ? n - 1 : 0;
                // The Configuration Manager writes IEEE 1394 keys with other separators
                // than Enum\SCSI; align the two where the value has those characters.
                if (n >= 4 && std::memcmp(value, "SBP2", 4) == 0) {
                    if (n > 4) value[4] = '&';
                    if (n > 24) value[24] = '&';
                }
                if (n > 0 && n <= nameLength && std::memcmp(value, name, n) == 0) {
                    result = 0;
                    break;
                }
            }
        }
        if (error == ERROR_NO_MORE_ITEMS) break;
    }

    PlatformRegCloseKey(key);
    return result;
}
