// Writes the built-in firmware image: a DFU file of 857808 bytes, an opaque
// deterministic payload followed by the 16-byte DFU suffix.
//   make_builtin_image OUTPUT
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr std::size_t IMAGE_SIZE = 857808;
constexpr std::size_t SUFFIX_SIZE = 16;

std::uint32_t dfu_crc(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

void put16(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    std::vector<std::uint8_t> image(IMAGE_SIZE);
    // xorshift32: the same bytes on every build.
    std::uint32_t x = 0x3F1C0004u;
    for (std::size_t i = 0; i < IMAGE_SIZE - SUFFIX_SIZE; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        image[i] = static_cast<std::uint8_t>(x >> 24);
    }
    std::uint8_t* s = image.data() + IMAGE_SIZE - SUFFIX_SIZE;
    put16(s + 0, 0xFFFF);  // bcdDevice
    put16(s + 2, 0xFFFF);  // idProduct
    put16(s + 4, 0x3F1C);  // idVendor
    put16(s + 6, 0x0100);  // bcdDFU
    s[8] = 'U';            // ucDfuSignature
    s[9] = 'F';
    s[10] = 'D';
    s[11] = SUFFIX_SIZE;   // bLength
    const std::uint32_t crc = dfu_crc(image.data(), IMAGE_SIZE - 4);
    put16(s + 12, crc);
    put16(s + 14, crc >> 16);

    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(image.data(), 1, image.size(), out) != image.size() || std::fclose(out) != 0) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
