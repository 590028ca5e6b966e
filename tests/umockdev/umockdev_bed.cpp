#include "tests/umockdev/umockdev_bed.h"

#include <umockdev.h>

#include <linux/hidraw.h>
#include <linux/input.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/platform.h"
#include "sim/sim_bus.h"
#include "sim/sim_bus_internal.h"
#include "usb/wire.h"

namespace {

constexpr unsigned USB_BUS = 1;
constexpr unsigned USB_MAJOR = 189;
constexpr unsigned HIDRAW_MAJOR = 245;

enum node_kind { NODE_USB, NODE_HIDRAW };

// One device node as published: which device, in which enumeration.
struct node_ctx {
    um_bed* bed;
    node_kind kind;
    int device;
    std::uint32_t generation;
    std::uint8_t iface;  // hidraw: the HID interface behind it
    std::string devnode;
    UMockdevIoctlBase* handler = nullptr;
    // Completed URBs waiting to be reaped, per opened file.
    std::map<UMockdevIoctlClient*, std::deque<UMockdevIoctlData*>> reapable;
};

struct published {
    bool present = false;
    std::uint32_t generation = 0;
    std::vector<std::string> syspaths;  // parents first
    std::vector<std::unique_ptr<node_ctx>> nodes;
};

}  // namespace

struct um_bed {
    UMockdevTestbed* testbed = nullptr;
    std::recursive_mutex mutex;
    std::vector<published> devices;
    // Nodes of devices that left: files opened on them stay connected to
    // their handlers, which answer ENODEV, so they live as long as the bed.
    std::vector<std::unique_ptr<node_ctx>> retired;
    unsigned next_address = 2;  // 1 is the root hub's
    unsigned next_hidraw = 0;
    unsigned next_hid = 1;
};

namespace {

// --- what the device's firmware answers on its own: chapter 9 ---------------

void add(std::vector<std::uint8_t>& d, std::initializer_list<std::uint8_t> bytes)
{
    for (std::uint8_t b : bytes)
        d.push_back(b);
}

std::vector<std::uint8_t> report_descriptor(const sim_interface& i)
{
    // One top-level collection; the vendor one carries its feature report.
    std::vector<std::uint8_t> d = {0x06, static_cast<std::uint8_t>(i.usage_page),
                                   static_cast<std::uint8_t>(i.usage_page >> 8),
                                   0x0A, static_cast<std::uint8_t>(i.usage),
                                   static_cast<std::uint8_t>(i.usage >> 8), 0xA1, 0x01};
    if (i.feature_length > 1) {
        const unsigned count = i.feature_length - 1u;
        add(d, {0x85, 0xFF, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96,
                           static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8),
                           0xB1, 0x02});
    } else {
        // An input report, as a keyboard-like collection has.
        add(d, {0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x75, 0x08, 0x95, 0x08, 0x81, 0x00});
    }
    d.push_back(0xC0);
    return d;
}

std::vector<std::uint8_t> device_descriptor(const sim_identity& id)
{
    std::vector<std::uint8_t> d(18, 0);
    d[0] = 18;
    d[1] = 1;
    wire_put16(&d[2], 0x0200);
    d[7] = 64;
    wire_put16(&d[8], id.vendor_id);
    wire_put16(&d[10], id.product_id);
    wire_put16(&d[12], id.bcd_device);
    d[14] = id.manufacturer.empty() ? 0 : 1;
    d[15] = id.product.empty() ? 0 : 2;
    d[16] = id.serial.empty() ? 0 : 3;
    d[17] = 1;
    return d;
}

std::vector<std::uint8_t> config_descriptor(const sim_identity& id)
{
    std::vector<std::uint8_t> d = {9, 2, 0, 0, static_cast<std::uint8_t>(id.interfaces.size()), 1, 0, 0x80, 50};
    for (const sim_interface& i : id.interfaces) {
        add(d, {9, 4, i.number, 0, static_cast<std::uint8_t>(i.pipes.size()), i.iface_class,
                           i.iface_subclass, i.iface_protocol, 0});
        if (i.iface_class == 3) {
            const auto rd = static_cast<std::uint16_t>(report_descriptor(i).size());
            add(d, {9, 0x21, 0x11, 0x01, 0, 1, 0x22, static_cast<std::uint8_t>(rd),
                               static_cast<std::uint8_t>(rd >> 8)});
        } else if (i.iface_class == 0xFE && i.iface_subclass == 1) {
            // DFU functional descriptor: download, upload, 4096-byte transfers, DFU 1.1.
            add(d, {9, 0x21, 0x0B, 0xE8, 0x03, 0x00, 0x10, 0x10, 0x01});
        }
        for (const sim_pipe& p : i.pipes)
            add(d, {7, 5, p.id, p.type, static_cast<std::uint8_t>(p.max_packet),
                               static_cast<std::uint8_t>(p.max_packet >> 8), 1});
    }
    wire_put16(&d[2], static_cast<std::uint32_t>(d.size()));
    return d;
}

