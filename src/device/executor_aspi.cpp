// ASPI for Win32: SRB_ExecSCSICmd in the request block that the host probe allocated,
// completed through an event or by polling SRB_Status every 500 ms.
#include <cstring>

#include "base/run_state.h"
#include "device/command_executor.h"
#include "device/transport.h"
#include "platform/platform_clock.h"
#include "platform/platform_device.h"

namespace {

static_assert(Srb::CDBByte + CdbCapacity <= Srb::SenseArea, "the CDB precedes the sense area");
// The published structure declares 16 sense bytes; SRB_SenseLen 18 needs the 2 more that
// the cleared size leaves room for.
static_assert(Srb::SenseArea + SenseLength <= Srb::ClearedSize, "room for 18 sense bytes");

// The request block is carved into SRB slots and one abort block. A slot whose command
// could not be abandoned cleanly is retired, since the ASPI layer may still write into it.
constexpr int SrbSlotSize = 128;
constexpr int SrbSlotCount = 16;
constexpr int AbortBlockOffset = SrbSlotSize * SrbSlotCount;
constexpr int AbortBlockSize = 16;  // SRB_Abort: Cmd, Status, HaId, Flags, reserved, ToAbort
static_assert(Srb::ClearedSize <= SrbSlotSize, "an SRB fits its slot");

constexpr uint32_t PollStepMs = 500;
constexpr int AbortWaitSteps = 10;
constexpr uint32_t AbortWaitStepMs = 100;
// The layer signals a request's event just after it writes the status.
constexpr uint32_t SignalGraceMs = 500;

constexpr uint8_t OpTestUnitReady = 0x00;
constexpr uint8_t OpWriteBuffer = 0x3B;
constexpr int32_t EditionClassScsiGeneral = 0x300;
constexpr int32_t KindWithPolledCommit = 0x1003;
constexpr uint8_t SenseKeyNotReady = 2;

uint8_t* CurrentSrb() {
    if (State.AspiRequestBlock == nullptr || State.AspiSrbSlot < 0 ||
        State.AspiSrbSlot >= SrbSlotCount) {
        return nullptr;
    }
    return State.AspiRequestBlock + State.AspiSrbSlot * SrbSlotSize;
}

// The ASPI layer writes the status behind the program's back: read it from memory each time.
uint8_t SrbStatus(const uint8_t* srb) {
    return static_cast<const volatile uint8_t*>(srb)[Srb::Status];
}

uint8_t DirectionFlags(int32_t direction) {
    switch (direction) {
        case DataIn:
            return Srb::SRB_DIR_IN;
        case DataOut:
            return Srb::SRB_DIR_OUT;
        default:
            return 0;
    }
}

void BuildSrb(uint8_t* srb, int hostAdapter, int targetId, const uint8_t* cdb, int cdbLength,
              uint32_t length, uint8_t senseLength) {
    std::memset(srb, 0, Srb::ClearedSize);
    srb[Srb::Cmd] = Srb::SC_EXEC_SCSI_CMD;
    srb[Srb::HaId] = static_cast<uint8_t>(hostAdapter);
    srb[Srb::Target] = static_cast<uint8_t>(targetId);
    srb[Srb::Lun] = 0;
    PutLe32(srb + Srb::BufLen, length);
    srb[Srb::SenseLen] = senseLength;
    srb[Srb::CDBLen] = static_cast<uint8_t>(cdbLength);
    std::memcpy(srb + Srb::CDBByte, cdb, static_cast<size_t>(cdbLength));
}

// A command given up on a time-out is aborted and, briefly, awaited; if it still runs, its
// slot is retired so that the next command is prepared in storage the layer does not own.
void AbandonSrb(uint8_t* srb) {
    if (SrbStatus(srb) == Srb::SS_PENDING) {
        uint8_t* abort = State.AspiRequestBlock + AbortBlockOffset;
        std::memset(abort, 0, AbortBlockSize);
        abort[Srb::Cmd] = Srb::SC_ABORT_SRB;
        abort[Srb::HaId] = srb[Srb::HaId];
        PlatformSendAspi32Command(abort, srb, NoAspiEvent);
        for (int step = 0; step < AbortWaitSteps && SrbStatus(srb) == Srb::SS_PENDING; ++step) {
            PlatformSleep(AbortWaitStepMs);
        }
    }
    if (SrbStatus(srb) == Srb::SS_PENDING) ++State.AspiSrbSlot;
}

bool UsesPolling(const CommandRequest& request, const TargetEntry& target) {
    if (request.Cdb[0] != OpWriteBuffer) return false;
    if (target.HostAdapter == State.Ieee1394Marker) return true;
    return State.CurrentKind == KindWithPolledCommit && request.Cdb[1] == 5;
}

// The result of a request that has ended, whether it was awaited or polled.
int Outcome(const uint8_t* srb) {
    if (SrbStatus(srb) == Srb::SS_COMP) return CommandSucceeded;
    std::memcpy(State.SenseBuffer, srb + Srb::SenseArea, SenseLength);
    CaptureSense();
    // The Intel ATA driver reports NOT READY for commands the drive did carry out.
    if (State.IntelAtaDriver == 1 && srb[Srb::CDBByte] != OpTestUnitReady &&
        ((State.SenseCode >> 16) & 0xFF) == SenseKeyNotReady) {
        return CommandSucceeded;
    }
    return CommandFailed;
}

// Closes the event of a request that was given up, once the layer is done with it. A handle
// closed too early may be handed to the next command's event, which the late signal would
// then end before that command is done; so an event whose request still runs (its slot
// retired), or ended without a signal yet, is left open on purpose.
void CloseAbandonedEvent(AspiEvent event, const uint8_t* srb) {
    const uint8_t status = SrbStatus(srb);
    if (status == Srb::SS_PENDING) return;
    if (status == Srb::SS_ABORTED || PlatformWaitForEvent(event, SignalGraceMs) == WAIT_OBJECT_0) {
        PlatformCloseEvent(event);
    }
}

int ExecutePolled(const CommandRequest& request, uint8_t* srb) {
    srb[Srb::Flags] = DirectionFlags(request.Direction);
    PlatformSendAspi32Command(srb, request.Buffer, NoAspiEvent);
    const uint32_t limit = static_cast<uint32_t>(request.Timeout);
    uint32_t elapsed = 0;
    for (;;) {
        PlatformSleep(PollStepMs);
        if (limit != 0) {
            elapsed += PollStepMs;
            if (elapsed > limit) {
                AbandonSrb(srb);
                return CommandFailed;
            }
        }
        if (SrbStatus(srb) != Srb::SS_PENDING) break;
    }
    return Outcome(srb);
}

int ExecuteWithEvent(const CommandRequest& request, uint8_t* srb) {
    const AspiEvent event = PlatformCreateEvent();
    if (event == NoAspiEvent) return CommandFailed;
    srb[Srb::Flags] = Srb::SRB_EVENT_NOTIFY | DirectionFlags(request.Direction);
    // An immediate answer other than SS_PENDING means the layer signals no event.
    if (PlatformSendAspi32Command(srb, request.Buffer, event) == Srb::SS_PENDING) {
        if (State.TimedTransferActive) {
            State.PendingAspiEvent = event;
            return CommandSucceeded;
        }
        const uint32_t limit = static_cast<uint32_t>(request.Timeout);
        const uint32_t wait =
            limit == 0 || State.EditionClass == EditionClassScsiGeneral ? INFINITE_WAIT : limit;
        const uint32_t waited = PlatformWaitForEvent(event, wait);
        if (waited != WAIT_OBJECT_0 || SrbStatus(srb) == Srb::SS_PENDING) {
            // Abort first: the event is closed only once the request has ended.
            AbandonSrb(srb);
            CloseAbandonedEvent(event, srb);
            return waited == WAIT_OBJECT_0 ? CommandFailed : CommandNotDelivered;
        }
    }
    const int result = Outcome(srb);
    PlatformCloseEvent(event);
    return result;
}

}  // namespace

