#include "sim/sim_controller.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr std::uint16_t VENDOR_ID = 0x3F1C;

bool parse_number(const std::string& text, std::uint32_t* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul)
        return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

struct bus_fault_name {
    const char* name;
    sim_call call;
    sim_fault_kind kind;
    std::uint32_t default_error;
};

const bus_fault_name BUS_FAULTS[] = {
    {"names-overflow", SIM_CALL_NAME_LIST, SIM_FAULT_FAIL, PLAT_ERROR_INSUFFICIENT_BUFFER},
    {"open-fail", SIM_CALL_CREATE_FILE, SIM_FAULT_FAIL, PLAT_ERROR_FILE_NOT_FOUND},
    {"no-winusb", SIM_CALL_WINUSB_INIT, SIM_FAULT_FAIL, PLAT_ERROR_BAD_COMMAND},
    {"descriptor-fail", SIM_CALL_GET_DESCRIPTOR, SIM_FAULT_FAIL, PLAT_ERROR_GEN_FAILURE},
    {"control-fail", SIM_CALL_CONTROL, SIM_FAULT_FAIL, PLAT_ERROR_GEN_FAILURE},
    {"control-short", SIM_CALL_CONTROL, SIM_FAULT_SHORT, 0},
    {"read-fail", SIM_CALL_READ_PIPE, SIM_FAULT_FAIL, PLAT_ERROR_GEN_FAILURE},
    {"read-short", SIM_CALL_READ_PIPE, SIM_FAULT_SHORT, 0},
    {"write-fail", SIM_CALL_WRITE_PIPE, SIM_FAULT_FAIL, PLAT_ERROR_GEN_FAILURE},
    {"write-short", SIM_CALL_WRITE_PIPE, SIM_FAULT_SHORT, 0},
    {"hid-list-fail", SIM_CALL_HID_LIST, SIM_FAULT_FAIL, PLAT_ERROR_GEN_FAILURE},
    {"hid-enum-fail", SIM_CALL_HID_ENUM, SIM_FAULT_FAIL, PLAT_ERROR_GEN_FAILURE},
    {"get-feature-fail", SIM_CALL_GET_FEATURE, SIM_FAULT_FAIL, PLAT_ERROR_GEN_FAILURE},
    {"get-feature-short", SIM_CALL_GET_FEATURE, SIM_FAULT_SHORT, 0},
    {"set-feature-fail", SIM_CALL_SET_FEATURE, SIM_FAULT_FAIL, PLAT_ERROR_GEN_FAILURE},
};

// 1: taken; 0: not a bus item; -1: bad value.
int bus_fault(const sim_fault_item& item)
{
    for (const bus_fault_name& b : BUS_FAULTS) {
        if (item.name != b.name)
            continue;
        sim_fault f;
        f.call = b.call;
        f.kind = b.kind;
        f.nth = item.nth;
        f.times = item.times;
        f.error = b.default_error;
        std::uint32_t v = 0;
        if (item.has_value && !parse_number(item.value, &v))
            return -1;
        if (b.kind == SIM_FAULT_SHORT)
            f.short_length = v;
        else if (item.has_value)
            f.error = v;
        sim_bus_add_fault(f);
        return 1;
    }
    return 0;
}

int core_fault(sim_controller& c, const sim_fault_item& item)
{
    std::uint32_t v = 0;
    const bool number = item.has_value && parse_number(item.value, &v);
    if (item.name == "never-back") {
        c.never_back = true;
    } else if (item.name == "back-in-runtime") {
        c.back_in_runtime = true;
    } else if (item.name == "back-after-probes") {
        if (!number || v == 0)
            return -1;
        c.back_after_probes = v;
    } else if (item.name == "return-delay") {
        if (!number)
            return -1;
        c.return_delay_ms = v;
    } else if (item.name == "start-dfu") {
        c.mode = SIM_MODE_DFU;
    } else if (item.name == "no-hid") {
        c.has_vendor_hid = false;
    } else if (item.name == "feature-length") {
        if (!number || v < 2 || v > 4096)
            return -1;
        c.feature_length = static_cast<std::uint16_t>(v);
    } else if (item.name == "runtime-pid") {
        if (!number || v > 0xFFFF)
            return -1;
        c.runtime_product_id = static_cast<std::uint16_t>(v);
    } else {
        return 0;
    }
    return 1;
}

}  // namespace

