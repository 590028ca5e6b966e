#include <cstdint>
#include <cstdio>

#include "support.h"

std::string hash_hex(const std::vector<unsigned char>& bytes)
{
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char b : bytes)
        h = (h ^ b) * 0x100000001b3ull;
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}