std::vector<std::uint8_t> string_descriptor(const sim_identity& id, std::uint8_t index)
{
    if (index == 0)
        return {4, 3, 0x09, 0x04};
    const std::string* s = index == 1 ? &id.manufacturer : index == 2 ? &id.product : index == 3 ? &id.serial : nullptr;
    if (!s || s->empty())
        return {};
    const std::size_t chars = std::min<std::size_t>(s->size(), 126);
    std::vector<std::uint8_t> d(2 + 2 * chars, 0);
    d[0] = static_cast<std::uint8_t>(d.size());
    d[1] = 3;
    for (std::size_t k = 0; k < chars; ++k)
        d[2 + 2 * k] = static_cast<std::uint8_t>((*s)[k]);
    return d;
}

// A standard request. False: the device stalls it.
bool standard_request(const sim_identity& id, const std::uint8_t* setup, std::uint8_t* data,
                      std::uint32_t length, std::uint32_t* done)
{
    *done = 0;
    if (setup[1] == 6 && (setup[0] & 0x80)) {  // GET_DESCRIPTOR
        std::vector<std::uint8_t> d;
        switch (setup[3]) {
        case 1: d = device_descriptor(id); break;
        case 2: d = config_descriptor(id); break;
        case 3: d = string_descriptor(id, setup[2]); break;
        default: break;
        }
        if (d.empty())
            return false;
        *done = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(d.size()));
        std::memcpy(data, d.data(), *done);
        return true;
    }
    // SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE and the like: accepted.
    return !(setup[0] & 0x80);
}

std::string hex_of(const std::vector<std::uint8_t>& bytes)
{
    std::string s;
    char b[3];
    for (std::uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x", v);
        s += b;
    }
    return s;
}

// --- the ioctl handlers ---------------------------------------------------------

// The device behind a node, while it is still the enumeration the node
// belongs to.
sim_device_slot* live(node_ctx* n)
{
    sim_bus_tick();
    auto& devices = sim_bus_state().devices;
    if (n->device < 0 || static_cast<std::size_t>(n->device) >= devices.size())
        return nullptr;
    sim_device_slot& d = devices[static_cast<std::size_t>(n->device)];
    return d.attached && d.generation == n->generation ? &d : nullptr;
}

const sim_interface* interface_of(const sim_identity& id, unsigned number)
{
    for (const sim_interface& i : id.interfaces)
        if (i.number == number)
            return &i;
    return nullptr;
}

int urb_status_of(std::uint32_t error)
{
    switch (error) {
    case PLAT_ERROR_GEN_FAILURE: return -EPIPE;  // the peer's stall
    case PLAT_ERROR_DEVICE_NOT_CONNECTED: return -ENODEV;
    default: return -EPROTO;
    }
}