sim_controller::sim_controller()
{
    // A factory firmware, so that an upgrade visibly replaces it.
    firmware.assign(4096, 0xA5);
    dfu = sim_dfu_create(*this);
    report = sim_report_create(*this);
    tqp = sim_tqp_create(*this);
}

sim_controller::~sim_controller()
{
    sim_tqp_destroy(tqp);
    sim_report_destroy(report);
    sim_dfu_destroy(dfu);
}

sim_identity sim_controller::identity(sim_mode m) const
{
    sim_identity id;
    id.vendor_id = VENDOR_ID;
    id.serial = serial;
    if (m == SIM_MODE_DFU) {
        id.product_id = 0x0004;
        id.bcd_device = SIM_DFU_BCD;
        id.product = product + " DFU";
        sim_interface dfu_iface;
        dfu_iface.number = 0;
        dfu_iface.iface_class = 0xFE;
        dfu_iface.iface_subclass = 1;
        dfu_iface.iface_protocol = 2;
        id.interfaces.push_back(dfu_iface);
        return id;
    }
    id.product = product;
    if (is_bridge) {
        id.product_id = 0x800E;
        id.bcd_device = SIM_BRIDGE_BCD;
        id.product = "Ovandrel USB Bridge";
        sim_interface bulk;
        bulk.number = 0;
        bulk.pipes = {{0x81, PLAT_USB_PIPE_BULK, 64}, {0x02, PLAT_USB_PIPE_BULK, 64}};
        id.interfaces.push_back(bulk);
    } else {
        id.product_id = runtime_product_id;
        id.bcd_device = SIM_RUNTIME_BCD;
        sim_interface hid;
        hid.number = 0;
        hid.iface_class = 3;
        if (has_vendor_hid) {
            hid.driver = SIM_DRIVER_HID;
            hid.usage_page = 0xFF01;
            hid.usage = 0xF1;
            hid.feature_length = feature_length;
        } else {
            // A plain keyboard-like collection: not the vendor one.
            hid.driver = SIM_DRIVER_HID;
            hid.usage_page = 0x0001;
            hid.usage = 0x0006;
            hid.feature_length = 0;
        }
        hid.pipes = {{0x83, PLAT_USB_PIPE_INTERRUPT, 64}};
        id.interfaces.push_back(hid);
    }
    sim_interface runtime;
    runtime.number = static_cast<std::uint8_t>(id.interfaces.size());
    runtime.iface_class = 0xFE;
    runtime.iface_subclass = 1;
    runtime.iface_protocol = 1;
    id.interfaces.push_back(runtime);
    return id;
}

void sim_controller::attach()
{
    if (device < 0)
        device = sim_bus_add_device(identity(mode), this);
}

void sim_controller::leave_bus(sim_mode next)
{
    if (next == SIM_MODE_DFU && back_in_runtime)
        next = SIM_MODE_RUNTIME;
    mode = next;
    tqp_has_floor_ = false;
    sim_bus_detach(device);
    if (never_back)
        return;
    if (back_after_probes > 0)
        sim_bus_attach_after_calls(device, identity(next), SIM_CALL_NAME_LIST, back_after_probes);
    else
        sim_bus_attach_after(device, identity(next), return_delay_ms);
}

void sim_controller::keep_firmware(const std::uint8_t* image, std::size_t size)
{
    firmware.assign(image, image + size);
}

bool sim_controller::control(int, std::uint8_t iface, const std::uint8_t setup[8],
                             std::uint8_t* data, std::uint32_t length, std::uint32_t* done,
                             std::uint32_t* error)
{
    const std::uint8_t dfu_iface = mode == SIM_MODE_DFU ? 0 : 1;
    if (iface == dfu_iface && (setup[0] & 0x60) == 0x20)
        return sim_dfu_control(*this, iface, setup, data, length, done, error);
    return sim_peer::control(device, iface, setup, data, length, done, error);
}

bool sim_controller::bulk(int, std::uint8_t iface, std::uint8_t pipe, std::uint8_t* data,
                          std::uint32_t length, std::uint32_t* done, std::uint32_t* error)
{
    if (is_bridge && mode == SIM_MODE_RUNTIME && iface == 0)
        return sim_report_bulk(*this, pipe, data, length, done, error);
    return sim_peer::bulk(device, iface, pipe, data, length, done, error);
}

