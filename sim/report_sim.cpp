// The report protocol of the simulated controller: one engine that takes
// requests and gives replies, behind two framings. On the vendor HID
// collection a request is a feature report written and a reply a feature
// report read (report ID 0xFF); on the bridge a request is a "TQPS" frame
// on the OUT pipe and a reply is asked for with "TQPG" and read from the IN
// pipe. Faults are counted per command: the Nth request, or the Nth reply,
// to that command.
#include "sim/report_sim.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "sim/sim_controller.h"
#include "usb/wire.h"

const char* const SIM_REPORT_INFO_TEXT = "Ovandrel TC-2 touch controller, firmware 2.13.0, bootloader 1.4";

namespace {

constexpr std::uint32_t INFO_MAGIC = 0x5A3C96E1u;
constexpr int COMMANDS = 6;   // INFO .. READ_INFO
constexpr int OTHER = COMMANDS;  // counters for any other code
constexpr int CMD_INFO = 0, CMD_PREPARE = 1, CMD_DATA = 2, CMD_FLASH_STATUS = 3, CMD_RESET = 4,
              CMD_READ_INFO = 5;
constexpr const char* COMMAND_NAMES[COMMANDS + 1] = {"info",  "prepare",   "data", "flash_status",
                                                     "reset", "read_info", "other"};

constexpr std::uint32_t HID_REQUEST_HEADER = 4;  // ID, command, length
constexpr std::uint32_t HID_REPLY_HEADER = 5;    // ID, command, status, length
constexpr std::uint32_t BRIDGE_REQUEST_HEADER = 7;
constexpr std::uint32_t BRIDGE_REPLY_HEADER = 8;
constexpr std::uint32_t BRIDGE_FRAME = 260;
constexpr std::uint32_t BRIDGE_REPLY_ROOM = 251;  // what the host takes from a frame
constexpr std::uint8_t BRIDGE_OUT_PIPE = 0x02;
constexpr std::uint8_t BRIDGE_IN_PIPE = 0x81;
constexpr std::uint32_t TIMEOUT_MS = 5000;  // what a transfer nobody answers costs

enum fault_kind {
    F_REQUEST_FAIL,   // the request times out
    F_REQUEST_STALL,  // the request is refused at once
    F_REPLY_FAIL,
    F_REPLY_STALL,
    F_WRONG_CODE,     // the reply answers another command
    F_BAD_STATUS,     // the reply carries a non-zero status
    F_LONG_LENGTH,    // the length field claims one byte more than the report can carry
    F_WRONG_COUNT,    // DATA: the chunk count is off by the value
    F_INFO_STATUS,    // INFO: its own status byte
    F_INFO_SHORT,     // INFO: the payload is cut to the value
    F_INFO_MAGIC,     // INFO: another magic
    F_NO_NUL,         // the reply's text fills the payload without a terminator
    F_READ_INFO_TOTAL,   // READ_INFO: the reply claims this total
    F_READ_INFO_OFFSET,  // READ_INFO: the reply claims this offset
    F_READ_INFO_STUCK,   // READ_INFO: the offset does not move on
};

struct report_fault {
    fault_kind kind;
    int command;
    std::uint32_t nth;
    std::uint32_t times;  // 0: all from nth on
    std::int64_t value;
};

// How one transfer went, as the host sees it.
enum transfer_result { XFER_OK, XFER_FAIL, XFER_STALL };

// One reply, before it is framed.
struct reply {
    std::uint8_t code = 0;
    std::uint8_t status = 0;
    std::uint32_t length = 0;          // payload bytes placed
    std::uint32_t claimed = 0;         // the length field
    std::uint8_t payload[4096] = {};   // room for any feature report length
};

std::string diagnostic_line(std::size_t i)
{
    char line[96];
    const unsigned baseline = 1800 + static_cast<unsigned>((i * 37) % 211);
    const unsigned noise = 2 + static_cast<unsigned>((i * 7) % 9);
    std::snprintf(line, sizeof line, "sensor %3zu: baseline %4u noise %2u gain %2u status ok\n", i,
                  baseline, noise, 12 + static_cast<unsigned>(i % 5));
    return line;
}

}  // namespace