void run_urb(sim_device_slot* d, usbdevfs_urb* urb, std::uint8_t* buffer)
{
    urb->actual_length = 0;
    urb->status = 0;
    const int length = std::max(urb->buffer_length, 0);
    std::uint32_t done = 0, error = PLAT_ERROR_GEN_FAILURE;
    bool ok = false;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (length < 8) {
            urb->status = -EINVAL;
            return;
        }
        const std::uint32_t stage = std::min<std::uint32_t>(wire_get16(buffer + 6), static_cast<std::uint32_t>(length - 8));
        if ((buffer[0] & 0x60) == 0) {
            ok = standard_request(d->identity, buffer, buffer + 8, stage, &done);
        } else {
            const std::uint8_t iface = (buffer[0] & 0x1F) == 1 ? buffer[4] : 0;
            ok = d->peer && d->peer->control(static_cast<int>(d - sim_bus_state().devices.data()), iface, buffer,
                                             buffer + 8, stage, &done, &error);
        }
        done = std::min(done, stage);
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK || urb->type == USBDEVFS_URB_TYPE_INTERRUPT) {
        const sim_interface* owner = nullptr;
        for (const sim_interface& i : d->identity.interfaces)
            for (const sim_pipe& p : i.pipes)
                if (p.id == urb->endpoint)
                    owner = &i;
        if (!owner) {
            urb->status = -ENOENT;
            return;
        }
        ok = d->peer && d->peer->bulk(static_cast<int>(d - sim_bus_state().devices.data()), owner->number,
                                      urb->endpoint, buffer, static_cast<std::uint32_t>(length), &done, &error);
        done = std::min(done, static_cast<std::uint32_t>(length));
    } else {
        urb->status = -EINVAL;
        return;
    }
    if (!ok) {
        urb->status = urb_status_of(error);
        return;
    }
    urb->actual_length = static_cast<int>(done);
}

template <typename T>
T* resolve_arg(UMockdevIoctlClient* client, std::size_t size, UMockdevIoctlData** out)
{
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &error);
    if (!data) {
        g_clear_error(&error);
        return nullptr;
    }
    if (out)
        *out = data;
    return reinterpret_cast<T*>(data->data);
}

gboolean on_usb_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* n = static_cast<node_ctx*>(user);
    std::lock_guard lock(n->bed->mutex);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    sim_device_slot* d = live(n);
    auto finish = [&](long result, int error) {
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    };
    // URBs that completed stay reapable after the device left, as usbfs
    // keeps them (USBDEVFS_CAP_REAP_AFTER_DISCONNECT).
    const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (!d && !(reap && !n->reapable[client].empty()))
        return finish(-1, ENODEV);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        auto* caps = resolve_arg<std::uint32_t>(client, sizeof(std::uint32_t), nullptr);
        if (!caps)
            return finish(-1, EFAULT);
        *caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        return finish(0, 0);
    }
    case USBDEVFS_GETDRIVER: {
        auto* g = resolve_arg<usbdevfs_getdriver>(client, sizeof(usbdevfs_getdriver), nullptr);
        if (!g)
            return finish(-1, EFAULT);
        const sim_interface* i = interface_of(d->identity, g->interface);
        if (!i)
            return finish(-1, EINVAL);
        if (i->driver == SIM_DRIVER_WINUSB)
            return finish(-1, ENODATA);  // no kernel driver bound
        std::snprintf(g->driver, sizeof g->driver, "%s", i->driver == SIM_DRIVER_HID ? "usbhid" : "other");
        return finish(0, 0);
    }
    case USBDEVFS_CLAIMINTERFACE: {
        auto* number = resolve_arg<unsigned int>(client, sizeof(unsigned int), nullptr);
        if (!number)
            return finish(-1, EFAULT);
        const sim_interface* i = interface_of(d->identity, *number);
        if (!i)
            return finish(-1, ENOENT);
        return i->driver == SIM_DRIVER_WINUSB ? finish(0, 0) : finish(-1, EBUSY);
    }
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
        return finish(0, 0);
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* urb_data = nullptr;
        auto* urb = resolve_arg<usbdevfs_urb>(client, sizeof(usbdevfs_urb), &urb_data);
        if (!urb || urb->buffer_length < 0)
            return finish(-1, EINVAL);
        GError* error = nullptr;
        UMockdevIoctlData* buffer =
            urb->buffer_length > 0
                ? umockdev_ioctl_data_resolve(urb_data, offsetof(usbdevfs_urb, buffer),
                                              static_cast<gsize>(urb->buffer_length), &error)
                : nullptr;
        if (urb->buffer_length > 0 && !buffer) {
            g_clear_error(&error);
            return finish(-1, EFAULT);
        }
        run_urb(d, urb, buffer ? buffer->data : nullptr);
        n->reapable[client].push_back(static_cast<UMockdevIoctlData*>(g_object_ref(urb_data)));
        return finish(0, 0);
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        auto& queue = n->reapable[client];
        if (queue.empty())
            return finish(-1, EAGAIN);
        UMockdevIoctlData* slot = nullptr;
        if (!resolve_arg<void*>(client, sizeof(void*), &slot))
            return finish(-1, EFAULT);
        UMockdevIoctlData* urb_data = queue.front();
        queue.pop_front();
        umockdev_ioctl_data_set_ptr(slot, 0, urb_data);
        g_object_unref(urb_data);
        return finish(0, 0);
    }
    case USBDEVFS_DISCARDURB:
        return finish(-1, EINVAL);  // every URB completes at once
    default:
        return finish(-1, ENOTTY);
    }
}

