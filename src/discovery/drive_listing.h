#pragma once
#include <cstdint>

#include "device/drive_commands.h"

// The optical drives of the host as they name themselves, for a list shown to the user. Found
// as enumeration finds them, but only identified: each device gets INQUIRY and the vendor
// page and nothing else, and nothing is held open afterwards. A drive that another copy of
// the program holds is listed as busy and sent nothing.

struct ListedDrive {
    char Letter;
    uint8_t Inquiry[InquiryLength];
    int32_t Entry;         // the definition entry the drive matches, or -1
    int32_t InUpdateMode;  // the drive runs its kernel only
    int32_t Busy;          // another program holds the drive: nothing was asked
    int32_t Holder;        // and its process id, or 0
};

constexpr int ListedDriveCapacity = 'Z' - 'D' + 1;

// Walks the drive letters D..Z of the pass-through transport and fills `drives` with every
// CD/DVD drive and every drive the definition matches, in letter order; returns their number.
// Needs the probe's work buffer; on ASPI nothing is walked and the result is 0.
int ListOpticalDrives(ListedDrive drives[ListedDriveCapacity]);

// A drive of the family that reports "0000" runs its kernel only, whatever its page says.
bool IdentifiesKernelOnly(const uint8_t* inquiry);