std::string sim_report_diagnostic_text(std::size_t size)
{
    std::string text =
        "Ovandrel TC-2 diagnostics\n"
        "firmware 2.13.0 build 0412, bootloader 1.4\n"
        "uptime 00:03:41, resets 17, last reset: host request\n"
        "panel 27\" 10-point, 48 x 27 sensors\n";
    for (std::size_t i = 0; text.size() < size; ++i)
        text += diagnostic_line(i);
    text.resize(size);
    return text;
}

const char* sim_report_status_text(int code)
{
    if (code == 0)
        return "Image verified";
    if (code > 0)
        return "Image written, calibration data kept";
    return "Image verification failed";
}

struct sim_report_state {
    // What it says.
    std::string info_text = SIM_REPORT_INFO_TEXT;
    std::string diagnostics = sim_report_diagnostic_text(SIM_REPORT_DIAG_SIZE);
    std::uint32_t prepare_polls = SIM_REPORT_PREPARE_POLLS;
    std::uint32_t busy_polls = SIM_REPORT_BUSY_POLLS;
    bool never_ready = false;
    bool always_busy = false;
    int flash_result = 0;
    bool flash_text_given = false;
    std::string flash_text;
    std::vector<report_fault> faults;

    // Counters, per command.
    std::uint32_t requests[COMMANDS + 1] = {};
    std::uint32_t replies[COMMANDS + 1] = {};
    std::uint32_t malformed = 0;
    std::uint32_t bridge_reads = 0;
    std::uint32_t images_kept = 0;
    std::uint64_t data_bytes = 0;
    std::int64_t last_count = -1;  // the chunk count last answered

    // The engine.
    int pending = -1;  // the command the next reply answers
    std::uint32_t not_ready_left = 0;
    std::uint32_t busy_left = 0;
    bool prepared = false;
    std::vector<std::uint8_t> staged;  // the image as it arrives
    std::uint32_t next_offset = 0;     // where an in-order chunk goes next
    bool in_order = true;
    std::uint32_t chunks = 0;
    std::uint32_t flash_size = 0;
    bool flash_finished = false;
    std::uint32_t read_cursor = 0;

    // The bridge's reply waiting to be read from the IN pipe.
    bool queued = false;
    transfer_result queued_result = XFER_OK;
    std::uint8_t queued_frame[BRIDGE_FRAME] = {};
    std::uint32_t queued_length = 0;
};

namespace {

int slot(int command) { return command >= 0 && command < COMMANDS ? command : OTHER; }

bool occurrence_matches(const report_fault& f, std::uint32_t occurrence)
{
    return occurrence >= f.nth && (f.times == 0 || occurrence - f.nth < f.times);
}

// The fault of `kind` for this occurrence of the command, if any.
const report_fault* fault_for(const sim_report_state& s, fault_kind kind, int command,
                              std::uint32_t occurrence)
{
    for (const report_fault& f : s.faults)
        if (f.kind == kind && (f.command < 0 || f.command == command) && occurrence_matches(f, occurrence))
            return &f;
    return nullptr;
}

void start_image(sim_report_state& s)
{
    s.prepared = true;
    s.staged.clear();
    s.next_offset = 0;
    s.in_order = true;
    s.chunks = 0;
    s.flash_finished = false;
}

transfer_result take_request(sim_controller& c, int command, const std::uint8_t* payload,
                             std::uint32_t length)
{
    sim_report_state& s = *c.report;
    const std::uint32_t n = ++s.requests[slot(command)];
    if (fault_for(s, F_REQUEST_FAIL, command, n)) {
        sim_bus_advance_us(std::uint64_t{TIMEOUT_MS} * 1000);
        return XFER_FAIL;
    }
    if (fault_for(s, F_REQUEST_STALL, command, n))
        return XFER_STALL;

    s.pending = command;
    switch (command) {
    case CMD_PREPARE:
        s.not_ready_left = s.prepare_polls;
        start_image(s);
        break;
    case CMD_DATA: {
        // Chunks before a prepare, or that would not fit the flash, are
        // dropped, and so do not count.
        if (!s.prepared || length < 4)
            break;
        const std::uint32_t offset = wire_get32(payload);
        const std::uint32_t bytes = length - 4;
        if (std::uint64_t{offset} + bytes > SIM_REPORT_MAX_IMAGE)
            break;
        if (s.staged.size() < offset + bytes)
            s.staged.resize(offset + bytes);
        std::memcpy(s.staged.data() + offset, payload + 4, bytes);
        if (offset == s.next_offset)
            s.next_offset += bytes;
        else
            s.in_order = false;
        ++s.chunks;
        s.data_bytes += bytes;
        break;
    }
    case CMD_FLASH_STATUS:
        s.flash_size = length >= 4 ? wire_get32(payload) : 0;
        s.busy_left = s.busy_polls;
        s.flash_finished = false;
        break;
    case CMD_RESET:
        s.pending = -1;
        s.prepared = false;
        c.leave_bus(SIM_MODE_RUNTIME);
        break;
    case CMD_READ_INFO:
        s.read_cursor = 0;
        break;
    default:
        break;
    }
    return XFER_OK;
}

// A text with its NUL, or, under the no-nul fault, a text that fills all
// the room without one.
void put_text(reply& r, std::uint32_t at, const std::string& text, std::uint32_t room, bool no_nul)
{
    if (at >= room)
        return;
    std::uint32_t n = 0;
    if (no_nul) {
        for (; at + n < room; ++n)
            r.payload[at + n] = n < text.size() ? static_cast<std::uint8_t>(text[n]) : 'x';
    } else {
        n = static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), room - at - 1));
        std::memcpy(r.payload + at, text.data(), n);
        r.payload[at + n++] = 0;
    }
    r.length = at + n;
}