gboolean on_hidraw_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* n = static_cast<node_ctx*>(user);
    std::lock_guard lock(n->bed->mutex);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    auto finish = [&](long result, int error) {
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    };
    sim_device_slot* d = live(n);
    if (!d)
        return finish(-1, ENODEV);
    const sim_interface* iface = interface_of(d->identity, n->iface);
    if (!iface)
        return finish(-1, ENODEV);
    const int device = static_cast<int>(d - sim_bus_state().devices.data());
    if (request == HIDIOCGRAWINFO) {
        auto* info = resolve_arg<hidraw_devinfo>(client, sizeof(hidraw_devinfo), nullptr);
        if (!info)
            return finish(-1, EFAULT);
        info->bustype = BUS_USB;
        info->vendor = static_cast<__s16>(d->identity.vendor_id);
        info->product = static_cast<__s16>(d->identity.product_id);
        return finish(0, 0);
    }
    const std::vector<std::uint8_t> rd = report_descriptor(*iface);
    if (request == HIDIOCGRDESCSIZE) {
        auto* size = resolve_arg<int>(client, sizeof(int), nullptr);
        if (!size)
            return finish(-1, EFAULT);
        *size = static_cast<int>(rd.size());
        return finish(0, 0);
    }
    if (request == HIDIOCGRDESC) {
        auto* desc = resolve_arg<hidraw_report_descriptor>(client, sizeof(hidraw_report_descriptor), nullptr);
        if (!desc || desc->size > HID_MAX_DESCRIPTOR_SIZE)
            return finish(-1, EINVAL);
        std::memcpy(desc->value, rd.data(), std::min<std::size_t>(desc->size, rd.size()));
        return finish(0, 0);
    }
    const unsigned nr = _IOC_NR(request);
    if (_IOC_TYPE(request) == 'H' && _IOC_DIR(request) == (_IOC_READ | _IOC_WRITE) && (nr == 0x06 || nr == 0x07)) {
        const std::uint32_t length = _IOC_SIZE(request);
        auto* buffer = length ? resolve_arg<std::uint8_t>(client, length, nullptr) : nullptr;
        if (!buffer)
            return finish(-1, EINVAL);
        std::vector<std::uint8_t> report(std::max<std::uint32_t>(iface->feature_length, 1), 0);
        if (nr == 0x07) {  // get: the device's report, cut to the caller's buffer
            report[0] = buffer[0];
            if (!d->peer || !d->peer->get_feature(device, iface->number, report.data(), iface->feature_length))
                return finish(-1, EPIPE);
            const std::uint32_t n_copy = std::min<std::uint32_t>(length, iface->feature_length);
            std::memcpy(buffer, report.data(), n_copy);
            return finish(n_copy, 0);
        }
        std::memcpy(report.data(), buffer, std::min<std::size_t>(length, report.size()));
        if (!d->peer || !d->peer->set_feature(device, iface->number, report.data(), iface->feature_length))
            return finish(-1, EPIPE);
        return finish(length, 0);
    }
    return finish(-1, ENOTTY);
}

void on_client_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* n = static_cast<node_ctx*>(user);
    std::lock_guard lock(n->bed->mutex);
    auto it = n->reapable.find(client);
    if (it == n->reapable.end())
        return;
    for (UMockdevIoctlData* u : it->second)
        g_object_unref(u);
    n->reapable.erase(it);
}

// --- publishing -------------------------------------------------------------------

