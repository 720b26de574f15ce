#pragma once

// The Linux program's command line. Without arguments the program runs as it always has;
// --help, --version and --list answer without touching a drive's state, and anything else
// is a usage error. The Windows program reads no command line.

constexpr int ExitUsage = 2;

// The exit code of the whole process.
int RunCommandLine(int argc, const char* const* argv);

// --list: one line per optical drive (letter, device, vendor, product, revision, date, and
// for a drive the package is for how the package compares). Sends INQUIRY and the vendor
// page only and asks nothing. 0 when a drive the package is for was found, else 1. With json,
// one JSON document instead of the lines (run/json_output.h).
int ListDrives(bool json = false);