// The finished flash-status reply; keeps the image the first time.
int finish_flash(sim_controller& c, std::string* text)
{
    sim_report_state& s = *c.report;
    const bool complete = s.prepared && s.in_order && s.flash_size > 0 &&
                          s.next_offset == s.flash_size && s.staged.size() == s.flash_size;
    int code = complete ? s.flash_result : -1;
    if (!complete)
        *text = "Image incomplete";
    else
        *text = s.flash_text_given ? s.flash_text : sim_report_status_text(code);
    if (!s.flash_finished && complete && code >= 0) {
        c.keep_firmware(s.staged.data(), s.staged.size());
        ++s.images_kept;
    }
    s.flash_finished = true;
    return code;
}

transfer_result give_reply(sim_controller& c, std::uint32_t room, reply& r)
{
    sim_report_state& s = *c.report;
    const int command = s.pending;
    if (command < 0) {
        // Nothing asked: what a device says to a read out of turn.
        r.code = 0xFF;
        r.status = 0xFF;
        return XFER_OK;
    }
    const std::uint32_t n = ++s.replies[slot(command)];
    if (fault_for(s, F_REPLY_FAIL, command, n)) {
        sim_bus_advance_us(std::uint64_t{TIMEOUT_MS} * 1000);
        return XFER_FAIL;
    }
    if (fault_for(s, F_REPLY_STALL, command, n))
        return XFER_STALL;

    r.code = static_cast<std::uint8_t>(command);
    const bool no_nul = fault_for(s, F_NO_NUL, command, n) != nullptr;
    switch (command) {
    case CMD_INFO: {
        const report_fault* magic = fault_for(s, F_INFO_MAGIC, command, n);
        wire_put32(r.payload, magic ? static_cast<std::uint32_t>(magic->value) : INFO_MAGIC);
        const report_fault* status = fault_for(s, F_INFO_STATUS, command, n);
        r.payload[4] = status ? static_cast<std::uint8_t>(status->value) : 0;
        r.length = 5;
        put_text(r, 5, s.info_text, room, no_nul);
        if (const report_fault* cut = fault_for(s, F_INFO_SHORT, command, n))
            r.length = std::min<std::uint32_t>(r.length, static_cast<std::uint32_t>(cut->value));
        break;
    }
    case CMD_PREPARE:
        if (s.never_ready) {
            r.payload[0] = 0;
        } else if (s.not_ready_left > 0) {
            --s.not_ready_left;
            r.payload[0] = 0;
        } else {
            r.payload[0] = 1;
            // Ready: from now on it takes chunks, and a read tells how many
            // it has (none yet).
            s.pending = CMD_DATA;
        }
        r.length = 1;
        break;
    case CMD_DATA: {
        std::int64_t count = s.chunks;
        if (const report_fault* wrong = fault_for(s, F_WRONG_COUNT, command, n))
            count += wrong->value;
        wire_put16(r.payload, static_cast<std::uint32_t>(count));
        s.last_count = count;
        r.length = 2;
        break;
    }
    case CMD_FLASH_STATUS:
        if (s.always_busy || s.busy_left > 0) {
            if (s.busy_left > 0)
                --s.busy_left;
            r.payload[0] = 1;
            r.payload[1] = 0;
            r.length = 2;
        } else {
            std::string text;
            const int code = finish_flash(c, &text);
            r.payload[0] = 0;
            r.payload[1] = static_cast<std::uint8_t>(code);
            r.length = 2;
            put_text(r, 2, text, room, no_nul);
        }
        break;
    case CMD_READ_INFO: {
        const auto total = static_cast<std::uint32_t>(s.diagnostics.size());
        const std::uint32_t offset = std::min(s.read_cursor, total);
        const std::uint32_t bytes = std::min(total - offset, room > 8 ? room - 8 : 0);
        std::uint32_t claimed_total = total, claimed_offset = offset;
        if (const report_fault* f = fault_for(s, F_READ_INFO_TOTAL, command, n))
            claimed_total = static_cast<std::uint32_t>(f->value);
        if (const report_fault* f = fault_for(s, F_READ_INFO_OFFSET, command, n))
            claimed_offset = static_cast<std::uint32_t>(f->value);
        wire_put32(r.payload, claimed_total);
        wire_put32(r.payload + 4, claimed_offset);
        std::memcpy(r.payload + 8, s.diagnostics.data() + offset, bytes);
        r.length = 8 + bytes;
        if (!fault_for(s, F_READ_INFO_STUCK, command, n))
            s.read_cursor = offset + bytes;
        break;
    }
    default:
        r.status = 1;  // not a command it knows
        break;
    }

    r.claimed = r.length;
    if (const report_fault* f = fault_for(s, F_WRONG_CODE, command, n))
        r.code = static_cast<std::uint8_t>(f->value >= 0 ? f->value : command + 1);
    if (const report_fault* f = fault_for(s, F_BAD_STATUS, command, n))
        r.status = static_cast<std::uint8_t>(f->value);
    if (fault_for(s, F_LONG_LENGTH, command, n))
        r.claimed = room + 1;
    return XFER_OK;
}

