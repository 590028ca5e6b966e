// The TQP link: single 255-byte frames carried in 257-byte HID feature
// reports (report ID 0xFF, a marker byte, the frame) on the vendor HID
// interface. It neither waits nor retries.
#pragma once

#include <cstdint>

#include "usb/usbhid_device_win.h"

constexpr std::uint32_t TQP_FRAME_SIZE = 255;
constexpr std::int32_t TQP_REPORT_SIZE = 257;  // report ID, marker, frame
constexpr std::uint8_t TQP_MARK_FRAME = 0x80;
constexpr std::uint8_t TQP_MARK_ERROR = 0xEE;

using tqp_send_frame_fn = int (*)(void* context, const std::uint8_t* frame, std::uint32_t length);
using tqp_receive_frame_fn = int (*)(void* context, const std::uint8_t** frame,
                                     std::uint32_t* length);

// What the transport knows of a frame link. (Always named with `struct`:
// POSIX declares a function of the same name.)
struct link {
    tqp_send_frame_fn send_frame;
    tqp_receive_frame_fn receive_frame;
    std::uint32_t tq_frame_size;
    void* context;  // the connection's device slot
};

// 0 when the vendor HID interface is open in *slot; 1 otherwise. With no
// device attached the slot is left as it was; an interface whose feature
// reports are not TQP_REPORT_SIZE bytes is refused (slot null).
int tqp_link_open(usbhid_device** slot, const char* serial);
struct link* tqp_link_init(usbhid_device** slot, struct link* out);
int tqp_link_send(void* context, const std::uint8_t* frame, std::uint32_t length);
// 0 with a frame; 0 with length 0 when the device has none; non-zero on
// failure (a failed read or the error marker). The frame lies in the
// link's report buffer until the next send or receive.
int tqp_link_receive(void* context, const std::uint8_t** frame, std::uint32_t* length);
void tqp_link_close(usbhid_device** slot);
