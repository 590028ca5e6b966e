// The Linux backend of the seam: WinUSB's services over libusb-1.0, the HID
// class's over hidraw and sysfs. Each function is a thin match for the
// Windows call it stands for; nothing here knows any protocol.
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <mutex>
#include <set>
#include <string>
#include <strings.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/linux/hid_descriptor.h"
#include "platform/platform.h"
#include "usb/wire.h"

namespace {

constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
constexpr std::uint32_t ERROR_BUSY = 170;
constexpr std::int32_t HIDP_STATUS_INVALID_PREPARSED_DATA = static_cast<std::int32_t>(0xC0110001u);

// WinUSB's default time-out for control transfers. Pipes keep WinUSB's
// default of none: a read waits until data comes or the device goes.
constexpr unsigned CONTROL_TIMEOUT_MS = 5000;
constexpr unsigned PIPE_TIMEOUT_MS = 0;

const char* const GUID_USB_DEVICE = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const char* const GUID_WINUSB = "{dee824ef-729b-4a0e-9c14-b7117d33a817}";
const char* const HIDRAW_CLASS_DIR = "/sys/class/hidraw";
const char* const HIDRAW_DEV_PREFIX = "/dev/hidraw";
const char* const COLLECTION_SUFFIX = "&col";  // a top-level collection past the first
constexpr std::size_t HID_DESCRIPTOR_MAX = 4096;  // HID_MAX_DESCRIPTOR_SIZE of the kernel

thread_local std::uint32_t t_last_error = 0;

bool fail(std::uint32_t error)
{
    t_last_error = error;
    return false;
}

std::uint32_t usb_error(int code)
{
    switch (code) {
    case LIBUSB_ERROR_PIPE: return PLAT_ERROR_GEN_FAILURE;  // a stall, as WinUSB reports it
    case LIBUSB_ERROR_NO_DEVICE: return PLAT_ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_ERROR_TIMEOUT: return PLAT_ERROR_SEM_TIMEOUT;
    case LIBUSB_ERROR_ACCESS: return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY: return ERROR_BUSY;
    case LIBUSB_ERROR_NO_MEM: return PLAT_ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_NOT_FOUND: return PLAT_ERROR_FILE_NOT_FOUND;
    case LIBUSB_ERROR_INVALID_PARAM: return PLAT_ERROR_INVALID_PARAMETER;
    default: return PLAT_ERROR_GEN_FAILURE;
    }
}

std::uint32_t errno_error(int e)
{
    switch (e) {
    case ENOENT: return PLAT_ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN: return PLAT_ERROR_DEVICE_NOT_CONNECTED;
    case ETIMEDOUT: return PLAT_ERROR_SEM_TIMEOUT;
    case EINVAL: return PLAT_ERROR_INVALID_PARAMETER;
    case ENOMEM: return PLAT_ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY: return ERROR_BUSY;
    default: return PLAT_ERROR_GEN_FAILURE;
    }
}

// --- handles -------------------------------------------------------------

enum object_kind { OBJ_USB_FILE, OBJ_WINUSB, OBJ_HID_FILE, OBJ_DEVINFO, OBJ_PREPARSED };

struct object {
    object_kind kind;
    // OBJ_USB_FILE: its own context, so nothing is shared between handles.
    libusb_context* ctx = nullptr;
    libusb_device_handle* usb = nullptr;
    int iface = -1;  // the interface the name stands for; -1 for the parent device node
    // OBJ_WINUSB
    object* file = nullptr;
    // OBJ_HID_FILE
    int fd = -1;
    std::string sysfs;      // /sys/class/hidraw/hidrawN
    unsigned collection = 0;
    // OBJ_DEVINFO
    std::vector<std::string> paths;
    // OBJ_PREPARSED
    hid_collection_caps caps{};
};

std::mutex g_objects_mutex;
std::set<object*> g_objects;

object* new_object(object_kind kind)
{
    auto* o = new object{};
    o->kind = kind;
    std::lock_guard lock(g_objects_mutex);
    g_objects.insert(o);
    return o;
}

object* object_of(void* handle, object_kind kind)
{
    auto* o = static_cast<object*>(handle);
    std::lock_guard lock(g_objects_mutex);
    if (!g_objects.count(o) || o->kind != kind)
        return nullptr;
    return o;
}

void delete_object(object* o)
{
    {
        std::lock_guard lock(g_objects_mutex);
        g_objects.erase(o);
    }
    delete o;
}

// --- device names ----------------------------------------------------------

// A device's place on the bus: bus, port path and address. The address
// changes at every enumeration, so a name never outlives the device it named.
std::string location_of(libusb_device* dev)
{
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    char text[64];
    int pos = std::snprintf(text, sizeof text, "%u&", libusb_get_bus_number(dev));
    for (int i = 0; i < n; ++i)
        pos += std::snprintf(text + pos, sizeof text - static_cast<std::size_t>(pos), i ? ".%u" : "%u",
                             ports[i]);
    if (n <= 0)
        pos += std::snprintf(text + pos, sizeof text - static_cast<std::size_t>(pos), "0");
    std::snprintf(text + pos, sizeof text - static_cast<std::size_t>(pos), "&%u",
                  libusb_get_device_address(dev));
    return text;
}

struct name_entry {
    std::string name;
    int iface;  // -1: the device node, which WinUSB never serves
};

// The names one device shows, as Windows names them: a composite device
// has its device node and one name per interface (MI_nn); a device with one
// interface has one name, without MI_.
std::vector<name_entry> names_of(libusb_device* dev)
{
    std::vector<name_entry> out;
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(dev, &dd) != 0)
        return out;
    char ids[32];
    std::snprintf(ids, sizeof ids, "VID_%04X&PID_%04X", dd.idVendor, dd.idProduct);
    const std::string loc = location_of(dev);
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != 0 || !config) {
        out.push_back({std::string("USB#") + ids + "#" + loc + "#" + GUID_USB_DEVICE, -1});
        return out;
    }
    if (config->bNumInterfaces == 1 && config->interface[0].num_altsetting > 0) {
        out.push_back({std::string("USB#") + ids + "#" + loc + "#" + GUID_USB_DEVICE,
                       config->interface[0].altsetting[0].bInterfaceNumber});
    } else {
        out.push_back({std::string("USB#") + ids + "#" + loc + "#" + GUID_USB_DEVICE, -1});
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            if (config->interface[i].num_altsetting <= 0)
                continue;
            const unsigned number = config->interface[i].altsetting[0].bInterfaceNumber;
            char mi[32];
            std::snprintf(mi, sizeof mi, "&MI_%02u#", number);
            char child[16];
            std::snprintf(child, sizeof child, "&%04u#", number);
            out.push_back({std::string("USB#") + ids + mi + loc + child + GUID_WINUSB,
                           static_cast<int>(number)});
        }
    }
    libusb_free_config_descriptor(config);
    return out;
}

