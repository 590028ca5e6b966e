#include "report/report_driver.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/console.h"
#include "report/report_commands.h"
#include "usb/ids.h"
#include "usb/usb_device_win.h"

namespace {

constexpr int REPORT_DRIVER_LATER_STEP_FAILED = -99;
constexpr std::uint32_t REPORT_RESTART_PAUSE_MS = 500;
constexpr std::uint32_t REPORT_WAIT_PROBES = 601;
constexpr std::uint32_t REPORT_WAIT_INTERVAL_MS = 100;

const char* const UPGRADE_FAILED = "ERROR: Could not upgrade device.\n";
const char* const READ_INFO_FAILED = "ERROR: Could not get read info from device.\n";
const char* const COMMUNICATION_ERROR = "ERROR: Communication error\n";

struct channel_closer {
    void operator()(report_channel* c) const { report_channel_close(c); }
};
using channel_ptr = std::unique_ptr<report_channel, channel_closer>;

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

// Error lines go to standard error; what standard output holds so far comes
// out first, so the two streams read in order on a console.
void error_line(const char* text)
{
    std::fflush(stdout);
    std::fputs(text, stderr);
}

// 1 when the device came back, 0 when it did not.
int wait_for_device(const char* serial)
{
    sleep_ms(REPORT_RESTART_PAUSE_MS);
    std::fputs("Waiting for Ovandrel device to appear.", stdout);
    std::fflush(stdout);
    for (std::uint32_t i = 0; i < REPORT_WAIT_PROBES; ++i) {
        const std::uint16_t product_id = usb_device_probe(serial);
        if (product_id != 0) {
            std::printf(" [OK - %.4x:%.4x]\n", DEVICE_VENDOR_ID, product_id);
            std::fflush(stdout);
            return 1;
        }
        sleep_ms(REPORT_WAIT_INTERVAL_MS);
        std::fputs(".", stdout);
        std::fflush(stdout);
    }
    std::puts(" [FAIL]");
    std::fflush(stdout);
    return 0;
}

int closing_failure(bool upgrade)
{
    error_line(upgrade ? UPGRADE_FAILED : READ_INFO_FAILED);
    std::puts("");
    std::fflush(stdout);
    return -1;
}

int upgrade_failure(int result)
{
    error_line(UPGRADE_FAILED);
    std::puts("");
    std::fflush(stdout);
    return result;
}

int read_diagnostics(report_channel* channel)
{
    std::unique_ptr<char, free_deleter> text(static_cast<char*>(std::calloc(1, REPORT_READ_INFO_SIZE)));
    if (!text || report_read_info(channel, text.get()) < 0) {
        error_line(COMMUNICATION_ERROR);
        error_line(READ_INFO_FAILED);
        std::puts("");
        std::fflush(stdout);
        return REPORT_DRIVER_LATER_STEP_FAILED;
    }
    std::printf("%s", text.get());
    std::fflush(stdout);
    std::puts("");
    std::fflush(stdout);
    return 0;
}

int upgrade(report_channel* channel, const char* serial, const std::uint8_t* image, std::int32_t size,
            bool restart, char* text)
{
    std::puts("Flash process begins. Please do not power off or unplug your machine.");
    std::fflush(stdout);
    int result_code = 0;
    if (report_upgrade(channel, image, size, text, &result_code, report_progress_printer) < 0) {
        error_line(COMMUNICATION_ERROR);
        return upgrade_failure(REPORT_DRIVER_LATER_STEP_FAILED);
    }
    if (result_code != 0)
        std::printf("\nFlash status: %s, %d\n", text, result_code);
    else
        std::puts("\nFlash OK!");
    std::fflush(stdout);
    const int result = result_code;

    if (restart) {
        std::puts("\nRestarting Device!");
        std::fflush(stdout);
        if (report_reset(channel) < 0) {
            error_line(COMMUNICATION_ERROR);
            return upgrade_failure(REPORT_DRIVER_LATER_STEP_FAILED);
        }
        if (!wait_for_device(serial))
            return upgrade_failure(REPORT_DRIVER_LATER_STEP_FAILED);
    }

    if (result < 0)
        return upgrade_failure(result);
    std::puts("");
    std::fflush(stdout);
    return result;
}

}  // namespace

int report_driver_probe(std::uint16_t vendor_id, std::uint16_t product_id, const char* serial)
{
    int status = 0;
    channel_ptr channel(report_channel_open(vendor_id, product_id, serial));
    if (!channel)
        return -1;
    char text[REPORT_TEXT_SIZE];
    return report_get_info(channel.get(), &status, text);
}

int report_driver_reset(std::uint16_t vendor_id, std::uint16_t product_id, const char* serial)
{
    channel_ptr channel(report_channel_open(vendor_id, product_id, serial));
    if (!channel) {
        std::fflush(stdout);
        std::fprintf(stderr, "ERROR: Could not open USB device %.4X:%.4X\n", vendor_id, product_id);
        std::puts("");
        std::fflush(stdout);
        return -1;
    }
    int result = 0;
    if (report_reset(channel.get()) < 0) {
        error_line(COMMUNICATION_ERROR);
        result = -1;
    }
    std::puts("");
    std::fflush(stdout);
    return result;
}

int report_driver_run(std::uint16_t vendor_id, std::uint16_t product_id, const char* serial,
                      const std::uint8_t* image, std::int32_t size, bool restart)
{
    const bool with_image = image != nullptr;
    channel_ptr channel(report_channel_open(vendor_id, product_id, serial));
    if (!channel) {
        std::fflush(stdout);
        std::fprintf(stderr, "ERROR: Could not open USB device %.4X:%.4X\n", vendor_id, product_id);
        return closing_failure(with_image);
    }

    char text[REPORT_TEXT_SIZE] = {};
    int status = 0;
    if (report_get_info(channel.get(), &status, text) < 0) {
        error_line(COMMUNICATION_ERROR);
        return closing_failure(with_image);
    }
    std::printf("Device info: [%.2x] %s\n\n", static_cast<unsigned>(status), text);
    std::fflush(stdout);

    if (!with_image)
        return read_diagnostics(channel.get());
    return upgrade(channel.get(), serial, image, size, restart, text);
}