int ExecuteAspiCommand(const CommandRequest& request) {
    uint8_t* srb = CurrentSrb();
    if (srb == nullptr) return CommandFailed;
    const TargetEntry& target = State.TargetList[request.Target];
    BuildSrb(srb, target.HostAdapter, target.TargetId, request.Cdb,
             ClampCdbLength(request.CdbLength), static_cast<uint32_t>(request.TransferLength),
             SenseLength);
    return UsesPolling(request, target) ? ExecutePolled(request, srb)
                                        : ExecuteWithEvent(request, srb);
}

int AspiProbe(int hostAdapter, int targetId, const uint8_t* cdb, int cdbLength, uint8_t* buffer,
              uint32_t length) {
    uint8_t* srb = CurrentSrb();
    if (srb == nullptr) return CommandFailed;
    BuildSrb(srb, hostAdapter, targetId, cdb, ClampCdbLength(cdbLength), length, 0);
    srb[Srb::Flags] = Srb::SRB_EVENT_NOTIFY | Srb::SRB_DIR_IN;
    const AspiEvent event = PlatformCreateEvent();
    if (event == NoAspiEvent) return CommandFailed;
    if (PlatformSendAspi32Command(srb, buffer, event) == Srb::SS_PENDING &&
        PlatformWaitForEvent(event, INFINITE_WAIT) != WAIT_OBJECT_0) {
        AbandonSrb(srb);
        CloseAbandonedEvent(event, srb);
        return CommandFailed;
    }
    PlatformCloseEvent(event);
    return SrbStatus(srb) == Srb::SS_COMP ? CommandSucceeded : CommandFailed;
}

bool AspiLayerMayStillWrite() {
    if (State.AspiRequestBlock == nullptr) return false;
    if (State.AspiSrbSlot != 0) return true;  // a retired slot's request may end at any time
    const uint8_t* srb = CurrentSrb();
    return srb[Srb::Cmd] == Srb::SC_EXEC_SCSI_CMD && SrbStatus(srb) == Srb::SS_PENDING;
}

int PollPendingAspiCommand() {
    const uint8_t* srb = CurrentSrb();
    if (srb == nullptr) return CommandFailed;
    const AspiEvent event = State.PendingAspiEvent;
    if (event != NoAspiEvent) {
        uint32_t waited = PlatformWaitForEvent(event, 0);
        if (waited != WAIT_OBJECT_0) {
            if (SrbStatus(srb) == Srb::SS_PENDING) return 1;
            // The status is in and the signal follows: the event is closed only once signalled.
            waited = PlatformWaitForEvent(event, SignalGraceMs);
        }
        if (waited == WAIT_OBJECT_0) PlatformCloseEvent(event);
        State.PendingAspiEvent = NoAspiEvent;
    } else if (SrbStatus(srb) == Srb::SS_PENDING) {
        return 1;
    }
    // The same rules as an awaited command, the Intel driver's NOT READY included.
    return Outcome(srb);
}
