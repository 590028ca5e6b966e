// One complete DFU operation: wait for the device, detach it into DFU mode,
// transfer, detach it back, wait for it again.
#pragma once

#include <cstdint>

int dfu_upgrade(const char* serial, const std::uint8_t* image, std::int32_t size, bool restart);
