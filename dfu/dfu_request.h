// The USB DFU 1.1 class requests on an opened DFU interface, one function
// per request, and the decoding of the DFU_GETSTATUS answer.
#pragma once

#include <cstdint>

#include "usb/usb_device_win.h"

constexpr std::uint8_t DFU_REQUEST_DETACH = 0;
constexpr std::uint8_t DFU_REQUEST_DNLOAD = 1;
constexpr std::uint8_t DFU_REQUEST_UPLOAD = 2;
constexpr std::uint8_t DFU_REQUEST_GETSTATUS = 3;
constexpr std::uint8_t DFU_REQUEST_CLRSTATUS = 4;
constexpr std::uint8_t DFU_REQUEST_GETSTATE = 5;
constexpr std::uint8_t DFU_REQUEST_ABORT = 6;

constexpr std::uint8_t DFU_STATE_APP_IDLE = 0;
constexpr std::uint8_t DFU_STATE_APP_DETACH = 1;
constexpr std::uint8_t DFU_STATE_IDLE = 2;
constexpr std::uint8_t DFU_STATE_DNLOAD_SYNC = 3;
constexpr std::uint8_t DFU_STATE_DNBUSY = 4;
constexpr std::uint8_t DFU_STATE_DNLOAD_IDLE = 5;
constexpr std::uint8_t DFU_STATE_MANIFEST_SYNC = 6;
constexpr std::uint8_t DFU_STATE_MANIFEST = 7;
constexpr std::uint8_t DFU_STATE_MANIFEST_WAIT_RESET = 8;
constexpr std::uint8_t DFU_STATE_UPLOAD_IDLE = 9;
constexpr std::uint8_t DFU_STATE_ERROR = 10;

constexpr std::uint16_t DFU_DETACH_TIMEOUT_MS = 1000;
constexpr std::uint32_t DFU_UPLOAD_BLOCK = 64;
constexpr std::uint32_t DFU_STATUS_LENGTH = 6;

// The decoded DFU_GETSTATUS answer.
struct dfu_status {
    std::uint8_t bStatus;
    std::uint32_t bwPollTimeout;  // 24 bits on the wire
    std::uint8_t bState;
    std::uint8_t iString;
};

// 0 on success; 0 also when the transfer fails with ERROR_GEN_FAILURE (a
// device that resets at once); -1 otherwise.
int dfu_detach(usb_device* dev);
// The count the transfer reports sent, or -1. length 0: no data stage.
int dfu_dnload(usb_device* dev, const std::uint8_t* data, std::uint32_t length, std::int32_t block);
// buffer holds at least DFU_UPLOAD_BLOCK bytes. The count received (0 to
// 64), or -1. Nothing is appended to the bytes received.
int dfu_upload(usb_device* dev, std::uint8_t* buffer, std::int32_t block);
// 6, or -1 on failure or a short answer (status then untouched).
int dfu_get_status(usb_device* dev, dfu_status* status);
int dfu_clear_status(usb_device* dev);
int dfu_abort(usb_device* dev);
// Never null.
const char* dfu_status_name(std::uint32_t code);
