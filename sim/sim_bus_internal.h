// The bus's state as the sim backend of the seam sees it. Only
// platform/platform_sim.cpp and sim/sim_bus.cpp include this.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/sim_bus.h"

struct sim_device_slot {
    sim_identity identity;
    sim_peer* peer = nullptr;
    bool attached = false;
    std::uint32_t generation = 0;  // moves on at every attach, so old handles go stale
    bool pending = false;          // a return is scheduled
    std::uint64_t return_at_us = 0;
    bool return_by_calls = false;  // return_at_count of return_call, not a time
    sim_call return_call = SIM_CALL_NAME_LIST;
    std::uint32_t return_at_count = 0;
    sim_identity pending_identity;
    int port = 0;
};

enum sim_object_kind { SIM_OBJECT_FILE, SIM_OBJECT_WINUSB, SIM_OBJECT_DEVINFO, SIM_OBJECT_PREPARSED };

// What a name in the list stands for.
struct sim_name_target {
    int device = -1;       // -1: nothing behind the name
    int iface = -1;        // index into identity.interfaces; -1: the parent device node
    bool hid = false;      // the HID class interface of that USB interface
};

struct sim_object {
    sim_object_kind kind;
    sim_name_target target;
    std::uint32_t generation = 0;
    sim_object* file = nullptr;               // WinUSB handle: its file handle
    std::vector<std::string> paths;           // device list: HID paths taken when it was made
    std::vector<sim_name_target> targets;     // device list: what each path is
};

struct sim_list_entry {
    int device = -1;         // a device's names, or
    std::string name;        // one free-standing name
};

// The device-name list and what each name stands for, index by index.
struct sim_name_table {
    std::vector<std::string> names;
    std::vector<sim_name_target> targets;
};

struct sim_state {
    std::vector<sim_device_slot> devices;
    std::vector<sim_list_entry> list;
    std::vector<sim_fault> faults;
    std::uint32_t counts[SIM_CALL_COUNT] = {};
    std::function<void(const sim_transfer_record&)> recorder;
    bool realtime = false;
    std::uint64_t clock_us = 0;
    std::uint64_t realtime_start_us = 0;
    std::vector<std::uint32_t> sleeps;
    std::uint32_t console_mode = 0x1F7;  // a console's usual mode, quick-edit on
    std::set<sim_object*> objects;
    std::uint32_t last_error = 0;
    // Moves on whenever the list can change (a name, a device or an attach),
    // so the name table is rebuilt only then: a wait lists it hundreds of times.
    std::uint64_t version = 0;
    std::uint64_t table_version = ~std::uint64_t{0};
    sim_name_table table;
};

sim_state& sim_bus_state();

// Brings pending returns up to date with the clock.
void sim_bus_tick();

// Counts one call and says whether a fault applies to it (copied to *out).
bool sim_bus_fault_for(sim_call call, sim_fault* out);
void sim_bus_record(sim_call call, bool ok, std::uint32_t length, std::uint32_t done);

// Every name of every attached device and every free-standing name, in order,
// with what it stands for.
// Valid until the bus next changes.
const sim_name_table& sim_bus_name_table();
// The HID interface paths of attached devices, as SetupDi lists them.
void sim_bus_hid_paths(std::vector<std::string>* paths, std::vector<sim_name_target>* targets);

// The cost of moving `bytes` over the bus, charged to the clock.
void sim_bus_charge_transfer(std::uint32_t bytes);
