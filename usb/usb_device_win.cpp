#include "usb/usb_device_win.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "usb/usb_strings.h"
#include "usb/wire.h"

namespace {

struct name_list_deleter {
    void operator()(char* p) const { std::free(p); }
};

// Reads string descriptor `index` in the device's first language as 8-bit
// text. False when the device has no such string.
bool read_string(plat_winusb winusb, std::uint8_t index, char* out, std::size_t out_size)
{
    if (index == 0)
        return false;
    std::uint8_t buf[USB_DESCRIPTOR_BUFFER_SIZE] = {};
    std::uint32_t n = 0;
    if (!plat_winusb_get_descriptor(winusb, 3, 0, 0, buf, sizeof buf, &n) || n < 4 || buf[0] < 4)
        return false;
    const std::uint16_t language = wire_get16(buf + 2);
    std::memset(buf, 0, sizeof buf);
    n = 0;
    if (!plat_winusb_get_descriptor(winusb, 3, index, language, buf, sizeof buf, &n) || n < 2)
        return false;
    std::uint32_t length = buf[0] < n ? buf[0] : n;
    if (length < 2)
        return false;
    usb_string_from_utf16le(buf + 2, (length - 2) / 2, out, out_size);
    return true;
}

// The -S rule: the serial-number string, or else the product string.
bool serial_matches(plat_winusb winusb, const std::uint8_t* descriptor, const char* serial)
{
    char text[USB_STRING_MAX + 1];
    if (read_string(winusb, descriptor[16], text, sizeof text) && std::strcmp(text, serial) == 0)
        return true;
    return read_string(winusb, descriptor[15], text, sizeof text) && std::strcmp(text, serial) == 0;
}

bool usb_device_scan(usb_device* dev, bool interface_test, const char* serial)
{
    std::unique_ptr<char, name_list_deleter> list(static_cast<char*>(std::malloc(USB_NAME_LIST_SIZE)));
    if (!list)
        return false;
    const std::uint32_t count = plat_query_dos_device(list.get(), USB_NAME_LIST_SIZE);
    if (count == 0 || count > USB_NAME_LIST_SIZE)
        return false;

    char vid_text[16], pid_text[16], mi_text[24];
    std::snprintf(vid_text, sizeof vid_text, "VID_%.4X", dev->vendor_id);
    std::snprintf(pid_text, sizeof pid_text, "PID_%.4X", dev->product_id);
    std::snprintf(mi_text, sizeof mi_text, "MI_%.2d", dev->interface_number);

    const char* names = list.get();
    std::uint32_t pos = 0;
    while (pos < count) {
        // A list whose last name lacks its NUL ends at the count, not beyond.
        const void* nul = std::memchr(names + pos, '\0', count - pos);
        const std::uint32_t len = nul ? static_cast<std::uint32_t>(static_cast<const char*>(nul) - (names + pos))
                                      : count - pos;
        std::string_view name(names + pos, len);
        pos += len + 1;
        if (len == 0)
            continue;
        if (dev->vendor_id != ANY_ID && name.find(vid_text) == std::string_view::npos)
            continue;
        if (dev->product_id != ANY_ID && name.find(pid_text) == std::string_view::npos)
            continue;
        if (interface_test && name.find(mi_text) == std::string_view::npos)
            continue;
        // Longer names do not fit the path buffer; they are passed over.
        if (len > USB_MAX_NAME_LENGTH)
            continue;

        char path[4 + USB_MAX_NAME_LENGTH + 1];
        std::memcpy(path, "\\\\?\\", 4);
        std::memcpy(path + 4, name.data(), len);
        path[4 + len] = '\0';

        plat_handle file = plat_create_file(path, PLAT_GENERIC_READ | PLAT_GENERIC_WRITE,
                                            PLAT_FILE_SHARE_READ, PLAT_FILE_FLAG_OVERLAPPED);
        if (file == PLAT_INVALID_HANDLE)
            continue;
        plat_winusb winusb = nullptr;
        if (!plat_winusb_initialize(file, &winusb)) {
            plat_close_handle(file);
            continue;
        }
        std::uint8_t descriptor[USB_DESCRIPTOR_BUFFER_SIZE] = {};
        std::uint32_t got = 0;
        bool ok = plat_winusb_get_descriptor(winusb, 1, 0, 0, descriptor, sizeof descriptor, &got) &&
                  got >= 18;
        if (ok) {
            const std::uint16_t vid = wire_get16(descriptor + 8);
            const std::uint16_t pid = wire_get16(descriptor + 10);
            ok = (dev->vendor_id == ANY_ID || vid == dev->vendor_id) &&
                 (dev->product_id == ANY_ID || pid == dev->product_id) &&
                 (serial == nullptr || serial_matches(winusb, descriptor, serial));
        }
        if (!ok) {
            plat_winusb_free(winusb);
            plat_close_handle(file);
            continue;
        }
        dev->vendor_id = wire_get16(descriptor + 8);
        dev->product_id = wire_get16(descriptor + 10);
        dev->bcd_device = wire_get16(descriptor + 12);
        dev->file_handle = file;
        dev->winusb_handle = winusb;
        return true;
    }
    return false;
}

int class_transfer(usb_device* dev, std::uint8_t request_type, std::uint8_t request,
                   std::uint16_t value, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t platform_length, std::uint32_t* count)
{
    *count = 0;
    std::uint8_t setup[8];
    wire_setup_packet(setup, request_type, request, value,
                      static_cast<std::uint16_t>(dev->interface_number),
                      static_cast<std::uint16_t>(length));
    std::uint32_t moved = 0;
    if (!plat_winusb_control_transfer(dev->winusb_handle, setup, buffer, platform_length, &moved))
        return -1;  // the last-error code stays as the platform left it
    *count = moved;
    return 0;
}

}  // namespace

