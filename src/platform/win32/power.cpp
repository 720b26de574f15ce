// The machine around the drive on Windows: SetThreadExecutionState while a drive is written
// and GetSystemPowerStatus for the battery rule. Windows 95 and NT 4.0 have neither, so both
// are looked up at run time; without them the run goes on as before.
#include <cstdio>

#include "platform/win32/win32_api.h"

namespace {

using SetThreadExecutionStateFn = DWORD(WINAPI*)(DWORD);
using GetSystemPowerStatusFn = BOOL(WINAPI*)(SYSTEM_POWER_STATUS*);

// An export of KERNEL32.DLL as the function type the caller names, or null where this
// Windows lacks it.
template <typename Call>
Call Kernel32(const char* name) {
    const HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    if (kernel == nullptr) return nullptr;
    // Through void (*)(), which converts to and from any function pointer type.
    return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, name)));
}

const char* const LowBatteryText[2] = {
    "\r\nDrive %s is not updated: the PC runs on battery at %d %%, below %d %%.\r\n"
    "Connect the AC adapter and run the update again.",
    "\r\n\x83h\x83\x89\x83"
    "C\x83u %s \x82\xcc\x83t\x83@\x81[\x83\x80\x83"
    "E\x83"
    "F\x83"
    "A\x82\xcd\x8dX\x90V\x82\xb5\x82\xdc\x82\xb9\x82\xf1\x81"
    "B\x83o\x83"
    "b\x83"
    "e\x83\x8a\x81[\x82\xcc\x8e"
    "c\x97\xca\x82\xaa %d %% \x82\xc5\x81"
    "A%d %% \x82\xf0\x89\xba\x89\xf1\x82\xc1\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81"
    "B\r\nAC \x83"
    "A\x83_\x83v\x83^\x81[\x82\xf0\x82\xc2\x82\xc8\x82\xa2\x82\xc5\x82\xa9\x82\xe7\x81"
    "A\x82\xe0\x82\xa4\x88\xea\x93x\x8e\xc0\x8ds\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2"
    "\x81"
    "B",
};

constexpr UINT ErrorBox = MB_OK | MB_ICONHAND;

}  // namespace

void PlatformSetThreadExecutionState(uint32_t flags, char) {
    const auto set = Kernel32<SetThreadExecutionStateFn>("SetThreadExecutionState");
    if (set != nullptr) set(flags);
}

bool PlatformGetSystemPowerStatus(SystemPowerStatus* status) {
    const auto get = Kernel32<GetSystemPowerStatusFn>("GetSystemPowerStatus");
    SYSTEM_POWER_STATUS answer = {};
    if (get == nullptr || !get(&answer)) return false;
    status->ACLineStatus = answer.ACLineStatus;
    status->BatteryFlag = answer.BatteryFlag;
    status->BatteryLifePercent = answer.BatteryLifePercent;
    return true;
}

int PlatformReadPowerSupplies(PowerSupply*, int) {
    return 0;
}

void PlatformReportLowBattery(char letter, int percent, int threshold) {
    char name[8];
    if (letter != 0) {
        std::snprintf(name, sizeof name, "%c:", letter);
    } else {
        std::snprintf(name, sizeof name, "(ASPI)");
    }
    char text[400];
    std::snprintf(text, sizeof text, LowBatteryText[GetOEMCP() == 932 ? 1 : 0], name, percent,
                  threshold);
    PlatformWriteConsole(text);
    PlatformWriteConsole("\n");
    PlatformMessageBox(text, "VELMOR", ErrorBox);
}
