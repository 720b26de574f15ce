#include "platform/platform_device.h"

// Placeholder until the SG_IO transport lands: no device opens.
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