// --- the fault items ---------------------------------------------------

bool parse_signed(const std::string& text, std::int64_t* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (*end != '\0')
        return false;
    *out = v;
    return true;
}

// A command by name or code.
bool parse_command(const std::string& text, int* out)
{
    static const char* const names[COMMANDS] = {"info", "prepare", "data", "flash-status", "reset",
                                                "read-info"};
    for (int i = 0; i < COMMANDS; ++i) {
        if (text == names[i]) {
            *out = i;
            return true;
        }
    }
    std::int64_t v = 0;
    if (!parse_signed(text, &v) || v < 0 || v > 255)
        return false;
    *out = static_cast<int>(v);
    return true;
}

// VALUE as CMD or CMD:NUMBER.
bool parse_command_value(const sim_fault_item& item, int* command, std::int64_t* number)
{
    if (!item.has_value)
        return false;
    const std::size_t colon = item.value.find(':');
    if (!parse_command(item.value.substr(0, colon), command))
        return false;
    if (colon != std::string::npos)
        return parse_signed(item.value.substr(colon + 1), number);
    return true;
}

struct fault_name {
    const char* name;
    fault_kind kind;
    int command;                 // -2: given as VALUE (CMD or CMD:NUMBER)
    std::int64_t default_value;  // for NUMBER or VALUE
    bool needs_value;
};

