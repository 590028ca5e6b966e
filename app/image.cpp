#include "app/image.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#define IMAGE_OPEN_FLAGS (O_RDONLY | O_BINARY)
#else
#include <unistd.h>
// Non-blocking, so that naming a FIFO fails the regular-file test instead
// of waiting for a writer.
#define IMAGE_OPEN_FLAGS (O_RDONLY | O_NONBLOCK)
#endif

namespace {

std::uint8_t* fail(const char* path, std::uint8_t* buffer, std::FILE* stream)
{
    std::free(buffer);
    if (stream)
        std::fclose(stream);
    std::fflush(stdout);
    std::fprintf(stderr, "\nERROR: Could not find file <%s>.\n", path);
    return nullptr;
}

// The size of a regular file, or -1. Files of 2 GiB and more do not fit the
// image's signed 32-bit size and count as unreadable.
std::int64_t regular_file_size(const char* path)
{
    const int fd = open(path, IMAGE_OPEN_FLAGS);
    if (fd < 0)
        return -1;
    struct stat st;
    std::int64_t size = -1;
    if (fstat(fd, &st) == 0 && (st.st_mode & 0xF000) == 0x8000 && st.st_size >= 0 &&
        st.st_size <= INT32_MAX)
        size = st.st_size;
    close(fd);
    return size;
}

}  // namespace

std::uint8_t* load_image_file(const char* path, std::int32_t* size)
{
    const std::int64_t file_size = regular_file_size(path);
    if (file_size < 0)
        return fail(path, nullptr, nullptr);
    const auto n = static_cast<std::size_t>(file_size);
    // One spare byte so that an empty file still has a buffer of its own.
    auto* buffer = static_cast<std::uint8_t*>(std::malloc(n + 1));
    if (!buffer)
        return fail(path, nullptr, nullptr);
    std::FILE* stream = std::fopen(path, "rb");
    if (!stream)
        return fail(path, buffer, nullptr);
    std::size_t have = 0;
    while (have < n) {
        const std::size_t got = std::fread(buffer + have, 1, n - have, stream);
        if (got == 0)
            return fail(path, buffer, stream);
        have += got;
    }
    std::fclose(stream);
    *size = static_cast<std::int32_t>(n);
    std::printf(" [%d bytes].\n", *size);
    return buffer;
}
