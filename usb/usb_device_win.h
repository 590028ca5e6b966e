// The maker's USB devices as WinUSB interfaces: finding and opening one,
// class control transfers, bulk pipes, and the probe that says whether a
// device is attached.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "usb/ids.h"

struct usb_device {
    std::uint16_t vendor_id;
    std::uint16_t product_id;
    std::uint16_t bcd_device;
    std::int32_t interface_number;
    plat_handle file_handle;
    plat_winusb winusb_handle;
};

// The fuzzing build makes it smaller: the virtual bus lists a few hundred
// bytes, and under the sanitizers a 1 MiB block is mapped and unmapped
// afresh on every pass, which would slow each run a hundredfold.
#ifdef FLASH_TOOL_NAME_LIST_SIZE
constexpr std::uint32_t USB_NAME_LIST_SIZE = FLASH_TOOL_NAME_LIST_SIZE;
#else
constexpr std::uint32_t USB_NAME_LIST_SIZE = 1u << 20;
#endif
constexpr std::uint32_t USB_DESCRIPTOR_BUFFER_SIZE = 256;
constexpr std::uint32_t USB_MAX_NAME_LENGTH = 267;
constexpr std::uint8_t USB_REQUEST_TYPE_CLASS_OUT = 0x21;
constexpr std::uint8_t USB_REQUEST_TYPE_CLASS_IN = 0xA1;
constexpr std::uint32_t USB_CLASS_IN_LENGTH = 64;

// serial: null for any device; otherwise only a device whose serial-number
// string, or failing that whose product string, equals it.
usb_device* usb_device_open(std::uint16_t vendor_id, std::uint16_t product_id,
                            std::int32_t interface_number, const char* serial);
void usb_device_close(usb_device* dev);

// Product ID of the first device with DEVICE_VENDOR_ID, or 0.
std::uint16_t usb_device_probe(const char* serial);

std::uint16_t usb_device_vendor_id(const usb_device* dev);
std::uint16_t usb_device_product_id(const usb_device* dev);
std::uint16_t usb_device_bcd_device(const usb_device* dev);

int usb_device_class_out(usb_device* dev, std::uint8_t request, std::uint16_t value,
                         const std::uint8_t* data, std::uint32_t length, std::uint32_t* sent);
// buffer must hold at least USB_CLASS_IN_LENGTH bytes: the platform is
// always handed that much room.
int usb_device_class_in(usb_device* dev, std::uint8_t request, std::uint16_t value,
                        std::uint8_t* buffer, std::uint32_t length, std::uint32_t* received);

int usb_device_pipe_transfer(usb_device* dev, std::uint8_t pipe, std::uint8_t* buffer,
                             std::uint32_t length);
int usb_device_find_bulk_pipes(usb_device* dev, std::uint32_t* in_pipe,
                               std::uint32_t* in_max_packet, std::uint32_t* out_pipe,
                               std::uint32_t* out_max_packet);

void sleep_ms(std::uint32_t ms);
