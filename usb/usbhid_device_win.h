// The maker's vendor HID interface (usage page 0xFF01, usage 0xF1): finding
// it among the present HID interfaces and moving whole feature reports.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "usb/ids.h"

struct usbhid_device {
    std::uint16_t vendor_id;
    std::uint16_t product_id;
    std::int32_t feature_length;
    plat_handle handle;
};

// Bounds a HID enumeration that keeps failing for reasons other than the
// end of the list.
constexpr std::uint32_t USBHID_MAX_ENUM_ERRORS = 64;

usbhid_device* usbhid_device_open(std::uint16_t vendor_id, std::uint16_t product_id,
                                  const char* serial);
void usbhid_device_close(usbhid_device* dev);
std::int32_t usbhid_device_feature_length(const usbhid_device* dev);
int usbhid_device_get_feature(usbhid_device* dev, std::uint8_t* buffer);
int usbhid_device_set_feature(usbhid_device* dev, const std::uint8_t* buffer);
