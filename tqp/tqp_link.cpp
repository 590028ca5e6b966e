#include "tqp/tqp_link.h"

#include <cstring>

#include "usb/ids.h"
#include "usb/usb_device_win.h"

namespace {

// One buffer for both directions; there is only ever one link.
std::uint8_t g_report[TQP_REPORT_SIZE];

// The device in the slot, provided its reports fit the buffer exactly.
usbhid_device* slot_device(void* context)
{
    usbhid_device* dev = context ? *static_cast<usbhid_device**>(context) : nullptr;
    return usbhid_device_feature_length(dev) == TQP_REPORT_SIZE ? dev : nullptr;
}

}  // namespace

int tqp_link_open(usbhid_device** slot, const char* serial)
{
    const std::uint16_t product_id = usb_device_probe(serial);
    if (product_id == 0)
        return 1;
    *slot = usbhid_device_open(DEVICE_VENDOR_ID, product_id, serial);
    if (*slot && usbhid_device_feature_length(*slot) != TQP_REPORT_SIZE) {
        // Reads and writes always move whole reports: any other size cannot
        // carry a 255-byte frame, and a longer one would overrun the buffer.
        usbhid_device_close(*slot);
        *slot = nullptr;
    }
    return *slot ? 0 : 1;
}

struct link* tqp_link_init(usbhid_device** slot, struct link* out)
{
    out->send_frame = tqp_link_send;
    out->receive_frame = tqp_link_receive;
    out->tq_frame_size = TQP_FRAME_SIZE;
    out->context = slot;
    return out;
}

int tqp_link_send(void* context, const std::uint8_t* frame, std::uint32_t length)
{
    usbhid_device* dev = slot_device(context);
    if (!dev || length > TQP_FRAME_SIZE || (length > 0 && !frame))
        return 1;
    g_report[0] = VENDOR_REPORT_ID;
    g_report[1] = TQP_MARK_FRAME;
    if (length > 0)
        std::memcpy(g_report + 2, frame, length);
    std::memset(g_report + 2 + length, 0, TQP_FRAME_SIZE - length);
    return usbhid_device_set_feature(dev, g_report) == -1 ? 1 : 0;
}

int tqp_link_receive(void* context, const std::uint8_t** frame, std::uint32_t* length)
{
    usbhid_device* dev = slot_device(context);
    if (!dev)
        return 1;
    g_report[0] = VENDOR_REPORT_ID;
    const int n = usbhid_device_get_feature(dev, g_report);
    if (n < 0 || n > TQP_REPORT_SIZE)
        return 1;
    if (g_report[1] == TQP_MARK_ERROR)
        return 1;
    *frame = g_report + 2;
    *length = g_report[1] == TQP_MARK_FRAME && n >= 2 ? static_cast<std::uint32_t>(n - 2) : 0;
    return 0;
}

void tqp_link_close(usbhid_device** slot)
{
    usbhid_device_close(*slot);
    *slot = nullptr;
}
