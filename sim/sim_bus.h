// The virtual bus: a process-wide set of simulated USB devices behind the
// sim backend of the platform seam. Tests and flash-tool-sim fill it; the
// seam functions in platform/platform_sim.cpp read it.
//
// Time is virtual unless real-time mode is on: sleeps advance the clock at
// once, and every transfer costs roughly what it costs at USB full speed, so
// waits and time-outs behave as they would on hardware.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum sim_driver {
    SIM_DRIVER_WINUSB,  // WinUSB serves the interface
    SIM_DRIVER_HID,     // the HID class driver serves it
    SIM_DRIVER_OTHER,   // some other driver: nobody here can open it
};

struct sim_pipe {
    std::uint8_t id;    // bit 7 set: IN
    std::uint8_t type;  // PLAT_USB_PIPE_*
    std::uint16_t max_packet;
};

struct sim_interface {
    std::uint8_t number = 0;
    std::uint8_t iface_class = 0xFF;
    std::uint8_t iface_subclass = 0;
    std::uint8_t iface_protocol = 0;
    sim_driver driver = SIM_DRIVER_WINUSB;
    std::vector<sim_pipe> pipes;
    // HID interfaces: the top-level collection and its feature report size.
    std::uint16_t usage_page = 0;
    std::uint16_t usage = 0;
    std::uint16_t feature_length = 0;
};

struct sim_identity {
    std::uint16_t vendor_id = 0x3F1C;
    std::uint16_t product_id = 0;
    std::uint16_t bcd_device = 0x0100;
    std::string manufacturer = "Ovandrel";
    std::string product;
    std::string serial;
    std::vector<sim_interface> interfaces;
};

// What a device does with the transfers it is sent. Every hook returns true
// with the count moved, or false with the Windows error code the host sees.
class sim_peer {
public:
    virtual ~sim_peer() = default;
    virtual bool control(int device, std::uint8_t iface, const std::uint8_t setup[8],
                         std::uint8_t* data, std::uint32_t length, std::uint32_t* done,
                         std::uint32_t* error);
    virtual bool bulk(int device, std::uint8_t iface, std::uint8_t pipe, std::uint8_t* data,
                      std::uint32_t length, std::uint32_t* done, std::uint32_t* error);
    virtual bool get_feature(int device, std::uint8_t iface, std::uint8_t* report,
                             std::uint32_t length);
    virtual bool set_feature(int device, std::uint8_t iface, const std::uint8_t* report,
                             std::uint32_t length);
    // Descriptor requests. The bus answers them from the identity, as any
    // sound firmware would, unless the peer wants to answer them itself.
    virtual bool answers_descriptors() const;
    virtual bool descriptor(int device, std::uint8_t type, std::uint8_t index, std::uint8_t* data,
                            std::uint32_t length, std::uint32_t* done, std::uint32_t* error);
};

// The seam calls that can be counted and made to fail.
enum sim_call {
    SIM_CALL_NAME_LIST,
    SIM_CALL_CREATE_FILE,
    SIM_CALL_WINUSB_INIT,
    SIM_CALL_GET_DESCRIPTOR,
    SIM_CALL_QUERY_INTERFACE,
    SIM_CALL_QUERY_PIPE,
    SIM_CALL_CONTROL,
    SIM_CALL_READ_PIPE,
    SIM_CALL_WRITE_PIPE,
    SIM_CALL_HID_LIST,
    SIM_CALL_HID_ENUM,
    SIM_CALL_HID_DETAIL,
    SIM_CALL_HID_ATTRIBUTES,
    SIM_CALL_HID_PREPARSED,
    SIM_CALL_HID_CAPS,
    SIM_CALL_GET_FEATURE,
    SIM_CALL_SET_FEATURE,
    SIM_CALL_COUNT
};

enum sim_fault_kind {
    SIM_FAULT_FAIL,   // the call fails with `error`
    SIM_FAULT_SHORT,  // a transfer moves at most `short_length` bytes (data delivered is cut)
};

struct sim_fault {
    sim_call call = SIM_CALL_CONTROL;
    std::uint32_t nth = 1;    // the first call (1-based) it applies to
    std::uint32_t times = 1;  // how many calls from there on; 0 for all
    sim_fault_kind kind = SIM_FAULT_FAIL;
    std::uint32_t error = 31;
    std::uint32_t short_length = 0;
};

// One transfer as the host saw it, for tests and the fault matrix.
struct sim_transfer_record {
    sim_call call;
    std::uint64_t time_us;
    bool ok;
    std::uint32_t length;
    std::uint32_t done;
};

// Empties the bus: devices, names, faults, counters, clock back to 0.
void sim_bus_reset();

// Adds a device, attached at once. The peer is not owned. Returns its id.
int sim_bus_add_device(const sim_identity& identity, sim_peer* peer);
// A name in the device-name list that no device stands behind (a volume, a
// COM port, or anything a test wants), at this point of the list order.
void sim_bus_add_name(const std::string& name);

// The device leaves the bus; every handle to it fails from now on.
void sim_bus_detach(int device);
// The device comes back, with this identity, `delay_ms` after now
// (0: at once). A later call replaces a pending return.
void sim_bus_attach_after(int device, const sim_identity& identity, std::uint32_t delay_ms);
// The device comes back once `count` more calls of `call` have been made
// (for instance: after so many probes, each of which lists the names).
void sim_bus_attach_after_calls(int device, const sim_identity& identity, sim_call call,
                                std::uint32_t count);
bool sim_bus_attached(int device);
const sim_identity& sim_bus_identity(int device);

// Device-interface names, in list order, as QueryDosDeviceA gives them.
std::vector<std::string> sim_bus_names();

void sim_bus_add_fault(const sim_fault& fault);
std::uint32_t sim_bus_call_count(sim_call call);
// Called after every counted seam call, with its record.
void sim_bus_set_recorder(std::function<void(const sim_transfer_record&)> recorder);

// Clock. Virtual: starts at 0 and moves by sleeps and transfer costs.
void sim_bus_set_realtime(bool on);
std::uint64_t sim_bus_now_us();
void sim_bus_advance_us(std::uint64_t us);
// Every sleep the program asked for, in order (milliseconds).
const std::vector<std::uint32_t>& sim_bus_sleeps();

// The console mode the seam hands out and takes back.
std::uint32_t sim_bus_console_mode();
void sim_bus_set_console_mode(std::uint32_t mode);

// Handles, WinUSB handles, device lists and parsed descriptors the program
// has not released yet.
int sim_bus_open_objects();
