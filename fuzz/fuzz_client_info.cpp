// client_info: decoding a device's record, reading its fields, and turning
// the host's own record into the device's protocol version.
#include <cstdint>
#include <cstring>
#include <string>

#include "tqp/tqp_client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    client_info device;
    client_info_init(&device);
    // An exact-size copy, so that a read past the count is seen.
    auto* bytes = new std::uint8_t[size ? size : 1];
    std::memcpy(bytes, data, size);
    const int r = client_info_decode(&device, bytes, static_cast<std::uint32_t>(size));
    delete[] bytes;

    char serial[CLIENT_INFO_SERIAL_SIZE + 1];
    client_info_serial(&device, serial, sizeof serial);
    char small[3];
    client_info_serial(&device, small, sizeof small);
    if (std::strlen(small) > 2)
        __builtin_trap();
    if (client_info_name(&device)) {
        const std::size_t n = client_info_name_size(&device);
        if (n > CLIENT_INFO_RECORD_SIZE)
            __builtin_trap();
    }
    client_info_sw_version(&device);

    client_info own;
    client_info_init(&own);
    if (size > 4) {
        // The input's tail as a name of any length.
        std::string name(reinterpret_cast<const char*>(data + 4), size - 4);
        client_info_set_name(&own, name.c_str());
    }
    if (r == 0)
        client_info_convert(&own, client_info_protocol(&device));
    if (size >= 4)
        client_info_convert(&own, data);
    client_info_convert(&device, own.record);
    return 0;
}
