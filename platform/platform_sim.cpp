// The sim backend of the seam: each call acts on the virtual bus with the
// semantics of the Windows call it stands for.
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "platform/platform.h"
#include "sim/sim_bus_internal.h"
#include "usb/wire.h"

namespace {

constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
int g_console_token;  // what GetStdHandle hands out

bool fail(std::uint32_t error)
{
    sim_bus_state().last_error = error;
    return false;
}

sim_object* object_of(void* handle, sim_object_kind kind)
{
    auto* o = static_cast<sim_object*>(handle);
    if (!sim_bus_state().objects.count(o) || o->kind != kind)
        return nullptr;
    return o;
}

sim_object* new_object(sim_object_kind kind)
{
    auto* o = new sim_object{};
    o->kind = kind;
    sim_bus_state().objects.insert(o);
    return o;
}

bool release(void* handle, sim_object_kind kind)
{
    sim_object* o = object_of(handle, kind);
    if (!o)
        return fail(ERROR_INVALID_HANDLE);
    sim_bus_state().objects.erase(o);
    delete o;
    return true;
}

// The device and interface a handle leads to, while that device is still
// the one it was opened on.
sim_device_slot* live_device(const sim_object* file, const sim_interface** iface)
{
    sim_bus_tick();
    auto& devices = sim_bus_state().devices;
    if (file->target.device < 0 || static_cast<std::size_t>(file->target.device) >= devices.size())
        return nullptr;
    sim_device_slot& d = devices[static_cast<std::size_t>(file->target.device)];
    if (!d.attached || d.generation != file->generation)
        return nullptr;
    if (file->target.iface < 0 ||
        static_cast<std::size_t>(file->target.iface) >= d.identity.interfaces.size())
        return nullptr;
    *iface = &d.identity.interfaces[static_cast<std::size_t>(file->target.iface)];
    return &d;
}

sim_object* winusb_file(plat_winusb handle)
{
    sim_object* w = object_of(handle, SIM_OBJECT_WINUSB);
    return w ? object_of(w->file, SIM_OBJECT_FILE) : nullptr;
}

std::uint32_t apply_short(const sim_fault& f, bool faulted, std::uint32_t n)
{
    return faulted && f.kind == SIM_FAULT_SHORT ? std::min(n, f.short_length) : n;
}

// The device's descriptors, as a real device's firmware would give them.
std::uint32_t build_descriptor(const sim_identity& id, std::uint8_t type, std::uint8_t index,
                               std::uint8_t* out, std::uint32_t room)
{
    std::uint8_t d[256] = {};
    std::uint32_t n = 0;
    if (type == 1 && index == 0) {
        n = 18;
        d[0] = 18;
        d[1] = 1;
        wire_put16(d + 2, 0x0200);
        d[7] = 64;
        wire_put16(d + 8, id.vendor_id);
        wire_put16(d + 10, id.product_id);
        wire_put16(d + 12, id.bcd_device);
        d[14] = id.manufacturer.empty() ? 0 : 1;
        d[15] = id.product.empty() ? 0 : 2;
        d[16] = id.serial.empty() ? 0 : 3;
        d[17] = 1;
    } else if (type == 3 && index == 0) {
        n = 4;
        d[0] = 4;
        d[1] = 3;
        wire_put16(d + 2, 0x0409);
    } else if (type == 3 && index >= 1 && index <= 3) {
        const std::string& s = index == 1 ? id.manufacturer : index == 2 ? id.product : id.serial;
        if (s.empty())
            return 0;
        const std::size_t chars = std::min<std::size_t>(s.size(), 126);
        n = static_cast<std::uint32_t>(2 + 2 * chars);
        d[0] = static_cast<std::uint8_t>(n);
        d[1] = 3;
        for (std::size_t i = 0; i < chars; ++i)
            wire_put16(d + 2 + 2 * i, static_cast<unsigned char>(s[i]));
    } else {
        return 0;
    }
    n = std::min(n, room);
    std::memcpy(out, d, n);
    return n;
}

}  // namespace