// A fresh context for one look at the bus: nothing is cached between calls,
// and a device that re-enumerated is seen as it is now.
struct usb_scan {
    libusb_context* ctx = nullptr;
    libusb_device** list = nullptr;
    ssize_t count = 0;
    int error = 0;

    usb_scan()
    {
        error = libusb_init(&ctx);
        if (error != 0) {
            ctx = nullptr;
            return;
        }
        count = libusb_get_device_list(ctx, &list);
        if (count < 0) {
            error = static_cast<int>(count);
            count = 0;
            list = nullptr;
        }
    }
    ~usb_scan()
    {
        if (list)
            libusb_free_device_list(list, 1);
        if (ctx)
            libusb_exit(ctx);
    }
    // Hands the context over to a handle that keeps it.
    libusb_context* release_context()
    {
        if (list)
            libusb_free_device_list(list, 1);
        list = nullptr;
        libusb_context* c = ctx;
        ctx = nullptr;
        return c;
    }
    usb_scan(const usb_scan&) = delete;
    usb_scan& operator=(const usb_scan&) = delete;
};

// The interface descriptor (alternate setting 0) of a handle's interface.
const libusb_interface_descriptor* find_interface(const libusb_config_descriptor* config, int number,
                                                  std::uint8_t alternate)
{
    for (int i = 0; i < config->bNumInterfaces; ++i)
        for (int a = 0; a < config->interface[i].num_altsetting; ++a) {
            const libusb_interface_descriptor& d = config->interface[i].altsetting[a];
            if (d.bInterfaceNumber == number && d.bAlternateSetting == alternate)
                return &d;
        }
    return nullptr;
}

object* winusb_file(plat_winusb handle)
{
    object* w = object_of(handle, OBJ_WINUSB);
    return w ? object_of(w->file, OBJ_USB_FILE) : nullptr;
}

