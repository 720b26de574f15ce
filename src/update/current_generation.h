#pragma once

// Updates the selected target with the current-generation procedure.
// 0 updated; -1 the run must stop; any other value: not updated, the run goes on.
int UpdateCurrentGeneration();
