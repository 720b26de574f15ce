#pragma once

// --dry-run: for every drive the package is for, the checks that a run does up to its
// question (identity, both image files against the drive, hardware, region, pre-production,
// the disc, the route for the writes), with one line per drive on the console in the run's
// language: what the update would do, or why it would not. It asks nothing and sends nothing
// that changes a drive (TEST UNIT READY alone where a run stops the unit first). 0 when at
// least one drive would be updated, else 1.
// With json, the lines become one JSON document (run/json_output.h) with each drive's plan, the
// message that decided it and the reason in English.
int DryRunDrives(bool json = false);
