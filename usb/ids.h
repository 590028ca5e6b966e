// Identities of the maker's devices.
#pragma once

#include <cstdint>

constexpr std::uint16_t DEVICE_VENDOR_ID = 0x3F1C;
constexpr std::uint16_t BRIDGE_PRODUCT_ID = 0x800E;
constexpr std::uint16_t DFU_MODE_PRODUCT_ID = 0x0004;
constexpr std::uint16_t ANY_ID = 0xFFFF;

// The vendor HID top-level collection.
constexpr std::uint16_t VENDOR_USAGE_PAGE = 0xFF01;
constexpr std::uint16_t VENDOR_USAGE = 0xF1;

// Byte 0 of every feature report the report protocol and TQP move.
constexpr std::uint8_t VENDOR_REPORT_ID = 0xFF;