const fault_name FAULT_NAMES[] = {
    {"request-fail", F_REQUEST_FAIL, -2, 0, true},
    {"request-stall", F_REQUEST_STALL, -2, 0, true},
    {"reply-fail", F_REPLY_FAIL, -2, 0, true},
    {"reply-stall", F_REPLY_STALL, -2, 0, true},
    {"wrong-code", F_WRONG_CODE, -2, -1, true},
    {"bad-status", F_BAD_STATUS, -2, 1, true},
    {"long-length", F_LONG_LENGTH, -2, 0, true},
    {"no-nul", F_NO_NUL, -2, 0, true},
    {"wrong-count", F_WRONG_COUNT, CMD_DATA, -1, false},
    {"info-status", F_INFO_STATUS, CMD_INFO, 5, false},
    {"info-short", F_INFO_SHORT, CMD_INFO, 1, false},
    {"info-magic", F_INFO_MAGIC, CMD_INFO, 0x12345678, false},
    {"read-info-total", F_READ_INFO_TOTAL, CMD_READ_INFO, 70000, false},
    {"read-info-offset", F_READ_INFO_OFFSET, CMD_READ_INFO, 65500, false},
    {"read-info-stuck", F_READ_INFO_STUCK, CMD_READ_INFO, 0, false},
};

bool parse_count(const sim_fault_item& item, std::uint32_t* out)
{
    std::int64_t v = 0;
    if (!item.has_value || !parse_signed(item.value, &v) || v < 0 || v > 0xFFFFFFFFll)
        return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

// The controller's settings that are no per-occurrence fault.
int setting(sim_report_state& s, const sim_fault_item& item)
{
    std::int64_t v = 0;
    if (item.name == "prepare-polls")
        return parse_count(item, &s.prepare_polls) ? 1 : -1;
    if (item.name == "busy-polls")
        return parse_count(item, &s.busy_polls) ? 1 : -1;
    if (item.name == "never-ready") {
        s.never_ready = true;
        return 1;
    }
    if (item.name == "always-busy") {
        s.always_busy = true;
        return 1;
    }
    if (item.name == "flash-result") {
        // A signed byte, also written as its unsigned value (0xFE for -2).
        if (!item.has_value || !parse_signed(item.value, &v) || v < -128 || v > 255)
            return -1;
        s.flash_result = static_cast<std::int8_t>(static_cast<std::uint8_t>(v));
        return 1;
    }
    if (item.name == "flash-text") {
        s.flash_text = item.value;
        s.flash_text_given = true;
        return 1;
    }
    if (item.name == "info-text") {
        s.info_text = item.value;
        return 1;
    }
    if (item.name == "diag-size") {
        std::uint32_t size = 0;
        if (!parse_count(item, &size) || size > (1u << 20))
            return -1;
        s.diagnostics = sim_report_diagnostic_text(size);
        return 1;
    }
    return 0;
}

// The reply's framing on the bridge: tag, code, status, length, payload.
void frame_bridge_reply(sim_report_state& s, const reply& r)
{
    std::memset(s.queued_frame, 0, sizeof s.queued_frame);
    std::memcpy(s.queued_frame, "TQPR", 4);
    s.queued_frame[4] = r.code;
    s.queued_frame[5] = r.status;
    wire_put16(s.queued_frame + 6, r.claimed);
    std::memcpy(s.queued_frame + BRIDGE_REPLY_HEADER, r.payload,
                std::min<std::uint32_t>(r.length, BRIDGE_FRAME - BRIDGE_REPLY_HEADER));
    // A short packet ends the transfer after the payload.
    s.queued_length = std::min<std::uint32_t>(BRIDGE_REPLY_HEADER + r.length, BRIDGE_FRAME);
}

bool bulk_result(transfer_result result, std::uint32_t* error)
{
    if (result == XFER_OK)
        return true;
    *error = result == XFER_FAIL ? PLAT_ERROR_SEM_TIMEOUT : PLAT_ERROR_GEN_FAILURE;
    return false;
}

}  // namespace

sim_report_state* sim_report_create(sim_controller&) { return new sim_report_state{}; }

void sim_report_destroy(sim_report_state* s) { delete s; }

bool sim_report_set_feature(sim_controller& c, const std::uint8_t* report, std::uint32_t length)
{
    if (length < HID_REQUEST_HEADER)
        return false;
    const std::uint32_t payload = wire_get16(report + 2);
    if (report[0] != 0xFF || HID_REQUEST_HEADER + payload > length) {
        // Not a request it can read: taken and ignored.
        ++c.report->malformed;
        return true;
    }
    return take_request(c, report[1], report + HID_REQUEST_HEADER, payload) == XFER_OK;
}