bool sim_controller::get_feature(int, std::uint8_t, std::uint8_t* report, std::uint32_t length)
{
    if (speaks_tqp && tqp_has_floor_)
        return sim_tqp_get_feature(*this, report, length);
    if (speaks_report)
        return sim_report_get_feature(*this, report, length);
    return false;  // the firmware has nothing to say on this collection
}

bool sim_controller::set_feature(int, std::uint8_t, const std::uint8_t* report,
                                 std::uint32_t length)
{
    if (speaks_tqp && length > 1 && report[1] == 0x80) {
        tqp_has_floor_ = true;
        return sim_tqp_set_feature(*this, report, length);
    }
    tqp_has_floor_ = false;
    if (speaks_report)
        return sim_report_set_feature(*this, report, length);
    return false;
}

bool sim_controller_configure(sim_controller& c, std::string_view kind)
{
    if (kind == "dfu") {
    } else if (kind == "report") {
        c.speaks_report = true;
    } else if (kind == "tqp") {
        c.speaks_report = true;
        c.speaks_tqp = true;
    } else if (kind == "bridge") {
        c.is_bridge = true;
        c.speaks_report = true;
    } else {
        return false;
    }
    return true;
}

bool sim_fault_item_parse(std::string_view text, sim_fault_item* out)
{
    *out = sim_fault_item{};
    std::string_view head = text;
    const std::size_t at = text.rfind('@');
    if (at != std::string_view::npos) {
        head = text.substr(0, at);
        std::string tail(text.substr(at + 1));
        out->has_nth = true;
        if (!tail.empty() && tail.back() == '-') {
            out->times = 0;
            tail.pop_back();
        } else if (const std::size_t star = tail.find('*'); star != std::string::npos) {
            std::uint32_t t = 0;
            if (!parse_number(tail.substr(star + 1), &t) || t == 0)
                return false;
            out->times = t;
            tail.resize(star);
        }
        if (!parse_number(tail, &out->nth) || out->nth == 0)
            return false;
    }
    const std::size_t eq = head.find('=');
    if (eq != std::string_view::npos) {
        out->value = std::string(head.substr(eq + 1));
        out->has_value = true;
        head = head.substr(0, eq);
    }
    out->name = std::string(head);
    return !out->name.empty();
}

bool sim_controller_faults(sim_controller& c, std::string_view text, std::string* error)
{
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view piece = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (piece.empty())
            continue;
        sim_fault_item item;
        int taken = sim_fault_item_parse(piece, &item) ? 0 : -1;
        if (taken == 0)
            taken = bus_fault(item);
        if (taken == 0)
            taken = core_fault(c, item);
        if (taken == 0)
            taken = sim_dfu_fault(c, item);
        if (taken == 0)
            taken = sim_report_fault(c, item);
        if (taken == 0)
            taken = sim_tqp_fault(c, item);
        if (taken != 1) {
            *error = std::string(taken == 0 ? "unknown fault '" : "bad fault '") + std::string(piece) + "'";
            return false;
        }
    }
    return true;
}

std::uint32_t sim_dfu_crc(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

void sim_controller_dump(const sim_controller& c, std::FILE* out)
{
    std::fprintf(out, "attached=%d\n", c.device >= 0 && sim_bus_attached(c.device) ? 1 : 0);
    std::fprintf(out, "mode=%s\n", c.mode == SIM_MODE_DFU ? "dfu" : "runtime");
    std::fprintf(out, "firmware_size=%zu\n", c.firmware.size());
    std::fprintf(out, "firmware_crc=%08x\n", sim_dfu_crc(c.firmware.data(), c.firmware.size()));
    std::fprintf(out, "clock_ms=%llu\n", static_cast<unsigned long long>(sim_bus_now_us() / 1000));
    std::fprintf(out, "sleeps=");
    const auto& sleeps = sim_bus_sleeps();
    for (std::size_t i = 0; i < sleeps.size(); ++i)
        std::fprintf(out, "%s%u", i ? "," : "", sleeps[i]);
    std::fprintf(out, "\nconsole_mode=0x%x\n", sim_bus_console_mode());
    std::fprintf(out, "open_objects=%d\n", sim_bus_open_objects());
    sim_dfu_dump(c, out);
    sim_report_dump(c, out);
    sim_tqp_dump(c, out);
}