// --- HID through hidraw and sysfs ---------------------------------------------

bool read_file(const std::string& path, std::string* out, std::size_t limit)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out->clear();
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out->append(buf, static_cast<std::size_t>(n));
        if (out->size() > limit)
            break;
    }
    ::close(fd);
    if (out->size() > limit)
        out->resize(limit);
    return true;
}

// The top-level collections of a hidraw node, from its descriptor in sysfs.
std::size_t collection_count(const std::string& sysfs)
{
    std::string d;
    if (!read_file(sysfs + "/device/report_descriptor", &d, HID_DESCRIPTOR_MAX))
        return 1;
    std::vector<hid_collection_caps> caps;
    if (!hid_descriptor_parse(reinterpret_cast<const std::uint8_t*>(d.data()), d.size(), &caps) ||
        caps.empty())
        return 1;
    return caps.size();
}

// The USB device a hidraw node belongs to: the first ancestor of its HID
// device with an idVendor attribute.
bool usb_parent_attribute(const std::string& sysfs, const char* name, std::string* out)
{
    std::string dir = sysfs + "/device";
    for (int up = 0; up < 4; ++up, dir += "/..") {
        std::string probe;
        if (!read_file(dir + "/idVendor", &probe, 16))
            continue;
        if (!read_file(dir + "/" + name, out, 1024))
            return false;
        while (!out->empty() && (out->back() == '\n' || out->back() == '\0'))
            out->pop_back();
        return true;
    }
    return false;
}

// UTF-8 text from sysfs as the UTF-16 units HidD_Get*String fills in.
bool put_utf16(const std::string& text, std::uint16_t* buffer, std::uint32_t size)
{
    const std::uint32_t units = size / 2;
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < text.size() && n < units;) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            len = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
            cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;  // outside the BMP: one replacement unit
        }
        buffer[n++] = static_cast<std::uint16_t>(cp > 0xFFFF ? 0xFFFD : cp);
        i += len;
    }
    if (n < units)
        buffer[n] = 0;
    return true;
}

bool hid_string(plat_handle handle, const char* attribute, std::uint16_t* buffer, std::uint32_t size)
{
    object* o = object_of(handle, OBJ_HID_FILE);
    if (!o)
        return fail(ERROR_INVALID_HANDLE);
    std::string text;
    if (!usb_parent_attribute(o->sysfs, attribute, &text) || text.empty())
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    return put_utf16(text, buffer, size);
}

}  // namespace

// --- WinUSB --------------------------------------------------------------------

