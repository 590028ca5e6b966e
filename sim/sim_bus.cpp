#include "sim/sim_bus.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/platform.h"
#include "sim/sim_bus_internal.h"

namespace {

sim_state g_state;

std::uint64_t steady_us()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

const char* const GUID_USB_DEVICE = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const char* const GUID_WINUSB = "{dee824ef-729b-4a0e-9c14-b7117d33a817}";
const char* const GUID_HID = "{4d1e55b2-f16f-11cf-88cb-001111000030}";

std::string vid_pid(const sim_identity& id, const char* vid_fmt)
{
    char text[40];
    std::snprintf(text, sizeof text, vid_fmt, id.vendor_id, id.product_id);
    return text;
}

std::string instance_of(const sim_device_slot& d)
{
    if (!d.identity.serial.empty())
        return d.identity.serial;
    char text[32];
    std::snprintf(text, sizeof text, "5&2c1f7a%02x&0&%d", d.port & 0xFF, d.port);
    return text;
}

std::string child_instance(const sim_device_slot& d, int iface)
{
    char text[40];
    std::snprintf(text, sizeof text, "7&1b3d%04x&0&%04d", (d.port * 37) & 0xFFFF, iface);
    return text;
}

}  // namespace

bool sim_peer::control(int, std::uint8_t, const std::uint8_t*, std::uint8_t*, std::uint32_t,
                       std::uint32_t* done, std::uint32_t* error)
{
    *done = 0;
    *error = PLAT_ERROR_GEN_FAILURE;  // a stall
    return false;
}

bool sim_peer::bulk(int, std::uint8_t, std::uint8_t, std::uint8_t*, std::uint32_t,
                    std::uint32_t* done, std::uint32_t* error)
{
    *done = 0;
    *error = PLAT_ERROR_SEM_TIMEOUT;
    return false;
}

bool sim_peer::get_feature(int, std::uint8_t, std::uint8_t*, std::uint32_t) { return false; }
bool sim_peer::set_feature(int, std::uint8_t, const std::uint8_t*, std::uint32_t) { return false; }
bool sim_peer::answers_descriptors() const { return false; }
bool sim_peer::descriptor(int, std::uint8_t, std::uint8_t, std::uint8_t*, std::uint32_t,
                          std::uint32_t* done, std::uint32_t* error)
{
    *done = 0;
    *error = PLAT_ERROR_GEN_FAILURE;
    return false;
}

sim_state& sim_bus_state() { return g_state; }

void sim_bus_reset()
{
    for (sim_object* o : g_state.objects)
        delete o;
    g_state = sim_state{};
    g_state.realtime_start_us = steady_us();
}

int sim_bus_add_device(const sim_identity& identity, sim_peer* peer)
{
    sim_device_slot d;
    d.identity = identity;
    d.peer = peer;
    d.attached = true;
    d.generation = 1;
    d.port = static_cast<int>(g_state.devices.size()) + 1;
    g_state.devices.push_back(d);
    const int id = static_cast<int>(g_state.devices.size()) - 1;
    g_state.list.push_back(sim_list_entry{id, {}});
    ++g_state.version;
    return id;
}

void sim_bus_add_name(const std::string& name)
{
    g_state.list.push_back(sim_list_entry{-1, name});
    ++g_state.version;
}

void sim_bus_detach(int device)
{
    sim_device_slot& d = g_state.devices.at(static_cast<std::size_t>(device));
    d.attached = false;
    d.pending = false;
    ++g_state.version;
}

void sim_bus_attach_after(int device, const sim_identity& identity, std::uint32_t delay_ms)
{
    sim_device_slot& d = g_state.devices.at(static_cast<std::size_t>(device));
    d.pending = true;
    d.return_by_calls = false;
    d.pending_identity = identity;
    d.return_at_us = sim_bus_now_us() + std::uint64_t{delay_ms} * 1000;
    sim_bus_tick();
}

void sim_bus_attach_after_calls(int device, const sim_identity& identity, sim_call call,
                                std::uint32_t count)
{
    sim_device_slot& d = g_state.devices.at(static_cast<std::size_t>(device));
    d.pending = true;
    d.return_by_calls = true;
    d.pending_identity = identity;
    d.return_call = call;
    d.return_at_count = g_state.counts[call] + count;
}

bool sim_bus_attached(int device)
{
    sim_bus_tick();
    return g_state.devices.at(static_cast<std::size_t>(device)).attached;
}

const sim_identity& sim_bus_identity(int device)
{
    return g_state.devices.at(static_cast<std::size_t>(device)).identity;
}

void sim_bus_tick()
{
    const std::uint64_t now = sim_bus_now_us();
    for (sim_device_slot& d : g_state.devices) {
        const bool due = d.return_by_calls ? g_state.counts[d.return_call] >= d.return_at_count
                                           : now >= d.return_at_us;
        if (d.pending && due) {
            d.pending = false;
            d.attached = true;
            d.identity = d.pending_identity;
            ++d.generation;
            ++g_state.version;
        }
    }
}

