// The DFU side of the simulated controller: the run-time interface (DETACH
// into DFU mode) and the DFU 1.1 state machine of its bootloader, with the
// faults a test can ask for.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/sim_controller.h"
#include "usb/wire.h"

namespace {

enum : std::uint8_t {
    REQ_DETACH = 0,
    REQ_DNLOAD = 1,
    REQ_UPLOAD = 2,
    REQ_GETSTATUS = 3,
    REQ_CLRSTATUS = 4,
    REQ_GETSTATE = 5,
    REQ_ABORT = 6,
    REQ_KINDS = 7,
};

enum : std::uint8_t {
    APP_IDLE = 0,
    DFU_IDLE = 2,
    DNLOAD_IDLE = 5,
    MANIFEST_SYNC = 6,
    MANIFEST = 7,
    UPLOAD_IDLE = 9,
    DFU_ERROR = 10,
};

enum : std::uint8_t {
    ST_OK = 0,
    ST_ERR_FILE = 2,
    ST_ERR_VERIFY = 7,
    ST_ERR_ADDRESS = 8,
    ST_ERR_UNKNOWN = 14,
    ST_ERR_STALLEDPKT = 15,
};

const char* const KIND_NAMES[REQ_KINDS] = {"detach", "dnload", "upload", "getstatus",
                                           "clrstatus", "getstate", "abort"};

constexpr std::uint32_t VENDOR_ID = 0x3F1C;
constexpr std::uint32_t SUFFIX_SIZE = 16;
constexpr std::uint32_t UPLOAD_BLOCK = 64;
constexpr std::uint32_t TEXT_ROOM = 16383;          // the most the host can take
constexpr std::size_t FLASH_SIZE = 8u << 20;         // what its flash holds
constexpr std::uint32_t MANIFEST_POLL_TIMEOUT = 100;  // bwPollTimeout while manifesting

// Which occurrences of something an item picks.
struct sim_pick {
    bool on = false;
    std::uint32_t nth = 1, times = 1;
    std::uint32_t value = 0;
    bool hit(std::uint32_t k) const { return on && k >= nth && (times == 0 || k - nth < times); }
};

struct sim_dfu_counts {
    std::uint32_t requests[REQ_KINDS] = {};
    std::uint32_t manifest_polls = 0;  // GETSTATUS answered while manifesting, in all
    std::uint32_t data_blocks = 0;     // DNLOAD with data, in all
    std::uint32_t manifestations = 0;
    std::uint32_t detaches = 0;
};

}  // namespace

struct sim_dfu_state {
    // The bootloader's state machine.
    std::uint8_t state = DFU_IDLE;
    std::uint8_t status = ST_OK;
    std::uint16_t next_block = 0;
    std::vector<std::uint8_t> received;  // the download under way
    std::uint32_t manifest_left = 0;     // GETSTATUS answers until manifestation ends
    bool downloaded = false;             // a manifestation has run in this DFU session
    bool flashed_ok = false;             // ... and kept the image
    std::uint32_t upload_offset = 0;
    std::string text;                    // what UPLOAD reads in this upload
    bool first_session = true;

    // Settings and faults.
    std::uint32_t manifest_polls = 5;
    bool manifest_error = false;
    std::uint8_t manifest_error_status = ST_OK;
    std::uint8_t start_state = DFU_IDLE;
    bool detach_resets = false;
    bool upload_endless = false;
    std::uint32_t info_length = 0;  // 0: the text as it stands
    std::vector<std::uint32_t> info_nul;
    sim_pick stall[REQ_KINDS];
    sim_pick fail[REQ_KINDS];
    sim_pick dnload_zero;     // counted over DNLOAD with data
    sim_pick manifest_fail;   // counted over GETSTATUS while manifesting

    sim_dfu_counts counts;
    std::uint32_t last_download_size = 0;
};