std::uint32_t plat_query_dos_device(char* buffer, std::uint32_t size)
{
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_NAME_LIST, &f)) {
        fail(f.error);
        return 0;
    }
    const std::vector<std::string>& names = sim_bus_name_table().names;
    std::uint32_t pos = 0;
    for (const std::string& name : names) {
        if (pos + name.size() + 1 >= size) {  // room for the list's closing NUL too
            fail(PLAT_ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(buffer + pos, name.c_str(), name.size() + 1);
        pos += static_cast<std::uint32_t>(name.size() + 1);
    }
    if (pos < size)
        buffer[pos] = '\0';
    return pos;
}

plat_handle plat_create_file(const char* path, std::uint32_t, std::uint32_t, std::uint32_t)
{
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_CREATE_FILE, &f)) {
        fail(f.error);
        return PLAT_INVALID_HANDLE;
    }
    if (std::strncmp(path, "\\\\?\\", 4) != 0) {
        fail(PLAT_ERROR_FILE_NOT_FOUND);
        return PLAT_INVALID_HANDLE;
    }
    const sim_name_table& table = sim_bus_name_table();
    const std::vector<std::string>& names = table.names;
    const std::vector<sim_name_target>& targets = table.targets;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (targets[i].device < 0 || strcasecmp(names[i].c_str(), path + 4) != 0)
            continue;
        sim_object* o = new_object(SIM_OBJECT_FILE);
        o->target = targets[i];
        o->generation = sim_bus_state().devices[static_cast<std::size_t>(targets[i].device)].generation;
        return o;
    }
    fail(PLAT_ERROR_FILE_NOT_FOUND);
    return PLAT_INVALID_HANDLE;
}

bool plat_close_handle(plat_handle handle) { return release(handle, SIM_OBJECT_FILE); }

bool plat_winusb_initialize(plat_handle file, plat_winusb* out)
{
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_WINUSB_INIT, &f))
        return fail(f.error);
    sim_object* o = object_of(file, SIM_OBJECT_FILE);
    if (!o)
        return fail(ERROR_INVALID_HANDLE);
    const sim_interface* iface = nullptr;
    if (!live_device(o, &iface))
        return fail(o->target.iface < 0 ? PLAT_ERROR_BAD_COMMAND : PLAT_ERROR_DEVICE_NOT_CONNECTED);
    if (o->target.hid || iface->driver != SIM_DRIVER_WINUSB)
        return fail(PLAT_ERROR_BAD_COMMAND);  // WinUSB does not serve it
    sim_object* w = new_object(SIM_OBJECT_WINUSB);
    w->file = o;
    *out = w;
    return true;
}

bool plat_winusb_free(plat_winusb handle) { return release(handle, SIM_OBJECT_WINUSB); }

bool plat_winusb_get_descriptor(plat_winusb handle, std::uint8_t type, std::uint8_t index,
                                std::uint16_t, std::uint8_t* buffer, std::uint32_t length,
                                std::uint32_t* transferred)
{
    *transferred = 0;
    sim_fault f;
    const bool faulted = sim_bus_fault_for(SIM_CALL_GET_DESCRIPTOR, &f);
    if (faulted && f.kind == SIM_FAULT_FAIL)
        return fail(f.error);
    sim_object* file = winusb_file(handle);
    if (!file)
        return fail(ERROR_INVALID_HANDLE);
    const sim_interface* iface = nullptr;
    sim_device_slot* d = live_device(file, &iface);
    if (!d)
        return fail(PLAT_ERROR_DEVICE_NOT_CONNECTED);
    sim_bus_charge_transfer(length > 64 ? 64 : length);
    if (d->peer && d->peer->answers_descriptors()) {
        std::uint32_t n = 0, error = 0;
        if (!d->peer->descriptor(file->target.device, type, index, buffer, length, &n, &error))
            return fail(error);
        *transferred = apply_short(f, faulted, n < length ? n : length);
        return true;
    }
    const std::uint32_t n = build_descriptor(d->identity, type, index, buffer, length);
    if (n == 0)
        return fail(PLAT_ERROR_GEN_FAILURE);
    *transferred = apply_short(f, faulted, n);
    return true;
}

bool plat_winusb_query_interface_settings(plat_winusb handle, std::uint8_t alternate,
                                          plat_interface_descriptor* out)
{
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_QUERY_INTERFACE, &f))
        return fail(f.error);
    sim_object* file = winusb_file(handle);
    if (!file)
        return fail(ERROR_INVALID_HANDLE);
    const sim_interface* iface = nullptr;
    if (!live_device(file, &iface))
        return fail(PLAT_ERROR_DEVICE_NOT_CONNECTED);
    if (alternate != 0)
        return fail(PLAT_ERROR_NO_MORE_ITEMS);
    *out = plat_interface_descriptor{9, 4, iface->number, 0,
                                     static_cast<std::uint8_t>(iface->pipes.size()),
                                     iface->iface_class, iface->iface_subclass,
                                     iface->iface_protocol, 0};
    return true;
}

