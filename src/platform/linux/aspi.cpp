#include "platform/platform_device.h"

// There is no ASPI layer on Linux: the library never loads, and nothing reaches the calls
// behind it.
bool PlatformLoadAspiLibrary() {
    return false;
}
uint32_t PlatformGetAspi32SupportInfo() {
    return 0;
}
uint8_t PlatformSendAspi32Command(uint8_t*, uint8_t*, AspiEvent) {
    return 0xE2;
}  // SS_INVALID_HA
AspiEvent PlatformCreateEvent() {
    return NoAspiEvent;
}
uint32_t PlatformWaitForEvent(AspiEvent, uint32_t) {
    return WAIT_TIMEOUT;
}
void PlatformCloseEvent(AspiEvent) {}
