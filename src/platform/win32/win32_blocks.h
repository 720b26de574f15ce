#pragma once
// The request blocks as the 32-bit Windows calls take them, and the few mappings the Windows
// layer computes. Portable on purpose (no <windows.h>), so that the host's tests check them;
// the Windows build also checks the layouts against the SDK's own structures.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/pass_through_block.h"
#include "platform/platform_device.h"
#include "platform/platform_textfile.h"

namespace Win32Blocks {

// A pointer or handle as 32-bit Windows stores it in a request block.
using Pointer32 = uint32_t;

// ---- ASPI for Win32 request blocks, as the ASPI for Win32 interface publishes them --------
#pragma pack(push, 1)
struct SRB_Header {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
};

struct SRB_HAInquiry {
    uint8_t SRB_Cmd;  // SC_HA_INQUIRY
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t HA_Count;
    uint8_t HA_SCSI_ID;
    uint8_t HA_ManagerId[16];
    uint8_t HA_Identifier[16];
    uint8_t HA_Unique[16];
    uint16_t HA_Rsvd1;
};

struct SRB_ExecSCSICmd {
    uint8_t SRB_Cmd;  // SC_EXEC_SCSI_CMD
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;
    Pointer32 SRB_BufPointer;
    uint8_t SRB_SenseLen;
    uint8_t SRB_CDBLen;
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    Pointer32 SRB_PostProc;  // the event handle with SRB_EVENT_NOTIFY
    Pointer32 SRB_Rsvd2;
    uint8_t SRB_Rsvd3[16];
    uint8_t CDBByte[16];
    uint8_t SenseArea[14 + 2];  // SENSE_LEN + 2
};

struct SRB_Abort {
    uint8_t SRB_Cmd;  // SC_ABORT_SRB
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    Pointer32 SRB_ToAbort;
};
#pragma pack(pop)

static_assert(sizeof(SRB_HAInquiry) == Srb::HaInquirySize, "SRB_HAInquiry is 60 bytes");
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == Srb::HaInquiryIdentifier, "");
static_assert(sizeof(SRB_ExecSCSICmd) == 80, "SRB_ExecSCSICmd is 80 bytes");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Cmd) == Srb::Cmd, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Status) == Srb::Status, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaId) == Srb::HaId, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Flags) == Srb::Flags, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == Srb::Target, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Lun) == Srb::Lun, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == Srb::BufLen, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == Srb::BufPointer, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == Srb::SenseLen, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_CDBLen) == Srb::CDBLen, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaStat) == Srb::HaStat, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_TargStat) == Srb::TargStat, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == Srb::PostProc, "");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == Srb::CDBByte, "");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == Srb::SenseArea, "");
// SRB_SenseLen 18 runs 2 bytes past the declared SenseArea: the program's block has room.
static_assert(Srb::SenseArea + 18 <= Srb::ClearedSize, "");
static_assert(sizeof(SRB_Abort) == 12, "SRB_Abort is 12 bytes");

constexpr int SrbToAbort = offsetof(SRB_Abort, SRB_ToAbort);

// Puts the pointers that travel beside the program's block into it: SRB_BufPointer and
// SRB_PostProc of a command, SRB_ToAbort of an abort. Other requests carry none.
inline void PackSrbPointers(uint8_t* srb, Pointer32 data, Pointer32 event) {
    switch (srb[Srb::Cmd]) {
        case Srb::SC_EXEC_SCSI_CMD:
            PutLe32(srb + Srb::BufPointer, data);
            PutLe32(srb + Srb::PostProc, event);
            break;
        case Srb::SC_ABORT_SRB:
            PutLe32(srb + SrbToAbort, data);
            break;
        default:
            break;
    }
}

// ---- SCSI_PASS_THROUGH_DIRECT ----------------------------------------------------------

// The block as DeviceIoControl takes it: the program's bytes with DataBuffer filled in.
inline void PackPassThroughDirect(const uint8_t block[Sptd::BlockSize], Pointer32 data,
                                  uint8_t wire[Sptd::BlockSize]) {
    std::memcpy(wire, block, Sptd::BlockSize);
    PutLe32(wire + Sptd::DataBuffer, data);
}

// The driver's answer back into the program's block: DataBuffer zero again, as the program
// left it, and a returned sense length never beyond the sense area that was offered.
inline void UnpackPassThroughDirect(const uint8_t wire[Sptd::BlockSize],
                                    uint8_t block[Sptd::BlockSize]) {
    const uint8_t offered = block[Sptd::SenseInfoLength];
    std::memcpy(block, wire, Sptd::BlockSize);
    PutLe32(block + Sptd::DataBuffer, 0);
    if (block[Sptd::SenseInfoLength] > offered) block[Sptd::SenseInfoLength] = offered;
}

// ---- The run's memory blocks --------------------------------------------------------------

// GlobalAlloc flags, with their published values (GMEM_FIXED, GMEM_MOVEABLE, GMEM_ZEROINIT).
constexpr uint32_t GlobalMemFixed = 0x0000;
constexpr uint32_t GlobalMemMoveable = 0x0002;
constexpr uint32_t GlobalMemZeroInit = 0x0040;
// Fixed, zero-filled blocks: the ASPI layer writes into the request block behind the
// program's back, so the memory must never move.
constexpr uint32_t BlockAllocationFlags = GlobalMemFixed | GlobalMemZeroInit;  // GPTR

}  // namespace Win32Blocks
