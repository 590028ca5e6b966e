// Device strings (UTF-16LE on the wire) as the 8-bit text the program
// compares: a code unit below 0x100 gives its low byte, any other a '?'.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t USB_STRING_MAX = 127;

// Converts `units` UTF-16LE code units (stopping at a NUL unit), at most
// USB_STRING_MAX of them and at most out_size - 1; always terminates out.
inline void usb_string_from_utf16le(const std::uint8_t* units, std::size_t count, char* out,
                                    std::size_t out_size)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < count && n < USB_STRING_MAX && n + 1 < out_size; ++i) {
        const std::uint16_t u = static_cast<std::uint16_t>(units[2 * i] | (units[2 * i + 1] << 8));
        if (u == 0)
            break;
        out[n++] = u < 0x100 ? static_cast<char>(u) : '?';
    }
    out[n] = '\0';
}
