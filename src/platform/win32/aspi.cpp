// ASPI for Win32: WNASPI32.DLL loaded at run time, its exports 1 (GetASPI32SupportInfo) and
// 2 (SendASPI32Command) resolved by ordinal on first use; completion through an event.
#include "platform/win32/win32_api.h"
#include "platform/win32/win32_blocks.h"

namespace {

using GetSupportInfoCall = DWORD(__cdecl*)();
using SendCommandCall = DWORD(__cdecl*)(void*);

constexpr WORD GetSupportInfoOrdinal = 1;
constexpr WORD SendCommandOrdinal = 2;
constexpr uint8_t SS_FAILED_INIT = 0xE4;

HMODULE AspiLibrary = nullptr;
GetSupportInfoCall GetSupportInfo = nullptr;
SendCommandCall SendCommand = nullptr;

// An export by ordinal, as the function type the caller names.
template <typename Call>
Call Resolve(WORD ordinal) {
    if (AspiLibrary == nullptr) return nullptr;
    const FARPROC address = GetProcAddress(AspiLibrary, MAKEINTRESOURCEA(ordinal));
    // Through void (*)(), which converts to and from any function pointer type.
    return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

// Never unloaded: the layer may still complete a command when the program ends.
bool PlatformLoadAspiLibrary() {
    if (AspiLibrary == nullptr) AspiLibrary = LoadLibraryA("WNASPI32.DLL");
    return AspiLibrary != nullptr;
}

uint32_t PlatformGetAspi32SupportInfo() {
    if (GetSupportInfo == nullptr) {
        GetSupportInfo = Resolve<GetSupportInfoCall>(GetSupportInfoOrdinal);
    }
    if (GetSupportInfo == nullptr) return uint32_t{SS_FAILED_INIT} << 8;
    return GetSupportInfo();
}

uint8_t PlatformSendAspi32Command(uint8_t* srb, uint8_t* data, AspiEvent event) {
    if (SendCommand == nullptr) SendCommand = Resolve<SendCommandCall>(SendCommandOrdinal);
    if (SendCommand == nullptr) {
        srb[Srb::Status] = SS_FAILED_INIT;
        return SS_FAILED_INIT;
    }
    Win32Blocks::PackSrbPointers(
        srb, static_cast<Win32Blocks::Pointer32>(reinterpret_cast<uintptr_t>(data)),
        static_cast<Win32Blocks::Pointer32>(event));
    return static_cast<uint8_t>(SendCommand(srb));
}

AspiEvent PlatformCreateEvent() {
    const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event != nullptr ? FromHandle(event) : NoAspiEvent;
}

uint32_t PlatformWaitForEvent(AspiEvent event, uint32_t timeoutMs) {
    return WaitForSingleObject(AsHandle(event), timeoutMs);
}

void PlatformCloseEvent(AspiEvent event) {
    if (event != NoAspiEvent) CloseHandle(AsHandle(event));
}
