#include "usb/usbhid_device_win.h"

#include <cstdlib>
#include <cstring>

#include "usb/usb_strings.h"

namespace {

// HID strings come as UTF-16 code units in host order from the platform.
bool hid_string_equals(bool (*get)(plat_handle, std::uint16_t*, std::uint32_t), plat_handle handle,
                       const char* text)
{
    std::uint16_t units[USB_STRING_MAX + 1] = {};
    if (!get(handle, units, sizeof units - sizeof units[0]))  // keep a NUL unit at the end
        return false;
    std::uint8_t le[2 * (USB_STRING_MAX + 1)];
    for (std::size_t i = 0; i <= USB_STRING_MAX; ++i) {
        le[2 * i] = static_cast<std::uint8_t>(units[i]);
        le[2 * i + 1] = static_cast<std::uint8_t>(units[i] >> 8);
    }
    char converted[USB_STRING_MAX + 1];
    usb_string_from_utf16le(le, USB_STRING_MAX + 1, converted, sizeof converted);
    return std::strcmp(converted, text) == 0;
}

// The vendor collection test of one opened interface.
bool is_vendor_collection(plat_handle handle, std::int32_t* feature_length)
{
    plat_preparsed parsed = nullptr;
    if (!plat_hidd_get_preparsed_data(handle, &parsed))
        return false;
    plat_hid_caps caps{};
    const bool ok = plat_hidp_get_caps(parsed, &caps) == PLAT_HIDP_STATUS_SUCCESS &&
                    caps.usage_page == VENDOR_USAGE_PAGE && caps.usage == VENDOR_USAGE;
    plat_hidd_free_preparsed_data(parsed);
    if (ok)
        *feature_length = caps.feature_report_byte_length;
    return ok;
}

bool try_interface(usbhid_device* dev, plat_devinfo list, const plat_device_interface* iface,
                   const char* serial)
{
    std::uint32_t size = 0;
    plat_setupdi_get_device_interface_detail(list, iface, nullptr, 0, &size);
    if (size == 0)
        return false;
    char* path = static_cast<char*>(std::calloc(1, size));
    if (!path)
        return false;
    if (!plat_setupdi_get_device_interface_detail(list, iface, path, size, nullptr)) {
        std::free(path);
        return false;
    }
    path[size - 1] = '\0';
    plat_handle handle = plat_create_file(path, PLAT_GENERIC_READ | PLAT_GENERIC_WRITE,
                                          PLAT_FILE_SHARE_READ | PLAT_FILE_SHARE_WRITE,
                                          PLAT_FILE_FLAG_OVERLAPPED);
    std::free(path);
    if (handle == PLAT_INVALID_HANDLE)
        return false;

    plat_hid_attributes attributes{};
    std::int32_t feature_length = 0;
    // An interface whose attributes cannot be read cannot be matched.
    const bool match = plat_hidd_get_attributes(handle, &attributes) &&
                       (dev->vendor_id == ANY_ID || attributes.vendor_id == dev->vendor_id) &&
                       (dev->product_id == ANY_ID || attributes.product_id == dev->product_id) &&
                       is_vendor_collection(handle, &feature_length) &&
                       (serial == nullptr ||
                        hid_string_equals(plat_hidd_get_serial_number_string, handle, serial) ||
                        hid_string_equals(plat_hidd_get_product_string, handle, serial));
    if (!match) {
        plat_close_handle(handle);
        return false;
    }
    dev->handle = handle;
    dev->vendor_id = attributes.vendor_id;
    dev->product_id = attributes.product_id;
    dev->feature_length = feature_length;
    return true;
}

}  // namespace

usbhid_device* usbhid_device_open(std::uint16_t vendor_id, std::uint16_t product_id,
                                  const char* serial)
{
    auto* dev = static_cast<usbhid_device*>(std::calloc(1, sizeof(usbhid_device)));
    if (!dev)
        return nullptr;
    dev->vendor_id = vendor_id;
    dev->product_id = product_id;

    plat_devinfo list = plat_setupdi_get_hid_class_devs();
    if (!list) {
        std::free(dev);
        return nullptr;
    }
    bool found = false;
    std::uint32_t errors = 0;
    for (std::uint32_t index = 0; !found; ++index) {
        plat_device_interface iface{};
        if (!plat_setupdi_enum_device_interfaces(list, index, &iface)) {
            // Any failure but the end of the list skips one index; a list
            // that keeps failing is given up rather than walked for ever.
            if (plat_get_last_error() == PLAT_ERROR_NO_MORE_ITEMS || ++errors >= USBHID_MAX_ENUM_ERRORS)
                break;
            continue;
        }
        found = try_interface(dev, list, &iface, serial);
    }
    plat_setupdi_destroy_device_info_list(list);
    if (!found) {
        std::free(dev);
        return nullptr;
    }
    return dev;
}

void usbhid_device_close(usbhid_device* dev)
{
    if (!dev)
        return;
    if (dev->handle)
        plat_close_handle(dev->handle);
    dev->handle = nullptr;
    std::free(dev);
}

std::int32_t usbhid_device_feature_length(const usbhid_device* dev)
{
    return dev ? dev->feature_length : -1;
}

int usbhid_device_get_feature(usbhid_device* dev, std::uint8_t* buffer)
{
    if (!dev || dev->feature_length <= 0)
        return -1;
    return plat_hidd_get_feature(dev->handle, buffer, static_cast<std::uint32_t>(dev->feature_length))
               ? dev->feature_length
               : -1;
}

int usbhid_device_set_feature(usbhid_device* dev, const std::uint8_t* buffer)
{
    if (!dev || dev->feature_length <= 0)
        return -1;
    return plat_hidd_set_feature(dev->handle, buffer, static_cast<std::uint32_t>(dev->feature_length))
               ? dev->feature_length
               : -1;
}