namespace {

std::uint32_t crc_table_entry(std::uint32_t c)
{
    for (int k = 0; k < 8; ++k)
        c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    return c;
}

// Slicing by eight, so that checking a large image costs little next to
// moving it.
std::uint32_t dfu_file_crc(const std::uint8_t* data, std::size_t size)
{
    static std::uint32_t table[8][256];
    static bool ready = false;
    if (!ready) {
        for (std::uint32_t i = 0; i < 256; ++i)
            table[0][i] = crc_table_entry(i);
        for (std::uint32_t i = 0; i < 256; ++i)
            for (int t = 1; t < 8; ++t)
                table[t][i] = (table[t - 1][i] >> 8) ^ table[0][table[t - 1][i] & 0xFF];
        ready = true;
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint32_t lo = crc ^ wire_get32(data + i);
        const std::uint32_t hi = wire_get32(data + i + 4);
        crc = table[7][lo & 0xFF] ^ table[6][(lo >> 8) & 0xFF] ^ table[5][(lo >> 16) & 0xFF] ^
              table[4][lo >> 24] ^ table[3][hi & 0xFF] ^ table[2][(hi >> 8) & 0xFF] ^
              table[1][(hi >> 16) & 0xFF] ^ table[0][hi >> 24];
    }
    for (; i < size; ++i)
        crc = (crc >> 8) ^ table[0][(crc ^ data[i]) & 0xFF];
    return crc;
}

// What a bootloader checks before it keeps an image: the DFU suffix.
bool suffix_ok(const std::vector<std::uint8_t>& file)
{
    if (file.size() < SUFFIX_SIZE)
        return false;
    const std::uint8_t* s = file.data() + file.size() - SUFFIX_SIZE;
    if (s[8] != 'U' || s[9] != 'F' || s[10] != 'D' || s[11] < SUFFIX_SIZE || s[11] > file.size())
        return false;
    if (wire_get16(s + 4) != VENDOR_ID)
        return false;
    return wire_get32(s + 12) == dfu_file_crc(file.data(), file.size() - 4);
}

// The CRC a DFU file carries (over all but its last 4 bytes): over the whole
// file, with its own CRC, every good file gives the same residue.
// A DFU file that passed the check carries it in its suffix.
std::uint32_t image_crc(const std::vector<std::uint8_t>& file)
{
    if (file.size() >= SUFFIX_SIZE) {
        const std::uint8_t* s = file.data() + file.size() - SUFFIX_SIZE;
        if (s[8] == 'U' && s[9] == 'F' && s[10] == 'D')
            return wire_get32(s + 12);
    }
    return dfu_file_crc(file.data(), file.size() < 4 ? file.size() : file.size() - 4);
}

// FNV-1a 64: tells any two images apart, good DFU files included.
std::uint64_t image_hash(const std::vector<std::uint8_t>& file)
{
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::uint8_t b : file)
        h = (h ^ b) * 0x100000001b3ull;
    return h;
}

std::string info_text(const sim_controller& c, const sim_dfu_state& s)
{
    char text[512];
    if (s.downloaded && s.flashed_ok) {
        std::snprintf(text, sizeof text, "Flash OK: %zu bytes written, CRC %08x verified.",
                      c.firmware.size(), image_crc(c.firmware));
    } else if (s.downloaded) {
        std::snprintf(text, sizeof text,
                      "Flash FAILED (status %u): image rejected, firmware of %zu bytes kept.",
                      static_cast<unsigned>(s.manifest_error ? s.manifest_error_status : std::uint8_t{ST_ERR_VERIFY}), c.firmware.size());
    } else {
        std::snprintf(text, sizeof text,
                      "%s\nSerial number: %s\nBootloader: DFU 1.1, %u-byte transfers\n"
                      "Firmware: %zu bytes, CRC %08x",
                      c.product.c_str(), c.serial.c_str(), 4096u, c.firmware.size(),
                      image_crc(c.firmware));
    }
    std::string t = text;
    if (s.info_length) {
        std::string filler = " Ovandrel";
        while (t.size() < s.info_length)
            t += filler;
        t.resize(s.info_length);
    }
    for (std::uint32_t pos : s.info_nul) {
        if (pos < t.size())
            t[pos] = '\0';
    }
    if (t.size() > TEXT_ROOM)
        t.resize(TEXT_ROOM);
    return t;
}

