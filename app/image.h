// Firmware image sources: the image built into the program, or a file.
#pragma once

#include <cstdint>

constexpr std::int32_t BUILTIN_IMAGE_SIZE = 857808;

extern "C" const std::uint8_t builtin_image[];
extern "C" const std::uint8_t builtin_image_end[];

// Reads a regular file whole into a new buffer (free it with std::free).
// Prints the size text on success and the could-not-find-file message on
// every failure, which returns null.
std::uint8_t* load_image_file(const char* path, std::int32_t* size);
