#include "dfu/dfu_request.h"

#include "platform/platform.h"
#include "usb/wire.h"

namespace {

const char* const STATUS_NAMES[] = {
    "OK",
    "ERROR Target",
    "ERROR File",
    "ERROR Write",
    "ERROR Erase",
    "ERROR Check Erased",
    "ERROR Prog",
    "ERROR Verify",
    "ERROR Address",
    "ERROR Not Done",
    "ERROR Firmware",
    "ERROR Vendor",
    "ERROR USBR",
    "ERROR POR",
    "ERROR Unknown",
    "ERROR Stalled Packet",
};

// Only the low 16 bits of the caller's block counter go on the wire.
std::uint16_t block_value(std::int32_t block) { return static_cast<std::uint16_t>(block & 0xFFFF); }

}  // namespace

int dfu_detach(usb_device* dev)
{
    std::uint32_t sent = 0;
    if (usb_device_class_out(dev, DFU_REQUEST_DETACH, DFU_DETACH_TIMEOUT_MS, nullptr, 0, &sent) == 0)
        return 0;
    // Read at once, before anything else can overwrite it.
    return plat_get_last_error() == PLAT_ERROR_GEN_FAILURE ? 0 : -1;
}

int dfu_dnload(usb_device* dev, const std::uint8_t* data, std::uint32_t length, std::int32_t block)
{
    std::uint32_t sent = 0;
    if (usb_device_class_out(dev, DFU_REQUEST_DNLOAD, block_value(block), length ? data : nullptr,
                             length, &sent) != 0)
        return -1;
    return static_cast<int>(sent > length ? length : sent);
}

int dfu_upload(usb_device* dev, std::uint8_t* buffer, std::int32_t block)
{
    std::uint32_t received = 0;
    if (usb_device_class_in(dev, DFU_REQUEST_UPLOAD, block_value(block), buffer, DFU_UPLOAD_BLOCK,
                            &received) != 0)
        return -1;
    return static_cast<int>(received > DFU_UPLOAD_BLOCK ? DFU_UPLOAD_BLOCK : received);
}

int dfu_get_status(usb_device* dev, dfu_status* status)
{
    // The platform is handed USB_CLASS_IN_LENGTH as the room, whatever wLength says.
    std::uint8_t answer[USB_CLASS_IN_LENGTH] = {};
    std::uint32_t received = 0;
    if (usb_device_class_in(dev, DFU_REQUEST_GETSTATUS, 0, answer, DFU_STATUS_LENGTH, &received) != 0 ||
        received != DFU_STATUS_LENGTH)
        return -1;
    status->bStatus = answer[0];
    status->bwPollTimeout = wire_get24(answer + 1);
    status->bState = answer[4];
    status->iString = answer[5];
    return static_cast<int>(DFU_STATUS_LENGTH);
}

int dfu_clear_status(usb_device* dev)
{
    std::uint32_t sent = 0;
    return usb_device_class_out(dev, DFU_REQUEST_CLRSTATUS, 0, nullptr, 0, &sent) == 0 ? 0 : -1;
}

int dfu_abort(usb_device* dev)
{
    std::uint32_t sent = 0;
    return usb_device_class_out(dev, DFU_REQUEST_ABORT, 0, nullptr, 0, &sent) == 0 ? 0 : -1;
}

const char* dfu_status_name(std::uint32_t code)
{
    constexpr std::uint32_t count = sizeof STATUS_NAMES / sizeof STATUS_NAMES[0];
    return code < count ? STATUS_NAMES[code] : "ERROR Unknown Status Value";
}
