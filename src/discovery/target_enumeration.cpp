#include "discovery/target_enumeration.h"

#include <cstdio>
#include <cstring>

#include "base/drive_record.h"
#include "base/run_state.h"
#include "console/message.h"
#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "discovery/drive_listing.h"
#include "platform/platform_console.h"
#include "platform/platform_device.h"

namespace {

// INQUIRY data.
constexpr int DeviceTypeByte = 0;
constexpr int VendorOffset = 8;
constexpr int ProductOffset = 16;
constexpr uint8_t WriteOnceDevice = 4;
constexpr uint8_t CdDvdDevice = 5;

// The vendor page.
constexpr int InterfaceCodeOffset = 16;
constexpr int KernelModelNameOffset = 24;
constexpr int NormalModelNameOffset = 32;

// These two models are candidates for any entry; kind and edition decide.
constexpr const char* AlwaysCandidates[] = {"KESTREL DVD-RW  QXR-930 ", "KESTREL DVD-RW  QXR-830 "};

constexpr int32_t KindFamilyMask = 0xFF00;
constexpr int32_t KindCurrentFamily = 0x1000;
constexpr int32_t KindEditionFamily = 0x4000;

constexpr char FirstLetter = 'D';
constexpr char LastLetter = 'Z';

constexpr int IdeTargetIds = 2;    // "ESDI_506" and "intelata": master and slave
constexpr int OtherTargetIds = 7;  // a SCSI adapter: ids 0 to 6

bool IsCandidate(const uint8_t* inquiry, const DefinitionEntry& entry) {
    if (std::memcmp(inquiry + VendorOffset, entry.Vendor, 8) == 0 &&
        std::memcmp(inquiry + ProductOffset, entry.Product, 16) == 0) {
        return true;
    }
    for (const char* identity : AlwaysCandidates) {
        if (std::memcmp(inquiry + VendorOffset, identity, 24) == 0) return true;
    }
    return false;
}

void ClearVendorPage() {
    std::memset(State.FirmwareInfoPage, 0, sizeof State.FirmwareInfoPage);
}

void NoteBusyPlace(char letter, int32_t holder) {
    BusyPlaces& busy = State.Busy;
    if (busy.Count >= BusyPlaceCapacity) return;
    busy.Letters[busy.Count] = letter;
    busy.Holders[busy.Count] = holder;
    ++busy.Count;
}

// Held from here to the end of the run, like the claim: the host's own media checks stay
// off the drive. A dry run writes nothing and leaves them as they are.
void HoldMediaNotification(char letter) {
    if (State.DryRun != 0 || State.Notifications.Filled >= NotificationSlotCapacity) return;
    State.Notifications.Current = State.Notifications.Filled;
    State.Notifications.Letters[State.Notifications.Current] = letter;
    BeginMediaNotificationControl();
    ++State.Notifications.Filled;
}

int EnumerateSpti() {
    State.Busy.Count = 0;
    State.Notifications.Filled = 0;
    State.Notifications.Current = 0;
    int found = 0;
    // With drives named, the others are not even claimed, and a named one that is no target
    // only answers the identification: its media checks are left as they are.
    const bool named = State.LettersNamed != 0;

    for (char letter = FirstLetter; letter <= LastLetter; ++letter) {
        if (!LetterConsidered(letter)) continue;
        // Nothing is sent to a drive that another copy of the program is working on.
        int32_t holder = 0;
        const int claim = ClaimDriveLetter(letter, &holder);
        if (claim == ClaimBusy) {
            PlatformReportDeviceBusy(letter, holder);
            NoteBusyPlace(letter, holder);
        }
        if (claim != ClaimHeld) {
            if (named && claim != ClaimBusy) PlatformReportNotTarget(letter);
            continue;
        }
        if (OpenDriveDevice(letter) != 0 || ProbeInquiry(0, 0) != 0) {
            CloseDriveDevice();  // a device opened but refused its queries is not kept
            ReleaseDriveLetter(letter);
            if (named) PlatformReportNotTarget(letter);
            continue;
        }

        const uint8_t type = State.WorkBuffer[DeviceTypeByte];
        const bool cdDvd = type == WriteOnceDevice || type == CdDvdDevice;
        const bool notified = cdDvd && !named && State.DryRun == 0 &&
                              State.Notifications.Filled < NotificationSlotCapacity;
        if (notified) HoldMediaNotification(letter);

        ClearVendorPage();  // a drive that answers a shorter page is not matched on the last one's
        if (ProbeVendorPage(0, 0) != 0) ClearVendorPage();

        bool kept = notified;
        // MatchDefinition only ever sets the flag; this drive's own answer is kept apart.
        const int32_t updateModeBefore = State.InUpdateMode;
        State.InUpdateMode = 0;
        if (found < TargetListCapacity && MatchDefinition(State.WorkBuffer) >= 0) {
            if (named && cdDvd) HoldMediaNotification(letter);
            State.TargetList[found].DriveLetter = letter;
            if (found < IdentifiedTargetCapacity) {
                std::memcpy(State.TargetInquiry[found], State.WorkBuffer,
                            sizeof State.TargetInquiry[found]);
                State.TargetUpdateMode[found] =
                    State.InUpdateMode == 1 || IdentifiesKernelOnly(State.WorkBuffer) ? 1 : 0;
            }
            // OpenDriveDevice notes this index for a device without a SCSI address.
            State.SelectedTarget = found;
            ++found;
            kept = true;
        } else if (named) {
            PlatformReportNotTarget(letter);
        }
        State.InUpdateMode |= updateModeBefore;
        CloseDriveDevice();
        if (!kept) ReleaseDriveLetter(letter);
    }
    return found;
}

int EnumerateAspi() {
    int found = 0;
    for (int adapter = 0; adapter < State.AspiAdapterCount; ++adapter) {
        // Only the first 16 adapters have a name; the others are probed as SCSI adapters.
        const char* name = adapter < AdapterNameCapacity ? State.AdapterNames[adapter] : nullptr;
        int targetIds = OtherTargetIds;
        if (name != nullptr && std::memcmp(name, "ESDI_506", 8) == 0) {
            targetIds = IdeTargetIds;
        } else if (name != nullptr && std::memcmp(name, "intelata", 8) == 0) {
            State.IntelAtaDriver = 1;
            targetIds = IdeTargetIds;
        } else if (State.IntelAtaDriver == 1) {
            continue;  // with the Intel ATA driver only the IDE adapters carry the drives
        }

        for (int target = 0; target < targetIds; ++target) {
            if (found == TargetListCapacity) return found;
            if (ProbeInquiry(adapter, target) != 0) continue;
            ClearVendorPage();  // a shorter page must not be matched on the last drive's
            if (ProbeVendorPage(adapter, target) != 0) ClearVendorPage();
            if (MatchDefinition(State.WorkBuffer) >= 0) {
                State.TargetList[found].HostAdapter = adapter;
                State.TargetList[found].TargetId = target;
                ++found;
            }
        }
    }
    return found;
}

}  // namespace

