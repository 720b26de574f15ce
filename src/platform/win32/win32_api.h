#pragma once
// The Windows headers for the files of this folder, and then the platform seam.
//
// The seam names a few Windows constants itself (ERROR_SUCCESS, WAIT_TIMEOUT,
// HKEY_LOCAL_MACHINE, ...) with the same values, so that every platform speaks the same
// codes. <windows.h> makes them macros; they are dropped here, after the Windows headers are
// complete, so that the seam's typed constants stand in for them in these files.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After <windows.h>: these need its types.
#include <mmsystem.h>
#include <ntddscsi.h>
#include <winioctl.h>

#undef ERROR_SUCCESS
#undef ERROR_INVALID_FUNCTION
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_BAD_LENGTH
#undef ERROR_ACCESS_DENIED
#undef ERROR_GEN_FAILURE
#undef ERROR_NOT_SUPPORTED
#undef ERROR_INVALID_PARAMETER
#undef ERROR_SEM_TIMEOUT
#undef ERROR_IO_DEVICE
#undef ERROR_BUSY
#undef ERROR_MORE_DATA
#undef ERROR_NO_MORE_ITEMS
#undef WAIT_OBJECT_0
#undef WAIT_TIMEOUT
#undef INVALID_FILE_SIZE
#undef VER_PLATFORM_WIN32s
#undef VER_PLATFORM_WIN32_WINDOWS
#undef VER_PLATFORM_WIN32_NT
#undef HKEY_LOCAL_MACHINE
#undef HKEY_DYN_DATA
#undef KEY_READ
#undef KEY_ALL_ACCESS
#undef ES_SYSTEM_REQUIRED
#undef ES_CONTINUOUS

#include "platform/platform_clock.h"
#include "platform/platform_console.h"
#include "platform/platform_device.h"
#include "platform/platform_file.h"
#include "platform/platform_host.h"
#include "platform/platform_memory.h"
#include "platform/platform_power.h"
#include "platform/platform_textfile.h"

static_assert(sizeof(void*) == 4, "the request blocks are those of 32-bit Windows");

// Not in every SDK's headers: CTL_CODE(IOCTL_STORAGE_BASE, 0x0251, METHOD_BUFFERED,
// FILE_ANY_ACCESS).
constexpr DWORD IoctlStorageMcnControl = 0x2D0944;

// Handles as the seam carries them.
inline HANDLE AsHandle(intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}
inline intptr_t FromHandle(HANDLE handle) {
    return reinterpret_cast<intptr_t>(handle);
}
