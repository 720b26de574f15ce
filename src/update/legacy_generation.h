#pragma once
#include <cstdint>

// The older generation's update procedure: Intel HEX images, the model read from the drive's
// memory, the marked transfer, the timed re-flash and the read-back of the drive's memory.

// Updates the selected target. 0 updated; -1 the run must stop; 1 not updated (refused,
// already up to date, or the verification failed); any other value: a drive command's
// failure value passed through.
int UpdateLegacyGeneration();

// Inquiry, the model information and the matching definition entry, which is copied into
// the selection; NewRevision from the selection's revision text. 0, the failure value of
// Inquiry, or -1 when the model information was not read.
int LegacySelectDefinition();

// The drive's model code and CPU type from one of its three memory places, into
// DriveModelCode and DriveCpuType ("Not recognize   " when none holds them). 0, or -1 after
// the error-code line of a failed read.
int ReadLegacyModelInfo();

// Whether ImageSize fits the buffers: WorkBuffer, and ImageBuffer with the 16 bytes behind
// the image and every chunk the transfer sends.
bool LegacyImageFitsBuffers();

// The loaded image and the drive against the selection. 0 to go on; 1 when the drive already
// runs this revision or a newer one; -1 on a mismatch (each after its message).
int ValidateLegacyImage();

// Reads `length` bytes of the drive's memory into WorkBuffer and compares them with
// ImageBuffer. 0 equal; a read's failure value; -1 a difference in the first 0x400 bytes,
// -2 in 0x450..0x7FFF (0x400..0x44F are not compared), -3 in a later 0x8000-byte block.
int CompareDriveMemory(uint32_t length);

// Writes the image with its marker to the drive. 0, or -1 after the sense line.
int TransferLegacyImage();

// Starts the drive's re-flash and counts its time down on the console; returns the flash
// command's result.
int RunTimedFlash();

// NewRevision from a "d.dd" revision text; "0000" gives 0.
uint16_t LegacyRevisionNumber(const char* text);