bool LetterConsidered(char letter) {
    if (State.LettersNamed == 0) return true;
    if (letter < FirstLetter || letter > LastLetter) return false;
    return (State.NamedLetters >> (letter - FirstLetter) & 1u) != 0;
}

int EnumerateTargets() {
    // Without the probe's work buffer no device can be asked anything.
    if (State.WorkBuffer == nullptr || State.WorkBufferSize < InquiryLength) {
        State.TargetCount = 0;
        return 0;
    }
    if (State.UsesAspi == 1 && State.AspiAdapterCount == 0) return 0;

    const int found = State.UsesAspi == 1 ? EnumerateAspi() : EnumerateSpti();
    State.TargetCount = found;
    return found;
}

int CheckWriteRoutes() {
    // The largest transfer of an update: a 32 KiB chunk of the current generation.
    constexpr uint32_t ChunkBytes = 0x8000;
    int left = 0;
    for (int i = 0; i < State.TargetCount && i < TargetListCapacity; ++i) {
        State.RouteRefusal[i] = RouteWritable;
        if (State.UsesAspi != 0) {
            ++left;
            continue;
        }
        const char letter = State.TargetList[i].DriveLetter;
        uint32_t limitKb = 0;
        const uint32_t error = PlatformCheckWriteRoute(letter, ChunkBytes, &limitKb);
        State.SelectedTarget = i;
        BeginDriveRecord();
        if (error == ERROR_ACCESS_DENIED) {
            State.RouteRefusal[i] = RouteDenied;
            State.DeviceAccessDenied = 1;
            ShowMessage(87, StyleError);
        } else if (error == ERROR_BAD_LENGTH) {
            State.RouteRefusal[i] = RouteTooNarrow;
            char node[32] = "?";
            PlatformDeviceName(letter, node, sizeof node);
            char line[192];
            std::snprintf(line, sizeof line,
                          "odd-fwupdate: drive %c: (%s) takes at most %u KiB per command, but the "
                          "firmware goes in chunks of %u KiB; it is left out.\n",
                          letter, node, static_cast<unsigned>(limitKb), ChunkBytes / 1024);
            PlatformWriteError(line);
        } else {
            ++left;
            continue;
        }
        // The system log keeps the refusal; a dry run leaves no record.
        if (State.DryRun == 0) RecordDriveOutcome(false, false, 0);
    }
    return left;
}

int MatchDefinition(const uint8_t* inquiry) {
    const UpdateDefinition& definition = State.Definition;
    const int count = definition.EntryCount < DefinitionEntryCapacity ? definition.EntryCount
                                                                      : DefinitionEntryCapacity;
    const uint8_t* page = State.FirmwareInfoPage;

    for (int e = 0; e < count; ++e) {
        const DefinitionEntry& entry = definition.Entries[e];
        if (!IsCandidate(inquiry, entry)) continue;

        const int32_t family = entry.KindCode & KindFamilyMask;
        if (family != KindCurrentFamily && family != KindEditionFamily) return e;

        if (std::memcmp(page + NormalModelNameOffset, entry.Edition, 8) == 0 &&
            std::memcmp(page + InterfaceCodeOffset, "SAT ", 4) == 0) {
            return e;
        }
        // No normal part: the drive runs its kernel only, and its kernel edition decides.
        if (std::memcmp(page + NormalModelNameOffset, "        ", 8) == 0 &&
            std::memcmp(page + KernelModelNameOffset, entry.Edition, 8) == 0) {
            State.InUpdateMode = 1;
            return e;
        }
    }
    return -1;
}
