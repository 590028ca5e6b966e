// Little-endian field access for every wire format in the program. Nothing
// casts a struct onto bytes; fields are read and written here, one by one.
#pragma once

#include <cstdint>

inline std::uint16_t wire_get16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t wire_get24(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16);
}

inline std::uint32_t wire_get32(const std::uint8_t* p)
{
    return wire_get24(p) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t wire_get64(const std::uint8_t* p)
{
    return static_cast<std::uint64_t>(wire_get32(p)) |
           (static_cast<std::uint64_t>(wire_get32(p + 4)) << 32);
}

inline void wire_put16(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void wire_put32(std::uint8_t* p, std::uint32_t v)
{
    wire_put16(p, v);
    wire_put16(p + 2, v >> 16);
}

inline void wire_put64(std::uint8_t* p, std::uint64_t v)
{
    wire_put32(p, static_cast<std::uint32_t>(v));
    wire_put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// The 8-byte USB setup packet.
inline void wire_setup_packet(std::uint8_t out[8], std::uint8_t request_type,
                              std::uint8_t request, std::uint16_t value, std::uint16_t index,
                              std::uint16_t length)
{
    out[0] = request_type;
    out[1] = request;
    wire_put16(out + 2, value);
    wire_put16(out + 4, index);
    wire_put16(out + 6, length);
}
