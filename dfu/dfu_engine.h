// The DFU engine: one opened DFU interface (dfu_handle), recovery to idle,
// detach, and the transfer (download, manifestation poll, upload).
#pragma once

#include <cstdint>

#include "usb/usb_device_win.h"

constexpr int DFU_EVENT_PROGRESS = 1;
constexpr int DFU_EVENT_DOWNLOAD_BEGIN = 2;
constexpr int DFU_EVENT_MANIFEST_BEGIN = 3;
constexpr int DFU_EVENT_MANIFEST_POLL = 4;
constexpr int DFU_EVENT_DOWNLOAD_END = 6;
constexpr int DFU_EVENT_UPLOAD_BEGIN = 7;
constexpr int DFU_EVENT_UPLOAD_END = 8;
constexpr int DFU_EVENT_DETACH_BEGIN = 9;
constexpr int DFU_EVENT_DETACH_END = 10;

constexpr std::uint32_t DFU_INFO_SIZE = 16384;
constexpr std::uint32_t DFU_BLOCK_SIZE = 4096;

struct dfu_handle {
    const char* message;
    usb_device* device;
    std::int32_t status;
    char info[DFU_INFO_SIZE];
};

using dfu_progress_fn = int (*)(dfu_handle* handle, int event, std::intptr_t arg);

dfu_handle* dfu_new(std::uint16_t vendor_id, std::uint16_t product_id, std::int32_t interface_number,
                    const char* serial);
void dfu_free(dfu_handle* handle);
const char* dfu_take_message(dfu_handle* handle);
char* dfu_info_text(dfu_handle* handle);
usb_device* dfu_usb_device(dfu_handle* handle);
int dfu_detach_device(dfu_handle* handle, const char* kind, dfu_progress_fn callback);
int dfu_transfer(dfu_handle* handle, const std::uint8_t* image, std::int32_t size,
                 dfu_progress_fn callback);
