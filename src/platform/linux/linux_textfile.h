#pragma once

// The file layer's cause (1..14, platform_textfile.h) of a failed call's errno; 1 (generic)
// for an errno without a closer cause.
int FileCauseFromErrno(int error);

// Opens an existing regular file for reading without waiting in the open: a descriptor, or
// -1 with errno set, ENOENT for a FIFO, device, socket or directory.
int OpenRegularFile(const char* name);
