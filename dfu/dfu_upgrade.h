// One complete DFU operation: wait for the device, detach it into DFU mode,
// transfer, detach it back, wait for it again.
#pragma once

#include <cstdint>

struct dfu_handle;

// serial: null or the serial filter; image: null to read the information
// text only; restart: detach the device back into its firmware afterwards.
// 0 on success, -1 on failure (already reported on the console).
int dfu_upgrade(const char* serial, const std::uint8_t* image, std::int32_t size, bool restart);

// The failure report: the error line for the run mode, an empty line, and
// the handle (or null) released.
void dfu_upgrade_failed(dfu_handle* handle, const std::uint8_t* image);
