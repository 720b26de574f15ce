#pragma once

// The system log: one record per drive that a run starts to write, per outcome of such a
// drive, and per drive that a check refused. Unlike standard error, it outlives the run and
// the terminal, so that an administrator can tell afterwards which drive went from what to
// what, or how it failed.

enum class LogLevel { Notice, Warning, Error };

// One record about the drive at `letter` (0: a drive on the ASPI layer): `event` is one word,
// `details` the rest ("key=value ..."). The host writes "EVENT drive=L node=NODE DETAILS".
// A host without a system log writes nothing.
void PlatformLogRecord(LogLevel level, char letter, const char* event, const char* details);
