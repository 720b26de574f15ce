#pragma once

// Chooses the transport, prepares it and allocates the run's memory blocks.
int ProbeHost();