void attach_node(um_bed* bed, published& p, node_kind kind, int device, std::uint32_t generation,
                 std::uint8_t iface, const std::string& devnode)
{
    auto n = std::make_unique<node_ctx>();
    n->bed = bed;
    n->kind = kind;
    n->device = device;
    n->generation = generation;
    n->iface = iface;
    n->devnode = devnode;
    n->handler = umockdev_ioctl_base_new();
    g_signal_connect(n->handler, "handle-ioctl",
                     kind == NODE_USB ? G_CALLBACK(on_usb_ioctl) : G_CALLBACK(on_hidraw_ioctl), n.get());
    g_signal_connect(n->handler, "client-vanished", G_CALLBACK(on_client_vanished), n.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed->testbed, devnode.c_str(), n->handler, &error)) {
        std::fprintf(stderr, "umockdev bed: cannot attach %s: %s\n", devnode.c_str(), error->message);
        g_clear_error(&error);
    }
    p.nodes.push_back(std::move(n));
}

void publish(um_bed* bed, int device, const sim_device_slot& d)
{
    published& p = bed->devices[static_cast<std::size_t>(device)];
    const sim_identity& id = d.identity;
    const unsigned address = bed->next_address++;
    const std::string port = std::to_string(USB_BUS) + "-" + std::to_string(device + 1);
    const std::string usb_path = "/devices/pci0000:00/0000:00:14.0/usb1/" + port;
    char devname[32];
    std::snprintf(devname, sizeof devname, "bus/usb/%03u/%03u", USB_BUS, address);
    char text[512];
    std::string record;
    std::snprintf(text, sizeof text,
                  "P: %s\nN: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: DEVNAME=/dev/%s\n"
                  "E: BUSNUM=%03u\nE: DEVNUM=%03u\nE: PRODUCT=%x/%x/%x\n"
                  "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\nA: busnum=%u\nA: devnum=%u\n"
                  "A: speed=12\nA: bConfigurationValue=1\nA: bNumInterfaces=%2zu\nA: dev=%u:%u\n",
                  usb_path.c_str(), devname, devname, USB_BUS, address, id.vendor_id, id.product_id, id.bcd_device,
                  id.vendor_id, id.product_id, id.bcd_device, USB_BUS, address, id.interfaces.size(), USB_MAJOR,
                  (USB_BUS - 1) * 128 + address - 1);
    record += text;
    if (!id.manufacturer.empty())
        record += "A: manufacturer=" + id.manufacturer + "\n";
    if (!id.product.empty())
        record += "A: product=" + id.product + "\n";
    if (!id.serial.empty())
        record += "A: serial=" + id.serial + "\n";
    std::vector<std::uint8_t> descriptors = device_descriptor(id);
    const std::vector<std::uint8_t> config = config_descriptor(id);
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    record += "H: descriptors=" + hex_of(descriptors) + "\n\n";

    struct hidraw_node {
        std::string devnode;
        std::uint8_t iface;
    };
    std::vector<hidraw_node> hidraws;
    std::vector<std::string> syspaths{"/sys" + usb_path};
    for (const sim_interface& i : id.interfaces) {
        const std::string ipath = usb_path + "/" + port + ":1." + std::to_string(i.number);
        std::snprintf(text, sizeof text,
                      "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n%s"
                      "A: bInterfaceNumber=%02x\nA: bInterfaceClass=%02x\nA: bInterfaceSubClass=%02x\n"
                      "A: bInterfaceProtocol=%02x\nA: bNumEndpoints=%02zx\n\n",
                      ipath.c_str(), i.driver == SIM_DRIVER_HID ? "E: DRIVER=usbhid\n" : "", i.number,
                      i.iface_class, i.iface_subclass, i.iface_protocol, i.pipes.size());
        record += text;
        syspaths.push_back("/sys" + ipath);
        if (i.driver != SIM_DRIVER_HID)
            continue;
        char hid_name[32];
        std::snprintf(hid_name, sizeof hid_name, "0003:%04X:%04X.%04X", id.vendor_id, id.product_id, bed->next_hid++);
        const unsigned minor = bed->next_hidraw++;
        const std::string hpath = ipath + "/" + hid_name;
        std::snprintf(text, sizeof text,
                      "P: %s\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\nE: HID_ID=0003:%08X:%08X\nE: HID_NAME=%s\n"
                      "H: report_descriptor=%s\n\n"
                      "P: %s/hidraw/hidraw%u\nN: hidraw%u\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw%u\n"
                      "A: dev=%u:%u\nL: device=../../../%s\n\n",
                      hpath.c_str(), id.vendor_id, id.product_id, id.product.c_str(),
                      hex_of(report_descriptor(i)).c_str(), hpath.c_str(), minor, minor, minor, HIDRAW_MAJOR, minor,
                      hid_name);
        record += text;
        syspaths.push_back("/sys" + hpath);
        syspaths.push_back("/sys" + hpath + "/hidraw/hidraw" + std::to_string(minor));
        hidraws.push_back({"/dev/hidraw" + std::to_string(minor), i.number});
    }
    GError* error = nullptr;
    if (std::getenv("UM_BED_DEBUG"))
        std::fprintf(stderr, "%s", record.c_str());
    if (!umockdev_testbed_add_from_string(bed->testbed, record.c_str(), &error)) {
        std::fprintf(stderr, "umockdev bed: cannot add device: %s\n", error->message);
        g_clear_error(&error);
        return;
    }
    p.present = true;
    p.generation = d.generation;
    p.syspaths = syspaths;
    attach_node(bed, p, NODE_USB, device, d.generation, 0, "/dev/" + std::string(devname));
    for (const hidraw_node& h : hidraws)
        attach_node(bed, p, NODE_HIDRAW, device, d.generation, h.iface, h.devnode);
}

