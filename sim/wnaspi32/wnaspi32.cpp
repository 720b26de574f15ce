// A test-only ASPI for Win32 layer: host adapter 0 with the virtual drive of aspi_drive.h.
// Commands are accepted with SS_PENDING and carried out by a worker thread, which writes
// the data, the sense bytes and, last, SRB_Status, and then signals the SRB's event, as a
// real ASPI layer completes them behind the program's back.
//
// With ODD_ASPI_REPORT set, the drive's state is written to that file (and its flash to
// FILE.normal and FILE.kernel) after the first command and after every re-flash, for the
// test to compare with the package.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "aspi_drive.h"
#include "platform/win32/win32_api.h"
#include "platform/win32/win32_blocks.h"
#include "virtual_drive.h"

using Win32Blocks::SRB_Abort;
using Win32Blocks::SRB_ExecSCSICmd;
using Win32Blocks::SRB_HAInquiry;

namespace {

constexpr uint8_t SS_ABORTED = 0x02;
constexpr uint8_t SS_ERR = 0x04;
constexpr uint8_t SS_INVALID_CMD = 0x80;
constexpr uint8_t SS_INVALID_HA = 0x81;
constexpr uint8_t SS_NO_DEVICE = 0x82;
constexpr uint8_t SS_INVALID_SRB = 0xE0;
constexpr uint8_t HASTAT_SEL_TO = 0x11;
constexpr uint8_t CheckCondition = 0x02;
constexpr int QueueCapacity = 32;

HMODULE Self = nullptr;
CRITICAL_SECTION QueueLock;
HANDLE WorkReady = nullptr;
bool WorkerStarted = false;
uint8_t* Queue[QueueCapacity];
int QueueHead = 0;
int QueueCount = 0;

// Touched only by the worker thread once it runs.
VirtualDrive Drive;
uint32_t ReportedReflashes = 0xFFFFFFFF;

template <typename Block>
Block* As(uint8_t* srb) {
    return reinterpret_cast<Block*>(srb);
}

uint8_t* Pointer(Win32Blocks::Pointer32 value) {
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(value));
}

// The status goes last, after everything it vouches for is in memory.
void Finish(uint8_t* srb, uint8_t status) {
    MemoryBarrier();
    static_cast<volatile uint8_t*>(srb)[Srb::Status] = status;
    MemoryBarrier();
    SRB_ExecSCSICmd* command = As<SRB_ExecSCSICmd>(srb);
    if ((command->SRB_Flags & Srb::SRB_EVENT_NOTIFY) != 0 && command->SRB_PostProc != 0) {
        SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(command->SRB_PostProc)));
    }
}

void WriteFileBytes(const std::string& path, const uint8_t* bytes, size_t length) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return;
    if (length > 0) std::fwrite(bytes, 1, length, out);
    std::fclose(out);
}