// A new boot of the bootloader.
void enter_dfu(sim_dfu_state& s)
{
    s.state = s.first_session ? s.start_state : std::uint8_t{DFU_IDLE};
    s.status = s.state == DFU_ERROR ? std::uint8_t{ST_ERR_UNKNOWN} : std::uint8_t{ST_OK};
    s.first_session = false;
    s.received.clear();
    s.received.shrink_to_fit();
    s.next_block = s.state == DNLOAD_IDLE ? 1 : 0;
    s.downloaded = false;
    s.flashed_ok = false;
    s.upload_offset = 0;
}

bool stall(sim_dfu_state& s, std::uint8_t status, std::uint32_t* error)
{
    s.state = DFU_ERROR;
    s.status = status;
    *error = PLAT_ERROR_GEN_FAILURE;
    return false;
}

bool reject(std::uint32_t* error)
{
    *error = PLAT_ERROR_GEN_FAILURE;
    return false;
}

void put_status(const sim_dfu_state& s, std::uint8_t* data, std::uint32_t length, std::uint32_t* done,
                std::uint32_t poll_timeout)
{
    std::uint8_t answer[6] = {s.status, 0, 0, 0, s.state, 0};
    answer[1] = static_cast<std::uint8_t>(poll_timeout);
    answer[2] = static_cast<std::uint8_t>(poll_timeout >> 8);
    answer[3] = static_cast<std::uint8_t>(poll_timeout >> 16);
    const std::uint32_t n = length < 6 ? length : 6;
    std::memcpy(data, answer, n);
    *done = n;
}

// One poll of manifestation: counts down, then keeps the image or refuses it.
void manifest_step(sim_controller& c, sim_dfu_state& s)
{
    if (s.state == MANIFEST_SYNC)
        s.state = MANIFEST;
    if (s.manifest_left > 1) {
        --s.manifest_left;
        return;
    }
    s.manifest_left = 0;
    ++s.counts.manifestations;
    s.downloaded = true;
    s.last_download_size = static_cast<std::uint32_t>(s.received.size());
    if (s.manifest_error) {
        s.state = DFU_ERROR;
        s.status = s.manifest_error_status;
    } else if (!suffix_ok(s.received)) {
        s.state = DFU_ERROR;
        s.status = ST_ERR_VERIFY;
    } else {
        c.keep_firmware(s.received.data(), s.received.size());
        s.flashed_ok = true;
        s.state = DFU_IDLE;
        s.status = ST_OK;
    }
    s.received.clear();
    s.received.shrink_to_fit();
}

bool runtime_control(sim_controller& c, sim_dfu_state& s, std::uint8_t request, std::uint8_t* data,
                     std::uint32_t length, std::uint32_t* done, std::uint32_t* error)
{
    switch (request) {
    case REQ_DETACH:
        ++s.counts.detaches;
        c.leave_bus(SIM_MODE_DFU);
        enter_dfu(s);
        if (s.detach_resets)
            return reject(error);
        return true;
    case REQ_GETSTATUS: {
        const sim_dfu_state app{};
        sim_dfu_state shown = app;
        shown.state = APP_IDLE;
        put_status(shown, data, length, done, 0);
        return true;
    }
    case REQ_GETSTATE:
        if (length)
            data[0] = APP_IDLE;
        *done = length ? 1 : 0;
        return true;
    default:
        return reject(error);
    }
}