bool sim_report_get_feature(sim_controller& c, std::uint8_t* report, std::uint32_t length)
{
    if (length < HID_REPLY_HEADER)
        return false;
    static reply r;  // one at a time; kept off the stack for its size
    r = reply{};
    const std::uint32_t room = std::min<std::uint32_t>(length - HID_REPLY_HEADER, sizeof r.payload);
    if (give_reply(c, room, r) != XFER_OK)
        return false;
    std::memset(report, 0, length);
    report[0] = 0xFF;
    report[1] = r.code;
    report[2] = r.status;
    wire_put16(report + 3, r.claimed);
    std::memcpy(report + HID_REPLY_HEADER, r.payload, std::min(r.length, room));
    return true;
}

bool sim_report_bulk(sim_controller& c, std::uint8_t pipe, std::uint8_t* data, std::uint32_t length,
                     std::uint32_t* done, std::uint32_t* error)
{
    sim_report_state& s = *c.report;
    *done = 0;
    if (pipe == BRIDGE_OUT_PIPE) {
        if (length == 4 && std::memcmp(data, "TQPG", 4) == 0) {
            ++s.bridge_reads;
            static reply r;
            r = reply{};
            s.queued_result = give_reply(c, BRIDGE_REPLY_ROOM, r);
            if (s.queued_result == XFER_OK)
                frame_bridge_reply(s, r);
            s.queued = true;
            *done = length;
            return true;
        }
        if (length >= BRIDGE_REQUEST_HEADER && std::memcmp(data, "TQPS", 4) == 0) {
            const std::uint32_t payload = wire_get16(data + 5);
            if (BRIDGE_REQUEST_HEADER + payload <= length) {
                if (!bulk_result(take_request(c, data[4], data + BRIDGE_REQUEST_HEADER, payload), error))
                    return false;
                *done = length;
                return true;
            }
        }
        ++s.malformed;  // taken and ignored
        *done = length;
        return true;
    }
    if (pipe == BRIDGE_IN_PIPE) {
        if (!s.queued) {
            // Nothing was asked for: the read finds nothing to take.
            sim_bus_advance_us(std::uint64_t{TIMEOUT_MS} * 1000);
            *error = PLAT_ERROR_SEM_TIMEOUT;
            return false;
        }
        s.queued = false;
        if (!bulk_result(s.queued_result, error))
            return false;
        *done = std::min(length, s.queued_length);
        std::memcpy(data, s.queued_frame, *done);
        return true;
    }
    *error = PLAT_ERROR_INVALID_PARAMETER;
    return false;
}

int sim_report_fault(sim_controller& c, const sim_fault_item& item)
{
    sim_report_state& s = *c.report;
    if (const int taken = setting(s, item))
        return taken;
    for (const fault_name& n : FAULT_NAMES) {
        if (item.name != n.name)
            continue;
        report_fault f{n.kind, n.command, item.nth, item.times, n.default_value};
        if (n.command == -2) {
            if (!parse_command_value(item, &f.command, &f.value))
                return -1;
        } else if (item.has_value && !parse_signed(item.value, &f.value)) {
            return -1;
        } else if (n.needs_value && !item.has_value) {
            return -1;
        }
        s.faults.push_back(f);
        return 1;
    }
    return 0;
}

void sim_report_dump(const sim_controller& c, std::FILE* out)
{
    const sim_report_state& s = *c.report;
    for (int i = 0; i <= COMMANDS; ++i)
        std::fprintf(out, "report_%s_requests=%u\nreport_%s_replies=%u\n", COMMAND_NAMES[i],
                     s.requests[i], COMMAND_NAMES[i], s.replies[i]);
    std::fprintf(out, "report_last_count=%lld\n", static_cast<long long>(s.last_count));
    std::fprintf(out, "report_data_bytes=%llu\n", static_cast<unsigned long long>(s.data_bytes));
    std::fprintf(out, "report_flash_size=%u\n", s.flash_size);
    std::fprintf(out, "report_images_kept=%u\n", s.images_kept);
    std::fprintf(out, "report_malformed=%u\n", s.malformed);
    std::fprintf(out, "report_bridge_reads=%u\n", s.bridge_reads);
}
