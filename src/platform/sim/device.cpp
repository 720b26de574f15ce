#include "platform/platform_device.h"

// Placeholder until the virtual drives land: the simulated PC has no drive and no ASPI.
DeviceHandle PlatformOpenDevice(char, uint32_t, uint32_t* error) {
    *error = ERROR_FILE_NOT_FOUND;
    return InvalidDeviceHandle;
}
void PlatformCloseDevice(DeviceHandle) {}
uint32_t PlatformGetCapabilities(DeviceHandle) {
    return ERROR_INVALID_FUNCTION;
}
uint32_t PlatformGetScsiAddress(DeviceHandle, uint8_t*) {
    return ERROR_NOT_SUPPORTED;
}
uint32_t PlatformPassThroughDirect(DeviceHandle, uint8_t*, uint8_t*) {
    return ERROR_GEN_FAILURE;
}
int PlatformMediaNotificationControl(DeviceHandle, uint8_t) {
    return 0;
}
bool PlatformLoadAspiLibrary() {
    return false;
}
uint32_t PlatformGetAspi32SupportInfo() {
    return 0;
}
uint8_t PlatformSendAspi32Command(uint8_t*, uint8_t*, AspiEvent) {
    return 0xE2;
}
AspiEvent PlatformCreateEvent() {
    return NoAspiEvent;
}
uint32_t PlatformWaitForEvent(AspiEvent, uint32_t) {
    return WAIT_TIMEOUT;
}
void PlatformCloseEvent(AspiEvent) {}
