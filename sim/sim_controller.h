// A simulated touch controller on the virtual bus. It keeps its firmware
// across restarts and has two personalities: run-time mode (its firmware
// running: the vendor HID collection on interface 0, the DFU run-time
// interface on interface 1) and DFU mode (product ID 0x0004, one DFU
// interface). What it speaks beyond its descriptors comes from the protocol
// parts: DFU (sim/dfu_sim.cpp), the report protocol and the bridge
// (sim/report_sim.cpp) and TQP (sim/tqp_sim.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_bus.h"

enum sim_mode { SIM_MODE_RUNTIME, SIM_MODE_DFU };

constexpr std::uint16_t SIM_RUNTIME_PRODUCT_ID = 0x0150;
constexpr std::uint16_t SIM_RUNTIME_BCD = 0x0213;
constexpr std::uint16_t SIM_DFU_BCD = 0x0100;
constexpr std::uint16_t SIM_BRIDGE_BCD = 0x0101;

struct sim_dfu_state;
struct sim_report_state;
struct sim_tqp_state;

// One item of the fault language: NAME[=VALUE][@N[-|*T]].
struct sim_fault_item {
    std::string name;
    std::string value;        // empty when not given
    bool has_value = false;
    std::uint32_t nth = 1;    // @N: the Nth occurrence (1-based)
    std::uint32_t times = 1;  // *T: so many occurrences; '-' (0): all from N on
    bool has_nth = false;
};

class sim_controller : public sim_peer {
public:
    // Which protocols the firmware speaks.
    bool speaks_report = false;
    bool speaks_tqp = false;
    bool is_bridge = false;
    bool has_vendor_hid = true;
    std::uint16_t feature_length = 257;

    std::uint16_t runtime_product_id = SIM_RUNTIME_PRODUCT_ID;
    std::string product = "Ovandrel Touch Controller";
    std::string serial = "OV2C7F0012";
    std::uint32_t return_delay_ms = 300;  // off the bus after a detach or restart

    // How it comes back after leaving the bus.
    bool never_back = false;
    std::uint32_t back_after_probes = 0;  // 0: after return_delay_ms instead
    bool back_in_runtime = false;         // a run-time detach comes back in run-time mode

    int device = -1;  // its id on the bus
    sim_mode mode = SIM_MODE_RUNTIME;
    std::vector<std::uint8_t> firmware;  // what it runs; replaced only by a complete upgrade

    sim_dfu_state* dfu = nullptr;
    sim_report_state* report = nullptr;
    sim_tqp_state* tqp = nullptr;

    sim_controller();
    ~sim_controller() override;
    sim_controller(const sim_controller&) = delete;
    sim_controller& operator=(const sim_controller&) = delete;

    // Its descriptors in a mode.
    sim_identity identity(sim_mode m) const;
    // Puts it on the bus in the current mode.
    void attach();
    // Leaves the bus and comes back in `next` as the return settings say.
    void leave_bus(sim_mode next);
    // Keeps an image as the new firmware.
    void keep_firmware(const std::uint8_t* image, std::size_t size);

    bool control(int device, std::uint8_t iface, const std::uint8_t setup[8], std::uint8_t* data,
                 std::uint32_t length, std::uint32_t* done, std::uint32_t* error) override;
    bool bulk(int device, std::uint8_t iface, std::uint8_t pipe, std::uint8_t* data,
              std::uint32_t length, std::uint32_t* done, std::uint32_t* error) override;
    bool get_feature(int device, std::uint8_t iface, std::uint8_t* report,
                     std::uint32_t length) override;
    bool set_feature(int device, std::uint8_t iface, const std::uint8_t* report,
                     std::uint32_t length) override;

private:
    bool tqp_has_floor_ = false;  // the last report written was a TQP frame
};

// Sets up a controller by name: dfu, report, tqp or bridge. False for an
// unknown name.
bool sim_controller_configure(sim_controller& c, std::string_view kind);

// Applies a comma-separated list of fault items. On an unknown or malformed
// item, writes a message to *error and returns false.
bool sim_controller_faults(sim_controller& c, std::string_view text, std::string* error);

// Parses one item; false when malformed.
bool sim_fault_item_parse(std::string_view text, sim_fault_item* out);

// A key=value report of the controller and the bus after a run.
void sim_controller_dump(const sim_controller& c, std::FILE* out);

// The standard DFU CRC-32 (reflected 0xEDB88320, start ~0, no final xor).
std::uint32_t sim_dfu_crc(const std::uint8_t* data, std::size_t size);

// --- the protocol parts -------------------------------------------------
// Each part makes and frees its state, answers its transfers, takes the
// fault items it knows (1: taken, 0: not its item, -1: bad value) and adds
// its lines to the dump.

sim_dfu_state* sim_dfu_create(sim_controller& c);
void sim_dfu_destroy(sim_dfu_state* s);
bool sim_dfu_control(sim_controller& c, std::uint8_t iface, const std::uint8_t setup[8],
                     std::uint8_t* data, std::uint32_t length, std::uint32_t* done,
                     std::uint32_t* error);
int sim_dfu_fault(sim_controller& c, const sim_fault_item& item);
void sim_dfu_dump(const sim_controller& c, std::FILE* out);

sim_report_state* sim_report_create(sim_controller& c);
void sim_report_destroy(sim_report_state* s);
bool sim_report_get_feature(sim_controller& c, std::uint8_t* report, std::uint32_t length);
bool sim_report_set_feature(sim_controller& c, const std::uint8_t* report, std::uint32_t length);
bool sim_report_bulk(sim_controller& c, std::uint8_t pipe, std::uint8_t* data,
                     std::uint32_t length, std::uint32_t* done, std::uint32_t* error);
int sim_report_fault(sim_controller& c, const sim_fault_item& item);
void sim_report_dump(const sim_controller& c, std::FILE* out);

sim_tqp_state* sim_tqp_create(sim_controller& c);
void sim_tqp_destroy(sim_tqp_state* s);
bool sim_tqp_get_feature(sim_controller& c, std::uint8_t* report, std::uint32_t length);
bool sim_tqp_set_feature(sim_controller& c, const std::uint8_t* report, std::uint32_t length);
int sim_tqp_fault(sim_controller& c, const sim_fault_item& item);
void sim_tqp_dump(const sim_controller& c, std::FILE* out);
