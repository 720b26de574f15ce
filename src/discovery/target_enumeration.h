#pragma once

// Lists the drives that match the update definition; returns their number.
int EnumerateTargets();