bool dfu_mode_control(sim_controller& c, sim_dfu_state& s, std::uint8_t request, std::uint16_t value,
                      std::uint8_t* data, std::uint32_t length, std::uint32_t* done, std::uint32_t* error)
{
    switch (request) {
    case REQ_DETACH:
        ++s.counts.detaches;
        c.leave_bus(SIM_MODE_RUNTIME);
        if (s.detach_resets)
            return reject(error);
        return true;
    case REQ_DNLOAD:
        if (length == 0) {
            // The end of the download: manifestation follows.
            if (s.state != DNLOAD_IDLE)
                return stall(s, ST_ERR_UNKNOWN, error);
            s.state = MANIFEST_SYNC;
            s.manifest_left = s.manifest_polls;
            return true;
        }
        ++s.counts.data_blocks;
        if (s.state == DFU_IDLE && value == 0) {
            s.received.clear();
            s.next_block = 0;
        } else if (s.state != DNLOAD_IDLE || value != s.next_block) {
            return stall(s, ST_ERR_UNKNOWN, error);
        }
        if (s.received.size() + length > FLASH_SIZE)
            return stall(s, ST_ERR_ADDRESS, error);
        s.state = DNLOAD_IDLE;
        if (s.dnload_zero.hit(s.counts.data_blocks)) {
            *done = 0;  // took none of it, and says so
            return true;
        }
        s.received.insert(s.received.end(), data, data + length);
        s.next_block = static_cast<std::uint16_t>(value + 1);
        *done = length;
        return true;
    case REQ_UPLOAD:
        if (s.state == DFU_IDLE) {
            s.text = info_text(c, s);
            s.upload_offset = 0;
        } else if (s.state != UPLOAD_IDLE) {
            return stall(s, ST_ERR_UNKNOWN, error);
        }
        if (s.upload_endless) {
            const std::uint32_t n = length < UPLOAD_BLOCK ? length : UPLOAD_BLOCK;
            std::memset(data, 'x', n);
            *done = n;
            s.state = UPLOAD_IDLE;
            return true;
        } else {
            const std::uint32_t rest = static_cast<std::uint32_t>(s.text.size()) - s.upload_offset;
            std::uint32_t n = rest < UPLOAD_BLOCK ? rest : UPLOAD_BLOCK;
            if (n > length)
                n = length;
            std::memcpy(data, s.text.data() + s.upload_offset, n);
            s.upload_offset += n;
            *done = n;
            s.state = n < UPLOAD_BLOCK ? DFU_IDLE : UPLOAD_IDLE;
        }
        return true;
    case REQ_GETSTATUS: {
        if (s.state == MANIFEST_SYNC || s.state == MANIFEST) {
            ++s.counts.manifest_polls;
            if (s.manifest_fail.hit(s.counts.manifest_polls)) {
                *error = PLAT_ERROR_SEM_TIMEOUT;
                return false;
            }
            manifest_step(c, s);
            const std::uint32_t timeout = s.state == MANIFEST ? MANIFEST_POLL_TIMEOUT : 0;
            put_status(s, data, length, done, timeout);
            return true;
        }
        put_status(s, data, length, done, 0);
        return true;
    }
    case REQ_CLRSTATUS:
        // Lenient, as many bootloaders are: it returns to dfuIDLE from any state.
        s.state = DFU_IDLE;
        s.status = ST_OK;
        s.received.clear();
        s.manifest_left = 0;
        return true;
    case REQ_GETSTATE:
        if (length)
            data[0] = s.state;
        *done = length ? 1 : 0;
        return true;
    case REQ_ABORT:
        if (s.state != DFU_IDLE && s.state != DNLOAD_IDLE && s.state != UPLOAD_IDLE)
            return stall(s, ST_ERR_UNKNOWN, error);
        s.state = DFU_IDLE;
        s.received.clear();
        s.next_block = 0;
        return true;
    default:
        return stall(s, ST_ERR_STALLEDPKT, error);
    }
}

bool parse_value(const sim_fault_item& item, std::uint32_t* out)
{
    if (!item.has_value || item.value.empty())
        return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(item.value.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul)
        return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

void set_pick(sim_pick* p, const sim_fault_item& item, std::uint32_t value)
{
    p->on = true;
    p->nth = item.nth;
    p->times = item.times;
    p->value = value;
}

}  // namespace

sim_dfu_state* sim_dfu_create(sim_controller&) { return new sim_dfu_state{}; }

void sim_dfu_destroy(sim_dfu_state* s) { delete s; }

