#pragma once

// The file layer's cause (1..14, platform_textfile.h) of a failed call's errno; 1 (generic)
// for an errno without a closer cause.
int FileCauseFromErrno(int error);