std::uint32_t plat_query_dos_device(char* buffer, std::uint32_t size)
{
    usb_scan scan;
    if (!scan.ctx || scan.error != 0) {
        fail(usb_error(scan.error));
        return 0;
    }
    std::uint32_t pos = 0;
    for (ssize_t i = 0; i < scan.count; ++i)
        for (const name_entry& e : names_of(scan.list[i])) {
            if (pos + e.name.size() + 1 >= size) {  // room for the list's closing NUL too
                fail(PLAT_ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(buffer + pos, e.name.c_str(), e.name.size() + 1);
            pos += static_cast<std::uint32_t>(e.name.size() + 1);
        }
    if (pos < size)
        buffer[pos] = '\0';
    return pos;
}

plat_handle plat_create_file(const char* path, std::uint32_t, std::uint32_t, std::uint32_t)
{
    if (std::strncmp(path, "\\\\?\\", 4) == 0) {
        usb_scan scan;
        if (!scan.ctx || scan.error != 0) {
            fail(usb_error(scan.error));
            return PLAT_INVALID_HANDLE;
        }
        for (ssize_t i = 0; i < scan.count; ++i)
            for (const name_entry& e : names_of(scan.list[i])) {
                if (strcasecmp(e.name.c_str(), path + 4) != 0)
                    continue;
                libusb_device_handle* h = nullptr;
                const int r = libusb_open(scan.list[i], &h);
                if (r != 0) {
                    fail(usb_error(r));
                    return PLAT_INVALID_HANDLE;
                }
                object* o = new_object(OBJ_USB_FILE);
                o->usb = h;
                o->iface = e.iface;
                o->ctx = scan.release_context();
                return o;
            }
        fail(PLAT_ERROR_FILE_NOT_FOUND);
        return PLAT_INVALID_HANDLE;
    }
    // A HID interface: /dev/hidrawN, with "&colNN" for a later top-level collection.
    std::string node = path;
    unsigned collection = 0;
    const std::size_t cut = node.find(COLLECTION_SUFFIX);
    if (cut != std::string::npos) {
        char* end = nullptr;
        const unsigned long n = std::strtoul(node.c_str() + cut + 4, &end, 10);
        if (*end != '\0' || n < 1 || n > 255) {
            fail(PLAT_ERROR_FILE_NOT_FOUND);
            return PLAT_INVALID_HANDLE;
        }
        collection = static_cast<unsigned>(n - 1);
        node.resize(cut);
    }
    if (node.compare(0, std::strlen(HIDRAW_DEV_PREFIX), HIDRAW_DEV_PREFIX) != 0) {
        fail(PLAT_ERROR_FILE_NOT_FOUND);
        return PLAT_INVALID_HANDLE;
    }
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fail(errno_error(errno));
        return PLAT_INVALID_HANDLE;
    }
    object* o = new_object(OBJ_HID_FILE);
    o->fd = fd;
    o->sysfs = std::string(HIDRAW_CLASS_DIR) + node.substr(node.rfind('/'));
    o->collection = collection;
    return o;
}

bool plat_close_handle(plat_handle handle)
{
    if (object* o = object_of(handle, OBJ_USB_FILE)) {
        libusb_close(o->usb);
        libusb_exit(o->ctx);
        delete_object(o);
        return true;
    }
    if (object* o = object_of(handle, OBJ_HID_FILE)) {
        ::close(o->fd);
        delete_object(o);
        return true;
    }
    return fail(ERROR_INVALID_HANDLE);
}

bool plat_winusb_initialize(plat_handle file, plat_winusb* out)
{
    object* f = object_of(file, OBJ_USB_FILE);
    if (!f)
        return fail(ERROR_INVALID_HANDLE);
    if (f->iface < 0)
        return fail(PLAT_ERROR_BAD_COMMAND);  // the device node: WinUSB does not serve it
    // Served means no kernel driver has the interface; never take it from one.
    const int active = libusb_kernel_driver_active(f->usb, f->iface);
    if (active != 0)
        return fail(active == 1 || active == LIBUSB_ERROR_NOT_SUPPORTED ? PLAT_ERROR_BAD_COMMAND
                                                                        : usb_error(active));
    const int r = libusb_claim_interface(f->usb, f->iface);
    if (r != 0)
        return fail(usb_error(r));
    object* w = new_object(OBJ_WINUSB);
    w->file = f;
    *out = w;
    return true;
}

bool plat_winusb_free(plat_winusb handle)
{
    object* w = object_of(handle, OBJ_WINUSB);
    if (!w)
        return fail(ERROR_INVALID_HANDLE);
    if (object* f = object_of(w->file, OBJ_USB_FILE))
        libusb_release_interface(f->usb, f->iface);  // fails harmlessly on a vanished device
    delete_object(w);
    return true;
}

bool plat_winusb_get_descriptor(plat_winusb handle, std::uint8_t type, std::uint8_t index,
                                std::uint16_t language, std::uint8_t* buffer, std::uint32_t length,
                                std::uint32_t* transferred)
{
    *transferred = 0;
    object* f = winusb_file(handle);
    if (!f)
        return fail(ERROR_INVALID_HANDLE);
    if (type == LIBUSB_DT_DEVICE && index == 0) {
        // Windows answers this one from what it read at enumeration; so does libusb.
        libusb_device_descriptor dd{};
        const int r = libusb_get_device_descriptor(libusb_get_device(f->usb), &dd);
        if (r != 0)
            return fail(usb_error(r));
        std::uint8_t d[18] = {dd.bLength, dd.bDescriptorType};
        wire_put16(d + 2, dd.bcdUSB);
        d[4] = dd.bDeviceClass;
        d[5] = dd.bDeviceSubClass;
        d[6] = dd.bDeviceProtocol;
        d[7] = dd.bMaxPacketSize0;
        wire_put16(d + 8, dd.idVendor);
        wire_put16(d + 10, dd.idProduct);
        wire_put16(d + 12, dd.bcdDevice);
        d[14] = dd.iManufacturer;
        d[15] = dd.iProduct;
        d[16] = dd.iSerialNumber;
        d[17] = dd.bNumConfigurations;
        const std::uint32_t n = std::min<std::uint32_t>(sizeof d, length);
        std::memcpy(buffer, d, n);
        *transferred = n;
        return true;
    }
    const int r = libusb_control_transfer(f->usb, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                          static_cast<std::uint16_t>((type << 8) | index), language,
                                          buffer, static_cast<std::uint16_t>(std::min<std::uint32_t>(length, 0xFFFF)),
                                          CONTROL_TIMEOUT_MS);
    if (r < 0)
        return fail(usb_error(r));
    *transferred = static_cast<std::uint32_t>(r);
    return true;
}

bool plat_winusb_query_interface_settings(plat_winusb handle, std::uint8_t alternate,
                                          plat_interface_descriptor* out)
{
    object* f = winusb_file(handle);
    if (!f)
        return fail(ERROR_INVALID_HANDLE);
    libusb_config_descriptor* config = nullptr;
    const int r = libusb_get_active_config_descriptor(libusb_get_device(f->usb), &config);
    if (r != 0)
        return fail(usb_error(r));
    const libusb_interface_descriptor* d = find_interface(config, f->iface, alternate);
    if (d)
        *out = plat_interface_descriptor{d->bLength, d->bDescriptorType, d->bInterfaceNumber,
                                         d->bAlternateSetting, d->bNumEndpoints, d->bInterfaceClass,
                                         d->bInterfaceSubClass, d->bInterfaceProtocol, d->iInterface};
    libusb_free_config_descriptor(config);
    return d ? true : fail(PLAT_ERROR_NO_MORE_ITEMS);
}

bool plat_winusb_query_pipe(plat_winusb handle, std::uint8_t alternate, std::uint8_t index,
                            plat_pipe_information* out)
{
    object* f = winusb_file(handle);
    if (!f)
        return fail(ERROR_INVALID_HANDLE);
    libusb_config_descriptor* config = nullptr;
    const int r = libusb_get_active_config_descriptor(libusb_get_device(f->usb), &config);
    if (r != 0)
        return fail(usb_error(r));
    const libusb_interface_descriptor* d = find_interface(config, f->iface, alternate);
    const bool ok = d && index < d->bNumEndpoints;
    if (ok) {
        const libusb_endpoint_descriptor& e = d->endpoint[index];
        *out = plat_pipe_information{static_cast<std::uint8_t>(e.bmAttributes & 3), e.bEndpointAddress,
                                     static_cast<std::uint16_t>(e.wMaxPacketSize & 0x7FF), e.bInterval};
    }
    libusb_free_config_descriptor(config);
    return ok ? true : fail(PLAT_ERROR_NO_MORE_ITEMS);
}

bool plat_winusb_control_transfer(plat_winusb handle, const std::uint8_t setup[8], std::uint8_t* buffer,
                                  std::uint32_t length, std::uint32_t* transferred)
{
    *transferred = 0;
    object* f = winusb_file(handle);
    if (!f)
        return fail(ERROR_INVALID_HANDLE);
    // The data stage moves at most wLength, and never more than the buffer.
    const std::uint16_t w_length = wire_get16(setup + 6);
    const auto stage = static_cast<std::uint16_t>(std::min<std::uint32_t>(w_length, length));
    const int r = libusb_control_transfer(f->usb, setup[0], setup[1], wire_get16(setup + 2),
                                          wire_get16(setup + 4), stage ? buffer : nullptr, stage,
                                          CONTROL_TIMEOUT_MS);
    if (r < 0)
        return fail(usb_error(r));
    *transferred = static_cast<std::uint32_t>(r);
    return true;
}

namespace {

bool pipe_transfer(plat_winusb handle, std::uint8_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t* transferred, bool read)
{
    *transferred = 0;
    object* f = winusb_file(handle);
    if (!f)
        return fail(ERROR_INVALID_HANDLE);
    if (((pipe & 0x80) != 0) != read || length > 0x7FFFFFFFu)
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    // The pipe must be one of the interface's, and its type picks the call.
    libusb_config_descriptor* config = nullptr;
    int r = libusb_get_active_config_descriptor(libusb_get_device(f->usb), &config);
    if (r != 0)
        return fail(usb_error(r));
    int type = -1;
    if (const libusb_interface_descriptor* d = find_interface(config, f->iface, 0))
        for (int i = 0; i < d->bNumEndpoints; ++i)
            if (d->endpoint[i].bEndpointAddress == pipe)
                type = d->endpoint[i].bmAttributes & 3;
    libusb_free_config_descriptor(config);
    if (type != LIBUSB_TRANSFER_TYPE_BULK && type != LIBUSB_TRANSFER_TYPE_INTERRUPT)
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    int done = 0;
    r = type == LIBUSB_TRANSFER_TYPE_BULK
            ? libusb_bulk_transfer(f->usb, pipe, buffer, static_cast<int>(length), &done, PIPE_TIMEOUT_MS)
            : libusb_interrupt_transfer(f->usb, pipe, buffer, static_cast<int>(length), &done,
                                        PIPE_TIMEOUT_MS);
    if (r != 0)
        return fail(usb_error(r));
    *transferred = static_cast<std::uint32_t>(done);
    return true;
}

}  // namespace

bool plat_winusb_read_pipe(plat_winusb handle, std::uint8_t pipe, std::uint8_t* buffer, std::uint32_t length,
                           std::uint32_t* transferred)
{
    return pipe_transfer(handle, pipe, buffer, length, transferred, true);
}

bool plat_winusb_write_pipe(plat_winusb handle, std::uint8_t pipe, const std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t* transferred)
{
    // libusb takes OUT data through a non-const pointer and only reads it.
    return pipe_transfer(handle, pipe, const_cast<std::uint8_t*>(buffer), length, transferred, false);
}

std::uint32_t plat_get_last_error() { return t_last_error; }

// --- HID class -------------------------------------------------------------------

plat_devinfo plat_setupdi_get_hid_class_devs()
{
    object* list = new_object(OBJ_DEVINFO);
    std::vector<unsigned> numbers;
    if (DIR* dir = ::opendir(HIDRAW_CLASS_DIR)) {  // no hidraw at all: an empty list
        while (dirent* e = ::readdir(dir)) {
            unsigned n = 0;
            char tail = 0;
            if (std::sscanf(e->d_name, "hidraw%u%c", &n, &tail) == 1)
                numbers.push_back(n);
        }
        ::closedir(dir);
    }
    std::sort(numbers.begin(), numbers.end());
    for (unsigned n : numbers) {
        const std::string name = "hidraw" + std::to_string(n);
        const std::string node = HIDRAW_DEV_PREFIX + std::to_string(n);
        const std::size_t collections = collection_count(std::string(HIDRAW_CLASS_DIR) + "/" + name);
        list->paths.push_back(node);
        for (std::size_t c = 2; c <= collections && c <= 255; ++c) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, "%s%02zu", COLLECTION_SUFFIX, c);
            list->paths.push_back(node + suffix);
        }
    }
    return list;
}