bool plat_winusb_query_pipe(plat_winusb handle, std::uint8_t alternate, std::uint8_t index,
                            plat_pipe_information* out)
{
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_QUERY_PIPE, &f))
        return fail(f.error);
    sim_object* file = winusb_file(handle);
    if (!file)
        return fail(ERROR_INVALID_HANDLE);
    const sim_interface* iface = nullptr;
    if (!live_device(file, &iface))
        return fail(PLAT_ERROR_DEVICE_NOT_CONNECTED);
    if (alternate != 0 || index >= iface->pipes.size())
        return fail(PLAT_ERROR_NO_MORE_ITEMS);
    const sim_pipe& p = iface->pipes[index];
    *out = plat_pipe_information{p.type, p.id, p.max_packet, 0};
    return true;
}

bool plat_winusb_control_transfer(plat_winusb handle, const std::uint8_t setup[8],
                                  std::uint8_t* buffer, std::uint32_t length,
                                  std::uint32_t* transferred)
{
    *transferred = 0;
    sim_fault f;
    const bool faulted = sim_bus_fault_for(SIM_CALL_CONTROL, &f);
    sim_object* file = winusb_file(handle);
    if (!file)
        return fail(ERROR_INVALID_HANDLE);
    const std::uint32_t w_length = wire_get16(setup + 6);
    const bool in = setup[0] & 0x80;
    // The data stage moves at most wLength, and never more than the buffer.
    const std::uint32_t stage = std::min(w_length, length);
    sim_bus_charge_transfer(stage);
    if (faulted && f.kind == SIM_FAULT_FAIL) {
        sim_bus_record(SIM_CALL_CONTROL, false, stage, 0);
        return fail(f.error);
    }
    const sim_interface* iface = nullptr;
    sim_device_slot* d = live_device(file, &iface);
    if (!d) {
        sim_bus_record(SIM_CALL_CONTROL, false, stage, 0);
        return fail(PLAT_ERROR_DEVICE_NOT_CONNECTED);
    }
    std::uint32_t done = 0, error = PLAT_ERROR_GEN_FAILURE;
    const bool ok = d->peer && d->peer->control(file->target.device, iface->number, setup, buffer,
                                                stage, &done, &error);
    done = std::min(done, stage);
    if (ok && in)
        done = apply_short(f, faulted, done);
    sim_bus_record(SIM_CALL_CONTROL, ok, stage, ok ? done : 0);
    if (!ok)
        return fail(error);
    *transferred = done;
    return true;
}

namespace {

bool pipe_transfer(sim_call call, plat_winusb handle, std::uint8_t pipe, std::uint8_t* buffer,
                   std::uint32_t length, std::uint32_t* transferred)
{
    *transferred = 0;
    sim_fault f;
    const bool faulted = sim_bus_fault_for(call, &f);
    sim_object* file = winusb_file(handle);
    if (!file)
        return fail(ERROR_INVALID_HANDLE);
    sim_bus_charge_transfer(length);
    if (faulted && f.kind == SIM_FAULT_FAIL) {
        sim_bus_record(call, false, length, 0);
        return fail(f.error);
    }
    const sim_interface* iface = nullptr;
    sim_device_slot* d = live_device(file, &iface);
    if (!d) {
        sim_bus_record(call, false, length, 0);
        return fail(PLAT_ERROR_DEVICE_NOT_CONNECTED);
    }
    const bool known = std::any_of(iface->pipes.begin(), iface->pipes.end(),
                                   [&](const sim_pipe& p) { return p.id == pipe; });
    if (!known || ((pipe & 0x80) != 0) != (call == SIM_CALL_READ_PIPE)) {
        sim_bus_record(call, false, length, 0);
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    }
    std::uint32_t done = 0, error = PLAT_ERROR_GEN_FAILURE;
    const bool ok = d->peer && d->peer->bulk(file->target.device, iface->number, pipe, buffer,
                                             length, &done, &error);
    done = apply_short(f, faulted, std::min(done, length));
    sim_bus_record(call, ok, length, ok ? done : 0);
    if (!ok)
        return fail(error);
    *transferred = done;
    return true;
}

}  // namespace

