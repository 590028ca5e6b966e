// The built-in image: a DFU file of the right size whose suffix and CRC
// are what a bootloader checks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "app/image.h"
#include "support.h"
#include "usb/wire.h"

namespace {

// Table-driven, so it does not share code with the generator's bitwise loop.
std::uint32_t reference_dfu_crc(const std::uint8_t* p, std::size_t n)
{
    static std::uint32_t table[256];
    if (table[1] == 0) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i)
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

}  // namespace

TEST(BuiltinImage, CrcReferenceMatchesTheKnownCheckValue)
{
    const char* check = "123456789";
    // The DFU CRC is the usual CRC-32 without its final inversion.
    EXPECT_EQ(reference_dfu_crc(reinterpret_cast<const std::uint8_t*>(check), 9), ~0xCBF43926u);
}

TEST(BuiltinImage, IsADfuFileWithTheMakersSuffix)
{
    ASSERT_EQ(builtin_image_end - builtin_image, BUILTIN_IMAGE_SIZE);
    ASSERT_EQ(BUILTIN_IMAGE_SIZE, 857808);
    const std::uint8_t* s = builtin_image + BUILTIN_IMAGE_SIZE - 16;
    EXPECT_EQ(wire_get16(s + 0), 0xFFFF);  // bcdDevice
    EXPECT_EQ(wire_get16(s + 2), 0xFFFF);  // idProduct
    EXPECT_EQ(wire_get16(s + 4), 0x3F1C);  // idVendor
    EXPECT_EQ(wire_get16(s + 6), 0x0100);  // bcdDFU
    EXPECT_EQ(std::memcmp(s + 8, "UFD", 3), 0);
    EXPECT_EQ(s[11], 16);
    EXPECT_EQ(wire_get32(s + 12), reference_dfu_crc(builtin_image, BUILTIN_IMAGE_SIZE - 4));
}

TEST(BuiltinImage, LinkedBytesAreTheGeneratedFile)
{
    const std::vector<unsigned char> file = read_file(BUILTIN_IMAGE_FILE);
    ASSERT_EQ(file.size(), static_cast<std::size_t>(BUILTIN_IMAGE_SIZE));
    EXPECT_EQ(std::memcmp(file.data(), builtin_image, file.size()), 0);
}
