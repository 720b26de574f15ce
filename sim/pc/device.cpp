#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "pc/sim_pc.h"
#include "platform/pass_through_block.h"
#include "platform/platform_device.h"

// Drive I/O of the simulated PC: the virtual drives at drive letters (SPTI) and on ASPI host
// adapters. SPTI calls run to the end at once, the clock moving by the drive's time; ASPI
// commands are answered by the drive at submission and completed in virtual time: the status,
// sense and data-in bytes reach the caller's storage only when the clock has moved past the
// command's completion (see SimCompletePendingCommands).

namespace {

constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;

constexpr uint8_t SS_ABORTED = 0x02;
constexpr uint8_t SS_ERR = 0x04;
constexpr uint8_t SS_INVALID_CMD = 0x80;
constexpr uint8_t SS_INVALID_HA = 0x81;
constexpr uint8_t SS_NO_DEVICE = 0x82;
constexpr uint8_t SS_INVALID_SRB = 0xE0;
constexpr uint8_t HASTAT_SEL_TO = 0x11;  // the host adapter lost the target
constexpr uint8_t CheckCondition = 0x02;

VirtualDrive* DriveAtLetter(char letter) {
    for (VirtualDrive& drive : Sim.Drives) {
        if (drive.Place.Letter != 0 && drive.Place.Letter == letter) return &drive;
    }
    return nullptr;
}

VirtualDrive* DriveOnAdapter(int adapter, int targetId) {
    for (VirtualDrive& drive : Sim.Drives) {
        if (drive.Place.Adapter == adapter && drive.Place.TargetId == targetId) return &drive;
    }
    return nullptr;
}

SimDeviceHandle* HandleOf(DeviceHandle handle) {
    const intptr_t index = handle - SimDeviceHandleBase;
    if (index < 0 || index >= static_cast<intptr_t>(Sim.DeviceHandles.size())) return nullptr;
    SimDeviceHandle& entry = Sim.DeviceHandles[static_cast<size_t>(index)];
    return entry.Open ? &entry : nullptr;
}

SimEvent* EventOf(AspiEvent event) {
    if (event < 1 || event > static_cast<AspiEvent>(Sim.Events.size())) return nullptr;
    SimEvent& entry = Sim.Events[static_cast<size_t>(event - 1)];
    return entry.Open ? &entry : nullptr;
}

void Signal(intptr_t event) {
    if (SimEvent* entry = EventOf(event)) entry->Signalled = true;
}

bool IsDue(uint32_t atMs) {
    return static_cast<int32_t>(atMs - Sim.ClockMs) <= 0;
}

// When the layer will signal the request's event.
uint32_t SignalTime(const SimPendingAspi& pending) {
    return pending.StatusWritten ? pending.SignalAtMs
                                 : pending.CompleteAtMs + Sim.AspiSignalDelayMs;
}

// When the layer next acts on the request: writes its status, or signals its event.
uint32_t NextActionTime(const SimPendingAspi& pending) {
    return pending.StatusWritten ? pending.SignalAtMs : pending.CompleteAtMs;
}

void Complete(SimPendingAspi& pending) {
    if (pending.StatusWritten) {
        pending.Done = true;
        Signal(pending.Event);
        return;
    }
    if (pending.Data != nullptr && !pending.DataIn.empty()) {
        std::memcpy(pending.Data, pending.DataIn.data(),
                    std::min<size_t>(pending.DataIn.size(), pending.BufLen));
    }
    pending.Srb[Srb::HaStat] = pending.HaStat;
    pending.Srb[Srb::TargStat] = pending.TargStat;
    if (pending.TargStat == CheckCondition) {
        std::memcpy(pending.Srb + Srb::SenseArea, pending.Sense,
                    std::min<size_t>(pending.SenseLen, sizeof pending.Sense));
    }
    // The status goes last: once it leaves SS_PENDING everything else is in place.
    pending.Srb[Srb::Status] = pending.SrbStatus;
    if (pending.Event == NoAspiEvent || Sim.AspiSignalDelayMs == 0) {
        pending.Done = true;
        Signal(pending.Event);
        return;
    }
    pending.StatusWritten = true;
    pending.SignalAtMs = pending.CompleteAtMs + Sim.AspiSignalDelayMs;
}

bool IsIntelAtaAdapter(int adapter) {
    return Sim.Adapters[static_cast<size_t>(adapter)].Name.compare(0, 8, "intelata") == 0;
}

uint8_t HostAdapterInquiry(uint8_t* srb) {
    const size_t adapter = srb[Srb::HaId];
    if (adapter >= Sim.Adapters.size()) {
        srb[Srb::Status] = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    std::memset(srb + 8, 0, Srb::HaInquirySize - 8);
    srb[8] = static_cast<uint8_t>(std::min<size_t>(Sim.Adapters.size(), 255));  // HA_Count
    srb[9] = 7;                                                                 // HA_SCSI_ID
    const char manager[] = "ASPI for WIN32  ";
    std::memcpy(srb + 10, manager, 16);  // HA_ManagerId
    const std::string& name = Sim.Adapters[adapter].Name;
    for (size_t i = 0; i < 16; ++i) {
        srb[Srb::HaInquiryIdentifier + i] = i < name.size() ? static_cast<uint8_t>(name[i]) : ' ';
    }
    srb[42 + 3] = 8;  // HA_Unique: targets per bus
    srb[Srb::Status] = Srb::SS_COMP;
    return Srb::SS_COMP;
}

uint8_t ExecuteScsiCommand(uint8_t* srb, uint8_t* data, AspiEvent event) {
    SimCommandArrives();
    const int adapter = srb[Srb::HaId];
    const int targetId = srb[Srb::Target];
    if (adapter >= static_cast<int>(Sim.Adapters.size())) {
        srb[Srb::Status] = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    VirtualDrive* drive = DriveOnAdapter(adapter, targetId);
    if (drive == nullptr || srb[Srb::Lun] != 0) {
        srb[Srb::Status] = SS_NO_DEVICE;
        return SS_NO_DEVICE;
    }
    const uint8_t flags = srb[Srb::Flags];
    const uint8_t direction = flags & (Srb::SRB_DIR_IN | Srb::SRB_DIR_OUT);
    const uint32_t bufLen = GetLe32(srb + Srb::BufLen);
    const int cdbLength = srb[Srb::CDBLen];
    if (cdbLength == 0 || cdbLength > 16 || (bufLen > 0 && data == nullptr) ||
        direction == (Srb::SRB_DIR_IN | Srb::SRB_DIR_OUT)) {
        srb[Srb::Status] = SS_INVALID_SRB;
        return SS_INVALID_SRB;
    }

    SimCommandRecord record = {};
    record.Letter = 0;
    record.Adapter = adapter;
    record.TargetId = targetId;
    std::memcpy(record.Cdb, srb + Srb::CDBByte, cdbLength);
    record.CdbLength = cdbLength;
    record.Direction = direction == Srb::SRB_DIR_IN ? 1 : direction == Srb::SRB_DIR_OUT ? 2 : 0;
    record.Length = bufLen;
    record.TimeoutMs = 0;
    record.AtMs = Sim.ClockMs;

    // No direction bit: the command decides, as the ASPI layer allows.
    const bool in = direction != Srb::SRB_DIR_OUT;
    const bool out = direction != Srb::SRB_DIR_IN;
    std::vector<uint8_t> staged(in ? bufLen : 0);
    VirtualDriveData io;
    if (in) {
        io.In = staged.data();
        io.InCapacity = bufLen;
    }
    if (out) {
        io.Out = data;
        io.OutLength = bufLen;
    }
    const VirtualDriveAnswer answer =
        RunVirtualDriveCommand(*drive, srb + Srb::CDBByte, cdbLength, io, Sim.ClockMs);

    SimPendingAspi pending = {};
    pending.Srb = srb;
    pending.Data = data;
    pending.BufLen = bufLen;
    pending.SenseLen = srb[Srb::SenseLen];
    pending.Event = (flags & Srb::SRB_EVENT_NOTIFY) != 0 ? event : NoAspiEvent;
    pending.CompleteAtMs = Sim.ClockMs + answer.DurationMs;
    if (answer.CallFails) {
        pending.SrbStatus = SS_ERR;
        pending.HaStat = HASTAT_SEL_TO;
        record.Status = SimCallFailed;
    } else if (answer.Status == 0 && IsIntelAtaAdapter(adapter) && drive->Rebooting &&
               static_cast<int32_t>(drive->RebootUntilMs - pending.CompleteAtMs) > 0) {
        // The Intel ATA driver finds the drive busy as the command ends: NOT READY, BECOMING
        // READY, although the drive carried the command out. The trace keeps the drive's GOOD.
        pending.SrbStatus = SS_ERR;
        pending.TargStat = CheckCondition;
        const uint8_t notReady[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x01};
        std::memcpy(pending.Sense, notReady, sizeof pending.Sense);
        staged.resize(answer.DataInLength);
        pending.DataIn = std::move(staged);
        record.Status = answer.Status;
    } else {
        pending.SrbStatus = answer.Status == 0 ? Srb::SS_COMP : SS_ERR;
        pending.TargStat = answer.Status;
        std::memcpy(pending.Sense, answer.Sense, sizeof pending.Sense);
        staged.resize(answer.DataInLength);
        pending.DataIn = std::move(staged);
        record.Status = answer.Status;
        if (answer.Status != 0) std::memcpy(record.Sense, answer.Sense, sizeof record.Sense);
    }
    srb[Srb::Status] = Srb::SS_PENDING;
    srb[Srb::HaStat] = 0;
    srb[Srb::TargStat] = 0;
    Sim.Trace.push_back(record);
    Sim.PendingAspi.push_back(std::move(pending));
    return Srb::SS_PENDING;
}

uint8_t AbortCommand(uint8_t* srb, uint8_t* toAbort) {
    for (SimPendingAspi& pending : Sim.PendingAspi) {
        // A request whose status is written has completed: there is nothing left to abort.
        if (pending.Done || pending.StatusWritten || pending.Srb != toAbort ||
            Sim.AspiIgnoresAbort) {
            continue;
        }
        pending.Done = true;
        toAbort[Srb::Status] = SS_ABORTED;
        Signal(pending.Event);
    }
    srb[Srb::Status] = Srb::SS_COMP;
    return Srb::SS_COMP;
}

}  // namespace

// ---- the simulated PC's drives ------------------------------------------------------------

VirtualDrive& SimAttachDrive(char letter) {
    VirtualDrive& drive = Sim.Drives.emplace_back();
    drive.Place.Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    return drive;
}

int SimAddAdapter(const std::string& name) {
    Sim.Adapters.push_back({name});
    return static_cast<int>(Sim.Adapters.size()) - 1;
}

VirtualDrive& SimAttachAspiDrive(int adapter, int targetId) {
    while (static_cast<int>(Sim.Adapters.size()) <= adapter) SimAddAdapter("SCSI ADAPTER    ");
    VirtualDrive& drive = Sim.Drives.emplace_back();
    drive.Place.Adapter = adapter;
    drive.Place.TargetId = targetId;
    return drive;
}

void SimCompletePendingCommands() {
    for (;;) {
        SimPendingAspi* next = nullptr;
        for (SimPendingAspi& pending : Sim.PendingAspi) {
            if (pending.Done || !IsDue(NextActionTime(pending))) continue;
            if (next == nullptr ||
                static_cast<int32_t>(NextActionTime(pending) - NextActionTime(*next)) < 0) {
                next = &pending;
            }
        }
        if (next == nullptr) break;
        Complete(*next);
    }
    Sim.PendingAspi.erase(std::remove_if(Sim.PendingAspi.begin(), Sim.PendingAspi.end(),
                                         [](const SimPendingAspi& p) { return p.Done; }),
                          Sim.PendingAspi.end());
}

// ---- SPTI -------------------------------------------------------------------------------

DeviceHandle PlatformOpenDevice(char letter, uint32_t access, uint32_t* error) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    const VirtualDrive* drive = DriveAtLetter(upper);
    uint32_t result = ERROR_SUCCESS;
    if (drive == nullptr) {
        result = ERROR_FILE_NOT_FOUND;
    } else if (access != 0 && drive->Place.OpenError != 0) {
        result = drive->Place.OpenError;  // a query-only open needs no privilege
    }
    if (error != nullptr) *error = result;
    if (result != ERROR_SUCCESS) return InvalidDeviceHandle;
    Sim.DeviceHandles.push_back({upper, access, true});
    ++Sim.DevicesOpen;
    return SimDeviceHandleBase + static_cast<DeviceHandle>(Sim.DeviceHandles.size()) - 1;
}

uint32_t PlatformClaimDevice(char letter, int32_t* holder) {
    *holder = 0;
    const VirtualDrive* drive = DriveAtLetter(letter);
    if (drive == nullptr) return ERROR_FILE_NOT_FOUND;
    if (drive->Place.HeldByOther != 0) {
        *holder = drive->Place.HeldByOther > 0 ? drive->Place.HeldByOther : 0;
        return ERROR_BUSY;
    }
    if (Sim.ClaimedLetters.find(letter) == std::string::npos) Sim.ClaimedLetters += letter;
    return ERROR_SUCCESS;
}

void PlatformReleaseDevice(char letter) {
    const size_t at = Sim.ClaimedLetters.find(letter);
    if (at != std::string::npos) Sim.ClaimedLetters.erase(at, 1);
}

void PlatformReportDeviceBusy(char letter, int32_t) {
    Sim.BusyReports += letter;
}

uint32_t PlatformCheckWriteRoute(char letter, uint32_t transferBytes, uint32_t* limitKb) {
    *limitKb = 0;
    const VirtualDrive* drive = DriveAtLetter(letter);
    if (drive == nullptr) return ERROR_FILE_NOT_FOUND;
    if (drive->Place.WriteDenied) return ERROR_ACCESS_DENIED;
    const uint32_t limit = drive->Place.MaxTransferKb;
    if (limit != 0 && uint64_t{limit} * 1024 < transferBytes) {
        *limitKb = limit;
        return ERROR_BAD_LENGTH;
    }
    return ERROR_SUCCESS;
}

void PlatformReportNotTarget(char letter) {
    Sim.NotTargetReports += letter;
}

// The simulated PC's nodes: /dev/srN for the letter D + N.
// The simulated PC has no SCSI generic nodes.
bool PlatformGenericNodeName(char, char*, size_t) {
    return false;
}

bool PlatformLetterOfDevicePath(const char* path, char* letter) {
    int number = -1;
    char end = 0;
    if (std::sscanf(path, "/dev/sr%d%c", &number, &end) != 1 || number < 0 || number > 22) {
        return false;
    }
    *letter = static_cast<char>('D' + number);
    return true;
}

// Named as the Linux layer names its nodes, so the simulated PC's lists read the same.
bool PlatformDeviceName(char letter, char* name, size_t size) {
    if (letter < 'D' || letter > 'Z') return false;
    const int written = std::snprintf(name, size, "/dev/sr%d", letter - 'D');
    return written > 0 && static_cast<size_t>(written) < size;
}

void PlatformCloseDevice(DeviceHandle handle) {
    if (SimDeviceHandle* entry = HandleOf(handle)) {
        entry->Open = false;
        --Sim.DevicesOpen;
    }
}

uint32_t PlatformGetCapabilities(DeviceHandle handle) {
    const SimDeviceHandle* entry = HandleOf(handle);
    if (entry == nullptr) return ERROR_INVALID_HANDLE;
    return DriveAtLetter(entry->Letter)->Place.CapabilitiesError;
}

uint32_t PlatformGetScsiAddress(DeviceHandle handle, uint8_t address[8]) {
    const SimDeviceHandle* entry = HandleOf(handle);
    if (entry == nullptr) return ERROR_INVALID_HANDLE;
    const VirtualDrivePlace& place = DriveAtLetter(entry->Letter)->Place;
    if (place.OnIeee1394) return ERROR_NOT_SUPPORTED;
    PutLe32(address, 8);  // Length
    address[4] = place.PortNumber;
    address[5] = place.PathId;
    address[6] = place.ScsiTargetId;
    address[7] = place.Lun;
    return ERROR_SUCCESS;
}

uint32_t PlatformPassThroughDirect(DeviceHandle handle, uint8_t block[Sptd::BlockSize],
                                   uint8_t* data) {
    const SimDeviceHandle* entry = HandleOf(handle);
    if (entry == nullptr) return ERROR_INVALID_HANDLE;
    VirtualDrive& drive = *DriveAtLetter(entry->Letter);
    SimCommandArrives();

    const int cdbLength = block[Sptd::CdbLength];
    const uint8_t dataIn = block[Sptd::DataIn];
    const uint32_t length = GetLe32(block + Sptd::DataTransferLength);
    const uint32_t timeoutSeconds = GetLe32(block + Sptd::TimeOutValue);
    const uint8_t senseLength = block[Sptd::SenseInfoLength];
    const uint32_t senseOffset = GetLe32(block + Sptd::SenseInfoOffset);

    SimCommandRecord record = {};
    record.Letter = entry->Letter;
    record.Adapter = -1;
    record.TargetId = -1;
    std::memcpy(record.Cdb, block + Sptd::Cdb, std::min(cdbLength, 16));
    record.CdbLength = cdbLength;
    record.Direction = dataIn == Sptd::DATA_IN ? 1 : dataIn == Sptd::DATA_OUT ? 2 : 0;
    record.Length = length;
    record.TimeoutMs = timeoutSeconds * 1000;
    record.AtMs = Sim.ClockMs;

    const auto callFails = [&](uint32_t error) {
        ClearPassThroughAnswer(block);
        record.Status = SimCallFailed;
        Sim.Trace.push_back(record);
        return error;
    };
    if (entry->Access == 0) return callFails(ERROR_ACCESS_DENIED);
    const uint32_t refused = CheckPassThroughBlock(block, data);
    if (refused != ERROR_SUCCESS) return callFails(refused);

    std::vector<uint8_t> staged(dataIn == Sptd::DATA_IN ? length : 0);
    VirtualDriveData io;
    if (dataIn == Sptd::DATA_IN) {
        io.In = staged.data();
        io.InCapacity = length;
    } else if (dataIn == Sptd::DATA_OUT) {
        io.Out = data;
        io.OutLength = length;
    }
    const VirtualDriveAnswer answer =
        RunVirtualDriveCommand(drive, block + Sptd::Cdb, cdbLength, io, Sim.ClockMs);

    // The port driver gives up at the time-out, whatever the drive does afterwards.
    const uint64_t limitMs = uint64_t{timeoutSeconds} * 1000;
    if (timeoutSeconds != 0 && answer.DurationMs > limitMs) {
        SimAdvanceClock(static_cast<uint32_t>(limitMs));
        return callFails(ERROR_SEM_TIMEOUT);
    }
    SimAdvanceClock(answer.DurationMs);
    if (answer.CallFails) return callFails(answer.CallError);

    block[Sptd::ScsiStatus] = answer.Status;
    if (answer.Status != 0) {
        const uint8_t count = std::min<uint8_t>(senseLength, sizeof answer.Sense);
        std::memcpy(block + senseOffset, answer.Sense, count);
        block[Sptd::SenseInfoLength] = count;
        std::memcpy(record.Sense, answer.Sense, sizeof record.Sense);
    } else {
        block[Sptd::SenseInfoLength] = 0;
    }
    if (dataIn == Sptd::DATA_IN) {
        if (answer.DataInLength > 0) std::memcpy(data, staged.data(), answer.DataInLength);
        PutLe32(block + Sptd::DataTransferLength, answer.DataInLength);
    }
    record.Status = answer.Status;
    Sim.Trace.push_back(record);
    return ERROR_SUCCESS;
}

int PlatformMediaNotificationControl(DeviceHandle handle, uint8_t value) {
    if (HandleOf(handle) == nullptr) return 0;
    Sim.MediaNotificationValues.push_back(value);
    return 1;
}

// ---- ASPI -------------------------------------------------------------------------------

bool PlatformLoadAspiLibrary() {
    return Sim.AspiLoadable;
}

uint32_t PlatformGetAspi32SupportInfo() {
    const uint32_t count = static_cast<uint32_t>(std::min<size_t>(Sim.Adapters.size(), 255));
    return (uint32_t{Sim.AspiSupportStatus} << 8) | count;
}

uint8_t PlatformSendAspi32Command(uint8_t* srb, uint8_t* data, AspiEvent event) {
    switch (srb[Srb::Cmd]) {
        case Srb::SC_HA_INQUIRY:
            return HostAdapterInquiry(srb);
        case Srb::SC_EXEC_SCSI_CMD:
            return ExecuteScsiCommand(srb, data, event);
        case Srb::SC_ABORT_SRB:
            return AbortCommand(srb, data);
        default:
            srb[Srb::Status] = SS_INVALID_CMD;
            return SS_INVALID_CMD;
    }
}

AspiEvent PlatformCreateEvent() {
    ++Sim.EventsCreated;
    for (size_t i = 0; i < Sim.Events.size(); ++i) {
        if (Sim.Events[i].Open) continue;
        Sim.Events[i] = {true, false};  // the handle value of a closed event, used again
        return static_cast<AspiEvent>(i + 1);
    }
    Sim.Events.push_back({true, false});
    return static_cast<AspiEvent>(Sim.Events.size());
}

// Waiting moves the clock: to the completion of the command that will signal the event, or
// by the whole time-out. A wait without limit that nothing would end returns WAIT_TIMEOUT at
// once and counts in Sim.HungWaits, so that a faulty caller fails its test instead of hanging.
uint32_t PlatformWaitForEvent(AspiEvent event, uint32_t timeoutMs) {
    if (EventOf(event) == nullptr) return WAIT_FAILED;
    SimCompletePendingCommands();
    if (!EventOf(event)->Signalled) {
        const SimPendingAspi* next = nullptr;
        for (const SimPendingAspi& pending : Sim.PendingAspi) {
            if (pending.Done || pending.Event != event) continue;
            if (next == nullptr ||
                static_cast<int32_t>(SignalTime(pending) - SignalTime(*next)) < 0) {
                next = &pending;
            }
        }
        const int32_t ahead =
            next == nullptr
                ? 0
                : std::max<int32_t>(0, static_cast<int32_t>(SignalTime(*next) - Sim.ClockMs));
        if (next != nullptr &&
            (timeoutMs == INFINITE_WAIT || static_cast<uint32_t>(ahead) <= timeoutMs)) {
            SimAdvanceClock(static_cast<uint32_t>(ahead));
        } else if (timeoutMs == INFINITE_WAIT) {
            ++Sim.HungWaits;
            return WAIT_TIMEOUT;
        } else {
            SimAdvanceClock(timeoutMs);
        }
    }
    SimEvent* entry = EventOf(event);
    if (entry == nullptr || !entry->Signalled) return WAIT_TIMEOUT;
    entry->Signalled = false;  // auto-reset
    return WAIT_OBJECT_0;
}

void PlatformCloseEvent(AspiEvent event) {
    if (SimEvent* entry = EventOf(event)) entry->Open = false;
}