bool plat_setupdi_enum_device_interfaces(plat_devinfo list, std::uint32_t index, plat_device_interface* out)
{
    object* l = object_of(list, OBJ_DEVINFO);
    if (!l)
        return fail(ERROR_INVALID_HANDLE);
    if (index >= l->paths.size())
        return fail(PLAT_ERROR_NO_MORE_ITEMS);
    *out = plat_device_interface{};
    out->opaque[0] = index;
    return true;
}

bool plat_setupdi_get_device_interface_detail(plat_devinfo list, const plat_device_interface* iface,
                                              char* path, std::uint32_t path_size,
                                              std::uint32_t* required_size)
{
    object* l = object_of(list, OBJ_DEVINFO);
    if (!l || iface->opaque[0] >= l->paths.size())
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    const std::string& p = l->paths[iface->opaque[0]];
    const auto need = static_cast<std::uint32_t>(p.size() + 1);
    if (required_size)
        *required_size = need;
    if (!path || path_size < need)
        return fail(PLAT_ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(path, p.c_str(), need);
    return true;
}

bool plat_setupdi_destroy_device_info_list(plat_devinfo list)
{
    object* l = object_of(list, OBJ_DEVINFO);
    if (!l)
        return fail(ERROR_INVALID_HANDLE);
    delete_object(l);
    return true;
}

bool plat_hidd_get_attributes(plat_handle handle, plat_hid_attributes* out)
{
    object* o = object_of(handle, OBJ_HID_FILE);
    if (!o)
        return fail(ERROR_INVALID_HANDLE);
    hidraw_devinfo info{};
    if (::ioctl(o->fd, HIDIOCGRAWINFO, &info) < 0)
        return fail(errno_error(errno));
    std::uint16_t version = 0;
    std::string bcd;
    if (usb_parent_attribute(o->sysfs, "bcdDevice", &bcd))
        version = static_cast<std::uint16_t>(std::strtoul(bcd.c_str(), nullptr, 16));
    *out = plat_hid_attributes{static_cast<std::uint16_t>(info.vendor), static_cast<std::uint16_t>(info.product),
                               version};
    return true;
}

bool plat_hidd_get_preparsed_data(plat_handle handle, plat_preparsed* out)
{
    object* o = object_of(handle, OBJ_HID_FILE);
    if (!o)
        return fail(ERROR_INVALID_HANDLE);
    int size = 0;
    if (::ioctl(o->fd, HIDIOCGRDESCSIZE, &size) < 0)
        return fail(errno_error(errno));
    if (size < 0 || size > HID_MAX_DESCRIPTOR_SIZE)
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    hidraw_report_descriptor desc{};
    desc.size = static_cast<std::uint32_t>(size);
    if (::ioctl(o->fd, HIDIOCGRDESC, &desc) < 0)
        return fail(errno_error(errno));
    std::vector<hid_collection_caps> caps;
    if (!hid_descriptor_parse(desc.value, desc.size, &caps) || o->collection >= caps.size())
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    object* p = new_object(OBJ_PREPARSED);
    p->caps = caps[o->collection];
    *out = p;
    return true;
}

bool plat_hidd_free_preparsed_data(plat_preparsed data)
{
    object* p = object_of(data, OBJ_PREPARSED);
    if (!p)
        return fail(ERROR_INVALID_HANDLE);
    delete_object(p);
    return true;
}

std::int32_t plat_hidp_get_caps(plat_preparsed data, plat_hid_caps* out)
{
    object* p = object_of(data, OBJ_PREPARSED);
    if (!p)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *out = plat_hid_caps{p->caps.usage, p->caps.usage_page, p->caps.input_report_byte_length,
                         p->caps.output_report_byte_length, p->caps.feature_report_byte_length};
    return PLAT_HIDP_STATUS_SUCCESS;
}

namespace {

constexpr std::uint32_t HID_IOCTL_LENGTH_MAX = (1u << _IOC_SIZEBITS) - 1;

}  // namespace

bool plat_hidd_get_feature(plat_handle handle, std::uint8_t* buffer, std::uint32_t length)
{
    object* o = object_of(handle, OBJ_HID_FILE);
    if (!o)
        return fail(ERROR_INVALID_HANDLE);
    if (length == 0 || length > HID_IOCTL_LENGTH_MAX)
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    const int r = ::ioctl(o->fd, HIDIOCGFEATURE(length), buffer);
    if (r < 0)
        return fail(errno_error(errno));
    // A report shorter than the buffer: the rest reads as zeros, as on Windows.
    if (static_cast<std::uint32_t>(r) < length)
        std::memset(buffer + r, 0, length - static_cast<std::uint32_t>(r));
    return true;
}

bool plat_hidd_set_feature(plat_handle handle, const std::uint8_t* buffer, std::uint32_t length)
{
    object* o = object_of(handle, OBJ_HID_FILE);
    if (!o)
        return fail(ERROR_INVALID_HANDLE);
    if (length == 0 || length > HID_IOCTL_LENGTH_MAX)
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    // The ioctl only reads the report.
    const int r = ::ioctl(o->fd, HIDIOCSFEATURE(length), const_cast<std::uint8_t*>(buffer));
    if (r < 0)
        return fail(errno_error(errno));
    if (static_cast<std::uint32_t>(r) != length)
        return fail(PLAT_ERROR_GEN_FAILURE);
    return true;
}

bool plat_hidd_get_serial_number_string(plat_handle handle, std::uint16_t* buffer, std::uint32_t size)
{
    return hid_string(handle, "serial", buffer, size);
}

bool plat_hidd_get_product_string(plat_handle handle, std::uint16_t* buffer, std::uint32_t size)
{
    return hid_string(handle, "product", buffer, size);
}

// --- time and console -------------------------------------------------------------

void plat_sleep(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::uint64_t plat_tick_count_ms()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {
int g_stdin_token;  // what GetStdHandle hands out
}  // namespace

// A terminal has no quick-edit mode: the console calls find no console.
plat_handle plat_get_std_input_handle() { return &g_stdin_token; }

bool plat_get_console_mode(plat_handle, std::uint32_t*) { return fail(ERROR_INVALID_HANDLE); }

bool plat_set_console_mode(plat_handle, std::uint32_t) { return fail(ERROR_INVALID_HANDLE); }
