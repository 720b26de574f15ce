#pragma once
#include <cstdint>

// Walks every place a drive can sit on the run's transport (drive letters D..Z, or the
// target ids of each ASPI host adapter), lists in TargetList the drives that match the
// update definition, in the order found, and returns their number (also in TargetCount).
// On pass-through every CD and DVD drive also gets a NotificationTable slot.
int EnumerateTargets();

// The index of the first definition entry that the drive matches, or -1. `inquiry` is its
// 96 bytes of INQUIRY data; the vendor page is read from FirmwareInfoPage. Sets
// InUpdateMode when the drive matches by its kernel edition alone.
int MatchDefinition(const uint8_t* inquiry);

// Why the host cannot carry a target's writes (RouteRefusal of the run state).
constexpr int8_t RouteWritable = 0;
constexpr int8_t RouteDenied = 1;     // this process may not write to the drive: message 87
constexpr int8_t RouteTooNarrow = 2;  // the drive's queue takes less than a chunk per command

// Before any question, what the host can tell without sending anything: each target whose
// writes could not go is told (87, or a line on standard error with both sizes) and marked,
// so that it is left untouched. Returns the number of targets left.
int CheckWriteRoutes();

// Whether the drive at `letter` is one the run considers: any, unless drives were named on the
// command line (NamedLetters).
bool LetterConsidered(char letter);