const sim_name_table& sim_bus_name_table()
{
    sim_bus_tick();
    if (g_state.table_version == g_state.version)
        return g_state.table;
    g_state.table = sim_name_table{};
    g_state.table_version = g_state.version;
    auto add = [](std::string name, sim_name_target t) {
        g_state.table.names.push_back(std::move(name));
        g_state.table.targets.push_back(t);
    };
    for (const sim_list_entry& e : g_state.list) {
        if (e.device < 0) {
            add(e.name, sim_name_target{});
            continue;
        }
        const sim_device_slot& d = g_state.devices[static_cast<std::size_t>(e.device)];
        if (!d.attached)
            continue;
        const std::string ids = vid_pid(d.identity, "VID_%04X&PID_%04X");
        const auto& ifs = d.identity.interfaces;
        if (ifs.size() <= 1) {
            add("USB#" + ids + "#" + instance_of(d) + "#" + GUID_USB_DEVICE, {e.device, 0, false});
            if (!ifs.empty() && ifs[0].driver == SIM_DRIVER_WINUSB)
                add("USB#" + ids + "#" + instance_of(d) + "#" + GUID_WINUSB, {e.device, 0, false});
            if (!ifs.empty() && ifs[0].driver == SIM_DRIVER_HID)
                add("HID#" + ids + "#" + child_instance(d, 0) + "#" + GUID_HID, {e.device, 0, true});
            continue;
        }
        add("USB#" + ids + "#" + instance_of(d) + "#" + GUID_USB_DEVICE, {e.device, -1, false});
        for (std::size_t i = 0; i < ifs.size(); ++i) {
            char mi[16];
            std::snprintf(mi, sizeof mi, "&MI_%02u", ifs[i].number);
            const int index = static_cast<int>(i);
            add("USB#" + ids + mi + "#" + child_instance(d, index) + "#" + GUID_WINUSB,
                {e.device, index, false});
            if (ifs[i].driver == SIM_DRIVER_HID)
                add("HID#" + ids + mi + "#" + child_instance(d, index) + "#" + GUID_HID,
                    {e.device, index, true});
        }
    }    return g_state.table;
}

void sim_bus_hid_paths(std::vector<std::string>* paths, std::vector<sim_name_target>* targets)
{
    const sim_name_table& table = sim_bus_name_table();
    const std::vector<std::string>& names = table.names;
    const std::vector<sim_name_target>& all = table.targets;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!all[i].hid)
            continue;
        std::string path = "\\\\?\\" + names[i];
        for (char& c : path)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        paths->push_back(path);
        targets->push_back(all[i]);
    }
}

std::vector<std::string> sim_bus_names() { return sim_bus_name_table().names; }

void sim_bus_add_fault(const sim_fault& fault) { g_state.faults.push_back(fault); }

std::uint32_t sim_bus_call_count(sim_call call) { return g_state.counts[call]; }

void sim_bus_set_recorder(std::function<void(const sim_transfer_record&)> recorder)
{
    g_state.recorder = std::move(recorder);
}

bool sim_bus_fault_for(sim_call call, sim_fault* out)
{
    const std::uint32_t n = ++g_state.counts[call];
    for (const sim_fault& f : g_state.faults) {
        if (f.call != call || n < f.nth)
            continue;
        if (f.times != 0 && n >= f.nth + f.times)
            continue;
        *out = f;
        return true;
    }
    return false;
}

void sim_bus_record(sim_call call, bool ok, std::uint32_t length, std::uint32_t done)
{
    if (g_state.recorder)
        g_state.recorder(sim_transfer_record{call, sim_bus_now_us(), ok, length, done});
}

void sim_bus_set_realtime(bool on)
{
    g_state.realtime = on;
    g_state.realtime_start_us = steady_us() - g_state.clock_us;
}

std::uint64_t sim_bus_now_us()
{
    if (g_state.realtime)
        return steady_us() - g_state.realtime_start_us;
    return g_state.clock_us;
}

void sim_bus_advance_us(std::uint64_t us)
{
    if (g_state.realtime)
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    else
        g_state.clock_us += us;
}

void sim_bus_charge_transfer(std::uint32_t bytes)
{
    // About USB full speed: a frame's worth of overhead plus ~1 MB/s.
    if (!g_state.realtime)
        g_state.clock_us += 125 + bytes;
}

const std::vector<std::uint32_t>& sim_bus_sleeps() { return g_state.sleeps; }

std::uint32_t sim_bus_console_mode() { return g_state.console_mode; }
void sim_bus_set_console_mode(std::uint32_t mode) { g_state.console_mode = mode; }

int sim_bus_open_objects() { return static_cast<int>(g_state.objects.size()); }