usb_device* usb_device_open(std::uint16_t vendor_id, std::uint16_t product_id,
                            std::int32_t interface_number, const char* serial)
{
    auto* dev = static_cast<usb_device*>(std::calloc(1, sizeof(usb_device)));
    if (!dev)
        return nullptr;
    dev->vendor_id = vendor_id;
    dev->product_id = product_id;
    dev->interface_number = interface_number;
    if (usb_device_scan(dev, true, serial) || usb_device_scan(dev, false, serial))
        return dev;
    std::free(dev);
    return nullptr;
}

void usb_device_close(usb_device* dev)
{
    if (!dev)
        return;
    if (dev->winusb_handle)
        plat_winusb_free(dev->winusb_handle);
    if (dev->file_handle && dev->file_handle != PLAT_INVALID_HANDLE)
        plat_close_handle(dev->file_handle);
    std::free(dev);
}

std::uint16_t usb_device_probe(const char* serial)
{
    usb_device* dev = usb_device_open(DEVICE_VENDOR_ID, ANY_ID, 0, serial);
    if (!dev)
        return 0;
    const std::uint16_t result = dev->vendor_id == DEVICE_VENDOR_ID ? dev->product_id : 0;
    usb_device_close(dev);
    return result;
}

std::uint16_t usb_device_vendor_id(const usb_device* dev) { return dev->vendor_id; }
std::uint16_t usb_device_product_id(const usb_device* dev) { return dev->product_id; }
std::uint16_t usb_device_bcd_device(const usb_device* dev) { return dev->bcd_device; }

int usb_device_class_out(usb_device* dev, std::uint8_t request, std::uint16_t value,
                         const std::uint8_t* data, std::uint32_t length, std::uint32_t* sent)
{
    // The platform call takes a non-const buffer; a host-to-device transfer
    // only reads it.
    return class_transfer(dev, USB_REQUEST_TYPE_CLASS_OUT, request, value,
                          const_cast<std::uint8_t*>(data), length, length, sent);
}

int usb_device_class_in(usb_device* dev, std::uint8_t request, std::uint16_t value,
                        std::uint8_t* buffer, std::uint32_t length, std::uint32_t* received)
{
    return class_transfer(dev, USB_REQUEST_TYPE_CLASS_IN, request, value, buffer, length,
                          USB_CLASS_IN_LENGTH, received);
}

int usb_device_pipe_transfer(usb_device* dev, std::uint8_t pipe, std::uint8_t* buffer,
                             std::uint32_t length)
{
    std::uint32_t moved = 0;
    const bool ok = (pipe & 0x80) ? plat_winusb_read_pipe(dev->winusb_handle, pipe, buffer, length, &moved)
                                  : plat_winusb_write_pipe(dev->winusb_handle, pipe, buffer, length, &moved);
    if (!ok)
        return -1;
    if (moved > length)  // never claim more than the buffer holds
        moved = length;
    return static_cast<int>(moved);
}

int usb_device_find_bulk_pipes(usb_device* dev, std::uint32_t* in_pipe,
                               std::uint32_t* in_max_packet, std::uint32_t* out_pipe,
                               std::uint32_t* out_max_packet)
{
    plat_interface_descriptor iface{};
    if (!plat_winusb_query_interface_settings(dev->winusb_handle, 0, &iface))
        return -1;
    bool found_in = false, found_out = false;
    for (std::uint8_t i = 0; i < iface.num_endpoints; ++i) {
        plat_pipe_information pipe{};
        if (!plat_winusb_query_pipe(dev->winusb_handle, 0, i, &pipe))
            return -1;
        if (pipe.pipe_type != PLAT_USB_PIPE_BULK)
            continue;
        if (pipe.pipe_id & 0x80) {
            if (!found_in) {
                *in_pipe = pipe.pipe_id;
                *in_max_packet = pipe.maximum_packet_size;
                found_in = true;
            }
        } else if (!found_out) {
            *out_pipe = pipe.pipe_id;
            *out_max_packet = pipe.maximum_packet_size;
            found_out = true;
        }
    }
    return found_in && found_out ? 1 : 0;
}

void sleep_ms(std::uint32_t ms) { plat_sleep(ms); }
