#pragma once
#include <cstdint>

// Moving a drive between its normal mode and its update (kernel) mode.

constexpr int ModeSwitchBlockSize = 256;

enum SwitchDirection : int32_t {
    SwitchToKernel = 0,  // EnterUpdateMode
    SwitchToNormal = 1,  // LeaveUpdateMode
};

// The mode-switch value that the edition code (8 bytes) makes of the entry's value.
uint32_t ModeSwitchValueFor(const uint8_t* edition, uint32_t modeSwitchValue,
                            SwitchDirection direction);

// The 256-byte ModeSwitchBlock for `kind`, from the selection's ModeSwitchValue and the
// KernelModelName of the FirmwareInfoPage.
void BuildModeSwitchBlock(int32_t kind, SwitchDirection direction, uint8_t* block);

// The CommandTimeout that the commit of LeaveUpdateMode gets on SelectedTarget.
uint32_t LeaveUpdateModeTimeout(int32_t kind);

int EnterUpdateMode(int32_t kind);
int LeaveUpdateMode(int32_t kind);

// The challenge/response exchange that some drives require before the switch, then
// EnterUpdateMode(CurrentKind) and the kernel-mode identity check.
int UnlockUpdateMode();

// R[i] = rotl8(C[i] ^ K[i], i % 8) + i, K[i] the byte i % 4 of the value, least significant
// first.
void ComputeUnlockResponse(const uint8_t challenge[16], uint32_t modeSwitchValue,
                           uint8_t response[16]);
