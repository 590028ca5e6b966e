#include "dfu/dfu_upgrade.h"

#include <cstdio>

#include "app/console.h"
#include "dfu/dfu_engine.h"
#include "usb/ids.h"
#include "usb/usb_device_win.h"

namespace {

constexpr int WAIT_ATTEMPTS = 601;
constexpr std::uint32_t WAIT_PERIOD_MS = 100;
constexpr std::uint32_t DETACH_PAUSE_MS = 500;

enum upgrade_state {
    WAIT_FOR_DEVICE,
    DETACH_RUNTIME,
    WAIT_FOR_DFU_MODE,
    TRANSFER,
    WAIT_AFTER_SUCCESS,
    WAIT_AFTER_FAILURE,
};

// The handle of the device once it is there, or null after 601 attempts.
dfu_handle* wait_for_device(const char* serial)
{
    std::fputs("Waiting for Ovandrel device to appear.", stdout);
    std::fflush(stdout);
    for (int attempt = 0; attempt < WAIT_ATTEMPTS; ++attempt) {
        const std::uint16_t product_id = usb_device_probe(serial);
        if (product_id != 0) {
            const std::int32_t iface = product_id == DFU_MODE_PRODUCT_ID ? 0 : 1;
            if (dfu_handle* h = dfu_new(DEVICE_VENDOR_ID, product_id, iface, serial)) {
                const usb_device* dev = dfu_usb_device(h);
                std::printf(" [OK - %.4x:%.4x v%.4x]\n", usb_device_vendor_id(dev),
                            usb_device_product_id(dev), usb_device_bcd_device(dev));
                std::fflush(stdout);
                return h;
            }
        }
        std::fputs(".", stdout);
        std::fflush(stdout);
        sleep_ms(WAIT_PERIOD_MS);
    }
    std::puts(" [FAIL]");
    std::fflush(stdout);
    return nullptr;
}

bool in_dfu_mode(dfu_handle* h) { return usb_device_product_id(dfu_usb_device(h)) == DFU_MODE_PRODUCT_ID; }

}  // namespace

void dfu_upgrade_failed(dfu_handle* handle, const std::uint8_t* image)
{
    std::fflush(stdout);
    std::fputs(image ? "\nERROR: Could not upgrade device.\n" : "\nERROR: Could not get read info from device.\n",
               stderr);
    std::fflush(stderr);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    dfu_free(handle);
}

int dfu_upgrade(const char* serial, const std::uint8_t* image, std::int32_t size, bool restart)
{
    upgrade_state state = WAIT_FOR_DEVICE;
    upgrade_state after = WAIT_AFTER_SUCCESS;
    dfu_handle* h = nullptr;
    for (;;) {
        switch (state) {
        case WAIT_FOR_DEVICE:
        case WAIT_FOR_DFU_MODE:
        case WAIT_AFTER_SUCCESS:
        case WAIT_AFTER_FAILURE:
            h = wait_for_device(serial);
            if (!h) {
                dfu_upgrade_failed(nullptr, image);
                return -1;
            }
            if (state == WAIT_FOR_DEVICE) {
                state = in_dfu_mode(h) ? TRANSFER : DETACH_RUNTIME;
            } else if (state == WAIT_FOR_DFU_MODE) {
                if (!in_dfu_mode(h)) {
                    std::fflush(stdout);
                    std::fputs("\nERROR: Device is not in upgrade mode.\n", stderr);
                    dfu_upgrade_failed(h, image);
                    return -1;
                }
                state = TRANSFER;
            } else if (state == WAIT_AFTER_SUCCESS) {
                std::fputs("\n", stdout);
                std::fflush(stdout);
                dfu_free(h);
                return dfu_failure_reported ? -1 : 0;
            } else {
                dfu_upgrade_failed(h, image);
                return -1;
            }
            break;
        case DETACH_RUNTIME:
            if (dfu_detach_device(h, "run-time", dfu_progress_printer) < 0) {
                dfu_upgrade_failed(h, image);
                return -1;
            }
            dfu_free(h);
            h = nullptr;
            sleep_ms(DETACH_PAUSE_MS);
            state = WAIT_FOR_DFU_MODE;
            break;
        case TRANSFER: {
            if (image) {
                std::puts("Flash process begins. Please do not power off or unplug your machine.");
                std::fflush(stdout);
            }
            const int result = dfu_transfer(h, image, size, dfu_progress_printer);
            after = result == 0 ? WAIT_AFTER_SUCCESS : WAIT_AFTER_FAILURE;
            if (result != 0) {
                if (const char* message = dfu_take_message(h)) {
                    std::printf("%s\n", message);
                    std::fflush(stdout);
                }
            }
            if (restart) {
                if (dfu_detach_device(h, "DFU", dfu_progress_printer) < 0) {
                    dfu_upgrade_failed(h, image);
                    return -1;
                }
                sleep_ms(DETACH_PAUSE_MS);
            }
            dfu_free(h);
            h = nullptr;
            state = after;
            break;
        }
        }
    }
}