void WriteReport() {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("ODD_ASPI_REPORT", path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    const std::string base(path);
    WriteFileBytes(base + ".normal", Drive.NormalFlash.data(),
                   std::min<size_t>(Drive.NormalBytesEnd, Drive.NormalFlash.size()));
    WriteFileBytes(base + ".kernel", Drive.KernelFlash.data(),
                   std::min<size_t>(Drive.KernelBytesEnd, Drive.KernelFlash.size()));
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return;
    std::fprintf(out,
                 "commands %u\nreflashes %u\nmode %s\nrevision %s\ndate %s\n"
                 "kernel-revision %s\nnormal-chunks %u\nkernel-chunks %u\n",
                 Drive.CommandCount, Drive.ReflashCount,
                 Drive.Mode == VirtualDriveMode::Normal ? "normal" : "kernel",
                 Drive.Revision.c_str(), Drive.DateText.c_str(), Drive.KernelRevision.c_str(),
                 Drive.NormalChunks, Drive.KernelChunks);
    std::fclose(out);
}

void Execute(uint8_t* srb) {
    SRB_ExecSCSICmd* command = As<SRB_ExecSCSICmd>(srb);
    const uint8_t direction = command->SRB_Flags & (Srb::SRB_DIR_IN | Srb::SRB_DIR_OUT);
    const uint32_t length = command->SRB_BufLen;
    uint8_t* data = Pointer(command->SRB_BufPointer);
    const int cdbLength = command->SRB_CDBLen;
    if (cdbLength == 0 || cdbLength > 16 || (length > 0 && data == nullptr) ||
        direction == (Srb::SRB_DIR_IN | Srb::SRB_DIR_OUT)) {
        Finish(srb, SS_INVALID_SRB);
        return;
    }

    // No direction bit: the command decides. Data in is staged, so it never meets the
    // data-out bytes of the same buffer.
    std::vector<uint8_t> staged(direction != Srb::SRB_DIR_OUT ? length : 0);
    VirtualDriveData io;
    if (direction != Srb::SRB_DIR_OUT) {
        io.In = staged.data();
        io.InCapacity = length;
    }
    if (direction != Srb::SRB_DIR_IN) {
        io.Out = data;
        io.OutLength = length;
    }
    const VirtualDriveAnswer answer =
        RunVirtualDriveCommand(Drive, command->CDBByte, cdbLength, io, GetTickCount());
    if (answer.DurationMs > 0) Sleep(answer.DurationMs);

    uint8_t status;
    if (answer.CallFails) {
        command->SRB_HaStat = HASTAT_SEL_TO;
        status = SS_ERR;
    } else {
        const uint32_t in = std::min<uint32_t>(answer.DataInLength, length);
        if (in > 0) std::memcpy(data, staged.data(), in);
        command->SRB_TargStat = answer.Status;
        if (answer.Status == CheckCondition) {
            // SRB_SenseLen bytes, as many as the caller made room for.
            const size_t sense = std::min<size_t>(command->SRB_SenseLen, sizeof answer.Sense);
            std::memcpy(srb + Srb::SenseArea, answer.Sense, sense);
        }
        status = answer.Status == 0 ? Srb::SS_COMP : SS_ERR;
    }
    Finish(srb, status);
    if (Drive.ReflashCount != ReportedReflashes) {
        ReportedReflashes = Drive.ReflashCount;
        WriteReport();
    }
}

uint8_t* TakeQueued() {
    EnterCriticalSection(&QueueLock);
    uint8_t* srb = nullptr;
    if (QueueCount > 0) {
        srb = Queue[QueueHead];
        QueueHead = (QueueHead + 1) % QueueCapacity;
        --QueueCount;
    }
    LeaveCriticalSection(&QueueLock);
    return srb;
}

// Runs until the process ends. The reference it holds on this module keeps the code it
// runs loaded even if the program unloads the layer.
DWORD WINAPI Worker(void*) {
    for (;;) {
        WaitForSingleObject(WorkReady, INFINITE);
        while (uint8_t* srb = TakeQueued()) Execute(srb);
    }
}

bool StartWorker() {
    if (WorkerStarted) return true;
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(Self, path, sizeof path);
    if (length == 0 || length >= sizeof path) return false;
    const HMODULE reference = LoadLibraryA(path);
    if (reference == nullptr) return false;
    DWORD id = 0;
    const HANDLE thread = CreateThread(nullptr, 0, Worker, nullptr, 0, &id);
    if (thread == nullptr) {
        FreeLibrary(reference);
        return false;
    }
    CloseHandle(thread);
    WorkerStarted = true;
    return true;
}

uint8_t HostAdapterInquiry(uint8_t* srb) {
    SRB_HAInquiry* inquiry = As<SRB_HAInquiry>(srb);
    if (inquiry->SRB_HaId != 0) {
        inquiry->SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    std::memset(srb + 8, 0, Srb::HaInquirySize - 8);
    inquiry->HA_Count = 1;
    inquiry->HA_SCSI_ID = 7;
    std::memcpy(inquiry->HA_ManagerId, "ASPI for WIN32  ", 16);
    std::memcpy(inquiry->HA_Identifier, AspiAdapterName, 16);
    inquiry->HA_Unique[3] = 8;  // targets on the bus
    inquiry->SRB_Status = Srb::SS_COMP;
    return Srb::SS_COMP;
}

uint8_t Submit(uint8_t* srb) {
    SRB_ExecSCSICmd* command = As<SRB_ExecSCSICmd>(srb);
    if (command->SRB_HaId != 0) {
        command->SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    if (command->SRB_Target != AspiDriveTargetId || command->SRB_Lun != 0) {
        command->SRB_Status = SS_NO_DEVICE;
        return SS_NO_DEVICE;
    }
    command->SRB_HaStat = 0;
    command->SRB_TargStat = 0;
    command->SRB_Status = Srb::SS_PENDING;
    EnterCriticalSection(&QueueLock);
    const bool queued = QueueCount < QueueCapacity && StartWorker();
    if (queued) {
        Queue[(QueueHead + QueueCount) % QueueCapacity] = srb;
        ++QueueCount;
    }
    LeaveCriticalSection(&QueueLock);
    if (!queued) {
        command->SRB_Status = SS_ERR;
        return SS_ERR;
    }
    SetEvent(WorkReady);
    return Srb::SS_PENDING;
}

// A command still waiting in the queue is taken out and completed as aborted; one the
// worker already runs finishes as it will.
uint8_t Abort(uint8_t* srb) {
    uint8_t* target = Pointer(As<SRB_Abort>(srb)->SRB_ToAbort);
    bool found = false;
    EnterCriticalSection(&QueueLock);
    for (int i = 0; i < QueueCount && !found; ++i) {
        const int at = (QueueHead + i) % QueueCapacity;
        if (Queue[at] != target) continue;
        for (int j = i; j + 1 < QueueCount; ++j) {
            Queue[(QueueHead + j) % QueueCapacity] = Queue[(QueueHead + j + 1) % QueueCapacity];
        }
        --QueueCount;
        found = true;
    }
    LeaveCriticalSection(&QueueLock);
    if (found) Finish(target, SS_ABORTED);
    srb[Srb::Status] = Srb::SS_COMP;
    return Srb::SS_COMP;
}

}  // namespace

extern "C" DWORD __cdecl GetASPI32SupportInfo() {
    return (DWORD{Srb::SS_COMP} << 8) | 1;  // one host adapter
}

extern "C" DWORD __cdecl SendASPI32Command(void* request) {
    if (request == nullptr) return SS_INVALID_SRB;
    uint8_t* srb = static_cast<uint8_t*>(request);
    switch (srb[Srb::Cmd]) {
        case Srb::SC_HA_INQUIRY:
            return HostAdapterInquiry(srb);
        case Srb::SC_EXEC_SCSI_CMD:
            return Submit(srb);
        case Srb::SC_ABORT_SRB:
            return Abort(srb);
        default:
            srb[Srb::Status] = SS_INVALID_CMD;
            return SS_INVALID_CMD;
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        Self = instance;
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&QueueLock);
        WorkReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (WorkReady == nullptr) return FALSE;
        SetUpAspiDrive(Drive);
    }
    return TRUE;
}