void unpublish(um_bed* bed, published& p)
{
    for (auto& n : p.nodes) {
        GError* error = nullptr;
        if (!umockdev_testbed_detach_ioctl(bed->testbed, n->devnode.c_str(), &error))
            g_clear_error(&error);
        bed->retired.push_back(std::move(n));
    }
    p.nodes.clear();
    // Children first: removing a device leaves its children's bus links behind.
    for (auto it = p.syspaths.rbegin(); it != p.syspaths.rend(); ++it)
        umockdev_testbed_remove_device(bed->testbed, it->c_str());
    p.syspaths.clear();
    p.present = false;
}

void release_node(node_ctx* n)
{
    for (auto& [client, queue] : n->reapable)
        for (UMockdevIoctlData* u : queue)
            g_object_unref(u);
    n->reapable.clear();
    g_object_unref(n->handler);
}

void bed_free(um_bed* bed)
{
    if (!bed)
        return;
    {
        std::lock_guard lock(bed->mutex);
        for (published& p : bed->devices)
            if (p.present)
                unpublish(bed, p);
    }
    g_object_unref(bed->testbed);
    for (auto& n : bed->retired)
        release_node(n.get());
    delete bed;
}

}  // namespace

std::unique_ptr<um_bed, void (*)(um_bed*)> um_bed_new()
{
    sim_bus_reset();
    sim_bus_set_realtime(true);
    auto* bed = new um_bed{};
    bed->testbed = umockdev_testbed_new();
    return {bed, bed_free};
}

void um_bed_lock(um_bed* bed) { bed->mutex.lock(); }
void um_bed_unlock(um_bed* bed) { bed->mutex.unlock(); }

void um_bed_sync(um_bed* bed)
{
    std::lock_guard lock(bed->mutex);
    sim_bus_tick();
    auto& devices = sim_bus_state().devices;
    bed->devices.resize(devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        published& p = bed->devices[i];
        const sim_device_slot& d = devices[i];
        if (p.present && (!d.attached || d.generation != p.generation))
            unpublish(bed, p);
        if (!p.present && d.attached)
            publish(bed, static_cast<int>(i), d);
    }
}

um_run um_bed_run(um_bed* bed, const std::vector<std::string>& args, int limit_s)
{
    um_run run;
    um_bed_sync(bed);
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return run;
    // Everything the child needs is made before the fork: umockdev's thread
    // may hold the allocator's lock at that moment.
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        if (null_in >= 0)
            dup2(null_in, 0);
        close(out_pipe[0]);
        close(err_pipe[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (null_in >= 0)
        close(null_in);
    close(out_pipe[1]);
    close(err_pipe[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
    bool killed = false;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0) {
        um_bed_sync(bed);
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (poll(fds, 2, 5) < 0 && errno != EINTR)
            break;
        for (pollfd& f : fds) {
            if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            const ssize_t n = read(f.fd, buf, sizeof buf);
            if (n > 0) {
                (&f == &fds[0] ? run.out : run.err).append(buf, static_cast<std::size_t>(n));
            } else {
                close(f.fd);
                f.fd = -1;
                --open_fds;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    um_bed_sync(bed);
    return run;
}