bool sim_dfu_control(sim_controller& c, std::uint8_t, const std::uint8_t setup[8], std::uint8_t* data,
                     std::uint32_t length, std::uint32_t* done, std::uint32_t* error)
{
    sim_dfu_state& s = *c.dfu;
    *done = 0;
    *error = PLAT_ERROR_GEN_FAILURE;
    const std::uint8_t request = setup[1];
    const std::uint16_t value = wire_get16(setup + 2);
    const bool in = setup[0] & 0x80;
    if (request >= REQ_KINDS)
        return reject(error);
    // The direction must fit the request.
    const bool wants_in = request == REQ_UPLOAD || request == REQ_GETSTATUS || request == REQ_GETSTATE;
    if (in != wants_in)
        return reject(error);
    if (s.first_session && c.mode == SIM_MODE_DFU)
        enter_dfu(s);  // it was started in DFU mode
    const std::uint32_t k = ++s.counts.requests[request];
    if (s.fail[request].hit(k)) {
        *error = s.fail[request].value;
        return false;
    }
    if (s.stall[request].hit(k)) {
        if (c.mode == SIM_MODE_DFU)
            return stall(s, ST_ERR_STALLEDPKT, error);
        return reject(error);
    }
    if (c.mode == SIM_MODE_RUNTIME)
        return runtime_control(c, s, request, data, length, done, error);
    return dfu_mode_control(c, s, request, value, data, length, done, error);
}

int sim_dfu_fault(sim_controller& c, const sim_fault_item& item)
{
    sim_dfu_state& s = *c.dfu;
    const std::string& n = item.name;
    std::uint32_t v = 0;
    for (std::uint8_t kind = 0; kind < REQ_KINDS; ++kind) {
        const std::string base = KIND_NAMES[kind];
        if (n == base + "-stall") {
            if (item.has_value)
                return -1;
            set_pick(&s.stall[kind], item, 0);
            return 1;
        }
        if (n == base + "-fail") {
            if (item.has_value && !parse_value(item, &v))
                return -1;
            set_pick(&s.fail[kind], item, item.has_value ? v : PLAT_ERROR_SEM_TIMEOUT);
            return 1;
        }
    }
    if (n == "dnload-zero") {
        set_pick(&s.dnload_zero, item, 0);
    } else if (n == "manifest-status-fail") {
        set_pick(&s.manifest_fail, item, 0);
    } else if (n == "manifest-error") {
        v = ST_ERR_VERIFY;
        if (item.has_value && (!parse_value(item, &v) || v > 255))
            return -1;
        s.manifest_error = true;
        s.manifest_error_status = static_cast<std::uint8_t>(v);
    } else if (n == "manifest-polls") {
        if (!parse_value(item, &v) || v == 0)
            return -1;
        s.manifest_polls = v;
    } else if (n == "upload-endless") {
        s.upload_endless = true;
    } else if (n == "detach-reset") {
        s.detach_resets = true;
    } else if (n == "start-state") {
        if (item.value == "idle")
            s.start_state = DFU_IDLE;
        else if (item.value == "error")
            s.start_state = DFU_ERROR;
        else if (item.value == "dnload-idle")
            s.start_state = DNLOAD_IDLE;
        else if (item.value == "upload-idle")
            s.start_state = UPLOAD_IDLE;
        else
            return -1;
    } else if (n == "info-length") {
        if (!parse_value(item, &v) || v == 0 || v > TEXT_ROOM)
            return -1;
        s.info_length = v;
    } else if (n == "info-nul") {
        if (!parse_value(item, &v))
            return -1;
        s.info_nul.push_back(v);
    } else {
        return 0;
    }
    return 1;
}

void sim_dfu_dump(const sim_controller& c, std::FILE* out)
{
    const sim_dfu_state& s = *c.dfu;
    std::fprintf(out, "firmware_hash=%016llx\n", static_cast<unsigned long long>(image_hash(c.firmware)));
    std::fprintf(out, "dfu_state=%u\n", s.state);
    std::fprintf(out, "dfu_status=%u\n", s.status);
    for (std::uint8_t kind = 0; kind < REQ_KINDS; ++kind)
        std::fprintf(out, "dfu_%s_requests=%u\n", KIND_NAMES[kind], s.counts.requests[kind]);
    std::fprintf(out, "dfu_data_blocks=%u\n", s.counts.data_blocks);
    std::fprintf(out, "dfu_manifest_polls=%u\n", s.counts.manifest_polls);
    std::fprintf(out, "dfu_manifestations=%u\n", s.counts.manifestations);
    std::fprintf(out, "dfu_last_download_size=%u\n", s.last_download_size);
}
