// The report channel: report-protocol requests and replies over the vendor
// HID collection (one feature report each) or over the bridge's bulk pipes
// ("TQPS" request frames, "TQPG" read requests).
#pragma once

#include <cstdint>

#include "usb/usb_device_win.h"
#include "usb/usbhid_device_win.h"

constexpr std::int32_t REPORT_CHANNEL_HID = 1;
constexpr std::int32_t REPORT_CHANNEL_BRIDGE = 2;

// The bridge: a frame is a 4-byte tag and 256 bytes of payload room.
constexpr std::int32_t USB_BRIDGE_PAYLOAD_SIZE = 256;
constexpr std::uint32_t USB_BRIDGE_TAG_SIZE = 4;
constexpr std::uint32_t USB_BRIDGE_FRAME_SIZE = USB_BRIDGE_PAYLOAD_SIZE + USB_BRIDGE_TAG_SIZE;
constexpr std::uint32_t USB_BRIDGE_REQUEST_HEADER = 7;  // tag, command, 16-bit length
constexpr std::uint32_t USB_BRIDGE_REPLY_HEADER = 8;    // tag, command, status, 16-bit length
constexpr std::uint8_t USB_BRIDGE_SEND_TAG[4] = {'T', 'Q', 'P', 'S'};
constexpr std::uint8_t USB_BRIDGE_GET_TAG[4] = {'T', 'Q', 'P', 'G'};

// HID framing: report ID, command, 16-bit length (request); report ID,
// command, status, 16-bit length (reply).
constexpr std::uint32_t REPORT_HID_REQUEST_HEADER = 4;
constexpr std::uint32_t REPORT_HID_REPLY_HEADER = 5;

struct usb_bridge {
    usb_device* usb;
    std::int32_t payload_size;
    std::uint8_t in_pipe;
    std::int32_t in_max_packet;
    std::uint8_t out_pipe;
    std::int32_t out_max_packet;
};

struct report_channel {
    std::int32_t kind;
    void* device;  // usbhid_device (HID kind) or usb_bridge (bridge kind), owned
};

// The bridge kind for DEVICE_VENDOR_ID with BRIDGE_PRODUCT_ID, the HID kind
// for any other pair. Null when the device cannot be opened.
report_channel* report_channel_open(std::uint16_t vendor_id, std::uint16_t product_id,
                                    const char* serial);
void report_channel_close(report_channel* channel);

// Usable payload size: feature_length - 1 (HID), 256 (bridge), -1 otherwise.
int report_channel_payload_size(const report_channel* channel);

// Sends one request. L when written; -1 when too long, out of memory or the
// write failed (nothing is sent then).
int report_channel_set(report_channel* channel, std::uint8_t command, int length,
                       const std::uint8_t* payload);

// Reads one reply to `command`. The payload length L when the reply answers
// the command with status 0 and its payload was placed in `dest` (which must
// hold report_channel_payload_size bytes; null to place nothing); -1 when the
// read fails, the reply answers another command, its status is not 0, or its
// length field claims more than the reply carries.
int report_channel_get(report_channel* channel, std::uint8_t command, std::uint8_t* dest);

usb_bridge* usb_bridge_open(std::uint16_t vendor_id, std::uint16_t product_id,
                            std::int32_t interface_number, const char* serial);
void usb_bridge_close(usb_bridge* bridge);
int usb_bridge_set(usb_bridge* bridge, std::uint8_t command, int length, const std::uint8_t* payload);
int usb_bridge_get(usb_bridge* bridge, std::uint8_t command, std::uint8_t* dest);