bool plat_winusb_read_pipe(plat_winusb handle, std::uint8_t pipe, std::uint8_t* buffer,
                           std::uint32_t length, std::uint32_t* transferred)
{
    return pipe_transfer(SIM_CALL_READ_PIPE, handle, pipe, buffer, length, transferred);
}

bool plat_winusb_write_pipe(plat_winusb handle, std::uint8_t pipe, const std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t* transferred)
{
    // Peers treat OUT data as read-only.
    return pipe_transfer(SIM_CALL_WRITE_PIPE, handle, pipe, const_cast<std::uint8_t*>(buffer),
                         length, transferred);
}

std::uint32_t plat_get_last_error() { return sim_bus_state().last_error; }

plat_devinfo plat_setupdi_get_hid_class_devs()
{
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_HID_LIST, &f)) {
        fail(f.error);
        return nullptr;
    }
    sim_object* list = new_object(SIM_OBJECT_DEVINFO);
    sim_bus_hid_paths(&list->paths, &list->targets);
    return list;
}

bool plat_setupdi_enum_device_interfaces(plat_devinfo list, std::uint32_t index,
                                         plat_device_interface* out)
{
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_HID_ENUM, &f))
        return fail(f.error);
    sim_object* l = object_of(list, SIM_OBJECT_DEVINFO);
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
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_HID_DETAIL, &f))
        return fail(f.error);
    sim_object* l = object_of(list, SIM_OBJECT_DEVINFO);
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

bool plat_setupdi_destroy_device_info_list(plat_devinfo list) { return release(list, SIM_OBJECT_DEVINFO); }

