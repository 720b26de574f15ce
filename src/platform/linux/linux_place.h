#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/platform_device.h"

// A drive's place (/dev/srN) as this program holds it: the lock that keeps other copies of
// the program away, the one descriptor every command of the run takes, and the host's media
// polling turned off meanwhile.

// True once PlatformClaimDevice took the place, until PlatformReleaseDevice.
bool PlaceClaimed(char letter);

// The descriptor of the claimed place at `letter` (opened on first use), or -1 with the
// errno of the failed open in *error. A place whose node vanished and came back (a drive
// rebooting on USB or FireWire) is opened afresh; any other failure is final for the run.
int PlaceRoute(char letter, int* error);

// True when `fd` is the held route of a claimed place: the core's close leaves it open.
bool IsPlaceRoute(int fd);

// The route's node has gone (the command failed with ENODEV): the next PlaceRoute opens the
// node afresh.
void NotePlaceRouteGone(int fd);

// The media-notification handle of the place: its sysfs folder (/sys/block/srN), kept open
// until the process ends. InvalidDeviceHandle with the error code when there is none.
DeviceHandle OpenPollFolder(char letter, uint32_t* error);

// True when `fd` is a place's media-notification handle.
bool IsPollFolder(int fd);

// Writes every saved events_poll_msecs value back. Only async-signal-safe calls: a signal
// that ends the program calls it.
void RestorePlacePolling();

// The lock file of a place: /run/lock/odd-fwupdate-srN.lock.
bool PlaceLockPath(char letter, char* path, size_t size);
