#pragma once

// The program's version: shown as Ver2.57C in the banner and 2.57C by --version.
constexpr int VersionMajor = 2;
constexpr int VersionMinor = 57;
constexpr char VersionLetter = 'C';

// The steps of a run that live in other parts of the program. The program runs the real
// ones; tests may put their own in place.
struct RunProcedures {
    int (*ProbeHost)();
    int (*EnumerateTargets)();
    int (*UpdateCurrentGeneration)();
    int (*UpdateLegacyGeneration)();
};

extern const RunProcedures RealProcedures;

// One whole run: banner, language, definition, probe, targets, updates, summary, release.
// Returns the process exit code: 0, or 1 when no target was found or the run was stopped, or
// 128 + the signal number when an interrupt held while a drive was written ended the run.
int RunProgram(const RunProcedures& procedures = RealProcedures);

// Releases what the probe and enumeration hold; runs once on every way out of a run.
void ReleaseRun();