namespace {

sim_device_slot* hid_device(plat_handle handle, const sim_interface** iface)
{
    sim_object* o = object_of(handle, SIM_OBJECT_FILE);
    if (!o) {
        fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    sim_device_slot* d = live_device(o, iface);
    if (!d) {
        fail(PLAT_ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    if (!o->target.hid) {
        fail(PLAT_ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return d;
}

bool hid_string(plat_handle handle, int which, std::uint16_t* buffer, std::uint32_t size)
{
    const sim_interface* iface = nullptr;
    sim_device_slot* d = hid_device(handle, &iface);
    if (!d)
        return false;
    const std::uint32_t units = size / 2;
    if (d->peer && d->peer->answers_descriptors()) {
        // The HID driver asks the device for its string descriptor, and
        // hands on the UTF-16 units after the two-byte header.
        std::uint8_t desc[256];
        std::uint32_t n = 0, error = 0;
        if (!d->peer->descriptor(static_cast<int>(d - sim_bus_state().devices.data()), 3,
                                 static_cast<std::uint8_t>(which), desc, sizeof desc, &n, &error))
            return fail(error);
        if (n > sizeof desc || n < 2)
            return fail(PLAT_ERROR_INVALID_PARAMETER);
        std::uint32_t i = 0;
        for (; i < (n - 2) / 2 && i < units; ++i)
            buffer[i] = wire_get16(desc + 2 + 2 * i);
        if (i < units)
            buffer[i] = 0;
        return true;
    }
    const std::string& s = which == 2 ? d->identity.product : d->identity.serial;
    if (s.empty())
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    std::uint32_t i = 0;
    for (; i < s.size() && i < units; ++i)
        buffer[i] = static_cast<unsigned char>(s[i]);
    if (i < units)
        buffer[i] = 0;
    return true;
}

}  // namespace

bool plat_hidd_get_attributes(plat_handle handle, plat_hid_attributes* out)
{
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_HID_ATTRIBUTES, &f))
        return fail(f.error);
    const sim_interface* iface = nullptr;
    sim_device_slot* d = hid_device(handle, &iface);
    if (!d)
        return false;
    *out = plat_hid_attributes{d->identity.vendor_id, d->identity.product_id, d->identity.bcd_device};
    return true;
}

bool plat_hidd_get_preparsed_data(plat_handle handle, plat_preparsed* out)
{
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_HID_PREPARSED, &f))
        return fail(f.error);
    sim_object* o = object_of(handle, SIM_OBJECT_FILE);
    const sim_interface* iface = nullptr;
    if (!hid_device(handle, &iface))
        return false;
    sim_object* p = new_object(SIM_OBJECT_PREPARSED);
    p->target = o->target;
    p->generation = o->generation;
    *out = p;
    return true;
}

bool plat_hidd_free_preparsed_data(plat_preparsed data) { return release(data, SIM_OBJECT_PREPARSED); }

std::int32_t plat_hidp_get_caps(plat_preparsed data, plat_hid_caps* out)
{
    constexpr std::int32_t HIDP_STATUS_INVALID_PREPARSED_DATA = static_cast<std::int32_t>(0xC0110001u);
    sim_fault f;
    if (sim_bus_fault_for(SIM_CALL_HID_CAPS, &f))
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    sim_object* p = object_of(data, SIM_OBJECT_PREPARSED);
    if (!p)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    // Parsed data outlives the device: it describes what was parsed.
    const auto& devices = sim_bus_state().devices;
    const sim_interface& iface =
        devices[static_cast<std::size_t>(p->target.device)].identity.interfaces[static_cast<std::size_t>(p->target.iface)];
    *out = plat_hid_caps{iface.usage, iface.usage_page, 0, 0, iface.feature_length};
    return PLAT_HIDP_STATUS_SUCCESS;
}

bool plat_hidd_get_feature(plat_handle handle, std::uint8_t* buffer, std::uint32_t length)
{
    sim_fault f;
    const bool faulted = sim_bus_fault_for(SIM_CALL_GET_FEATURE, &f);
    const sim_interface* iface = nullptr;
    sim_device_slot* d = hid_device(handle, &iface);
    if (!d)
        return false;
    sim_bus_charge_transfer(length);
    if (faulted && f.kind == SIM_FAULT_FAIL) {
        sim_bus_record(SIM_CALL_GET_FEATURE, false, length, 0);
        return fail(f.error);
    }
    if (length < iface->feature_length) {
        sim_bus_record(SIM_CALL_GET_FEATURE, false, length, 0);
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    }
    const bool ok = d->peer && d->peer->get_feature(static_cast<int>(d - sim_bus_state().devices.data()),
                                                    iface->number, buffer, iface->feature_length);
    if (ok && faulted && f.short_length < iface->feature_length)
        std::memset(buffer + f.short_length, 0, iface->feature_length - f.short_length);
    sim_bus_record(SIM_CALL_GET_FEATURE, ok, length, ok ? iface->feature_length : 0);
    return ok ? true : fail(PLAT_ERROR_GEN_FAILURE);
}

bool plat_hidd_set_feature(plat_handle handle, const std::uint8_t* buffer, std::uint32_t length)
{
    sim_fault f;
    const bool faulted = sim_bus_fault_for(SIM_CALL_SET_FEATURE, &f);
    const sim_interface* iface = nullptr;
    sim_device_slot* d = hid_device(handle, &iface);
    if (!d)
        return false;
    sim_bus_charge_transfer(length);
    if (faulted) {
        sim_bus_record(SIM_CALL_SET_FEATURE, false, length, 0);
        return fail(f.error);
    }
    if (length < iface->feature_length) {
        sim_bus_record(SIM_CALL_SET_FEATURE, false, length, 0);
        return fail(PLAT_ERROR_INVALID_PARAMETER);
    }
    const bool ok = d->peer && d->peer->set_feature(static_cast<int>(d - sim_bus_state().devices.data()),
                                                    iface->number, buffer, iface->feature_length);
    sim_bus_record(SIM_CALL_SET_FEATURE, ok, length, ok ? iface->feature_length : 0);
    return ok ? true : fail(PLAT_ERROR_GEN_FAILURE);
}

bool plat_hidd_get_serial_number_string(plat_handle handle, std::uint16_t* buffer, std::uint32_t size)
{
    return hid_string(handle, 3, buffer, size);
}

bool plat_hidd_get_product_string(plat_handle handle, std::uint16_t* buffer, std::uint32_t size)
{
    return hid_string(handle, 2, buffer, size);
}

void plat_sleep(std::uint32_t ms)
{
    sim_bus_state().sleeps.push_back(ms);
    sim_bus_advance_us(std::uint64_t{ms} * 1000);
    sim_bus_tick();
}

std::uint64_t plat_tick_count_ms() { return sim_bus_now_us() / 1000; }

plat_handle plat_get_std_input_handle() { return &g_console_token; }

bool plat_get_console_mode(plat_handle console, std::uint32_t* mode)
{
    if (console != &g_console_token)
        return fail(ERROR_INVALID_HANDLE);
    *mode = sim_bus_state().console_mode;
    return true;
}

bool plat_set_console_mode(plat_handle console, std::uint32_t mode)
{
    if (console != &g_console_token)
        return fail(ERROR_INVALID_HANDLE);
    sim_bus_state().console_mode = mode;
    return true;
}
