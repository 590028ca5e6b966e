#include "tqp/tqp_branch.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "tqp/tqp_connection.h"
#include "usb/ids.h"
#include "usb/usb_device_win.h"

namespace {

constexpr int BOOT_PROBES = 601;
constexpr std::uint32_t BOOT_FIRST_PAUSE_MS = 500;
constexpr std::uint32_t BOOT_PROBE_PAUSE_MS = 100;

void print_device_info(tqp_connection* c)
{
    const client_info* info = nullptr;
    tqp_connection_device_info(c, &info);
    static const std::uint8_t none[4] = {0, 0, 0, 0};
    const std::uint8_t* p = client_info_protocol(info) ? client_info_protocol(info) : none;
    const std::uint8_t* v = client_info_sw_version(info) ? client_info_sw_version(info) : none;
    const char* name = reinterpret_cast<const char*>(client_info_name(info));
    const std::size_t name_size = client_info_name_size(info);
    char serial[20];
    client_info_serial(info, serial, sizeof serial);
    std::puts("\nTC information:");
    std::printf("Protocol:   %02x%02x.%02x%02x\n", p[0], p[1], p[2], p[3]);
    std::printf("SW version: %02x%02x.%02x%02x\n", v[0], v[1], v[2], v[3]);
    // The name is the device's text: up to its NUL, never past its field.
    std::printf("Mfg id:     %.*s\n", name ? static_cast<int>(strnlen(name, name_size)) : 0,
                name ? name : "");
    std::printf("Serial nbr: %s\n", serial);
}

int fail_closed(tqp_connection* c)
{
    tqp_close(c);
    return -1;
}

}  // namespace

int tqp_branch(const char* connection, const char* client_name, const std::uint8_t* image,
               std::int32_t size, bool reset, bool reset_after_upgrade, const char* serial,
               log_fn info, log_fn error)
{
    tqp_connection c;
    tqp_connection_defaults(&c);
    tqp_connection_set_logs(&c, info, error);

    const int opened = tqp_open(&c, connection, client_name);
    if (opened == TQP_ERR_LINK) {
        std::puts("flash-tool: USB TQP failed to initialize communication link layer\n");
        return -1;
    }
    if (opened != 0)
        return TQP_BRANCH_FALLBACK;

    std::puts("flash-tool using USB TQP interface\n");
    print_device_info(&c);

    std::uint64_t syserror = 0;
    if (tqp_system_error(&c, &syserror) != 0)
        return fail_closed(&c);
    std::printf("Syserror:   0x%016" PRIx64 "\n\n", syserror);
    std::fflush(stdout);

    if (!reset && tqp_upgrade(&c, image, size > 0 ? static_cast<std::uint32_t>(size) : 0) != 0)
        return fail_closed(&c);
    if (reset || reset_after_upgrade) {
        std::puts("Restarting System...");
        std::fflush(stdout);
        if (tqp_reset(&c) != 0)
            return fail_closed(&c);
    }
    tqp_close(&c);

    sleep_ms(BOOT_FIRST_PAUSE_MS);
    std::fputs("* Wait for boot  ", stdout);
    std::fflush(stdout);
    for (int i = 0; i < BOOT_PROBES; ++i) {
        const std::uint16_t product_id = usb_device_probe(serial);
        if (product_id != 0) {
            std::printf("[OK - %.4x:%.4x]\n", DEVICE_VENDOR_ID, product_id);
            std::fflush(stdout);
            return 0;
        }
        sleep_ms(BOOT_PROBE_PAUSE_MS);
        std::fflush(stdout);
    }
    std::fputs("[FAIL]\n", stderr);
    std::fflush(stderr);
    return -1;
}
