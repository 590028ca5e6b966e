// TQP on the simulated controller's vendor HID collection: frames in
// 257-byte feature reports (report ID, marker 0x80, 255 frame bytes; marker
// 0x00 when it has no frame yet), long messages joined from continuation
// frames, and the requests of the TQP client: hello, begin-upgrade, data,
// program, restart, close and the system error word. Faults make it
// misbehave the ways a real controller can.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_controller.h"

namespace {

constexpr std::size_t FRAME = 255;
constexpr std::size_t MAX_MESSAGE = 2047;
constexpr std::uint8_t MARK_FRAME = 0x80;
constexpr std::uint8_t MARK_NONE = 0x00;
constexpr std::uint8_t MARK_ERROR = 0xEE;

constexpr std::uint8_t REQ_HELLO = 0xE0;
constexpr std::uint8_t REQ_BEGIN = 0xE4;
constexpr std::uint8_t REQ_PROGRAM = 0xE5;
constexpr std::uint8_t REQ_DATA = 0xE6;
constexpr std::uint8_t REQ_RESET = 0xE7;
constexpr std::uint8_t REQ_CLOSE = 0xE8;
constexpr std::uint8_t REQ_SYSERROR = 0xE9;
constexpr std::uint8_t ANSWER = 0xF0;
constexpr std::uint8_t ANSWER_DATA = 0xF1;

// Statuses of its own.
constexpr std::uint8_t ST_OK = 0;
constexpr std::uint8_t ST_VERSION = 1;      // hello: speak my protocol version
constexpr std::uint8_t ST_BAD_REQUEST = 2;  // malformed request
constexpr std::uint8_t ST_UNKNOWN = 4;      // unknown request code
constexpr std::uint8_t ST_NOT_READY = 6;    // data or program before begin-upgrade
constexpr std::uint8_t ST_OVERFLOW = 7;     // more data than announced
constexpr std::uint8_t ST_INCOMPLETE = 9;   // program before all data came
constexpr std::uint8_t ST_BUSY = 11;        // still programming

enum fault_kind {
    F_REJECT_HELLO,
    F_STATUS,
    F_SILENT,
    F_PROGRAM_FIRST_BUSY,
    F_MARKER_ERROR,
    F_NOISE,
    F_CONTINUATION_FIRST,
    F_SEQUENCE_SKIP,
    F_SEQUENCE_MISSING,
};

struct tqp_fault {
    fault_kind kind;
    sim_fault_item item;
    std::uint8_t code = 0;
    std::uint8_t status = 0;
};

using frame_bytes = std::array<std::uint8_t, FRAME>;

bool parse_u32(const std::string& text, std::uint32_t* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFull)
        return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

bool parse_u64(const std::string& text, std::uint64_t* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    *out = std::strtoull(text.c_str(), &end, 0);
    return *end == '\0';
}

bool hits(const sim_fault_item& item, std::uint32_t occurrence)
{
    return occurrence >= item.nth && (item.times == 0 || occurrence < item.nth + item.times);
}

int bcd_version(const std::uint8_t* p)
{
    const int d[4] = {p[0] >> 4, p[0] & 0x0F, p[1] >> 4, p[1] & 0x0F};
    for (int x : d)
        if (x > 9)
            return -1;
    return d[0] * 1000 + d[1] * 100 + d[2] * 10 + d[3];
}

}  // namespace

struct sim_tqp_state {
    // What it is.
    int version = 2;
    std::uint64_t syserror = 0;
    std::uint32_t program_busy = 3;
    std::uint32_t erase_ms = 800;
    std::string bad_record;  // "", "v3", "bcd", "short"
    bool short_syserror = false;
    std::vector<tqp_fault> faults;

    // The message coming in.
    std::uint8_t in[MAX_MESSAGE] = {};
    std::uint32_t in_length = 0;
    std::uint32_t in_have = 0;
    std::uint32_t in_next = 0;  // expected continuation number; 0: expecting a first frame

    // Frames going out; none is handed out before ready_at_us.
    std::vector<frame_bytes> out;
    std::size_t out_head = 0;
    std::vector<std::size_t> gaps;    // queue positions preceded by one "no frame" read
    std::vector<std::size_t> errors;  // queue positions whose read answers the error marker
    std::uint64_t ready_at_us = 0;
    bool restart_after_send = false;

    // The upgrade.
    bool upgrading = false;
    std::uint32_t expected = 0;
    std::vector<std::uint8_t> image;
    int program_state = 0;  // 0 not started, 1 programming, 2 done
    std::uint32_t polls_left = 0;

    // Counters.
    std::uint32_t reads = 0, writes = 0, answers = 0, frames_out = 0, bad_frames = 0;
    std::uint32_t per_code[256] = {};
    std::uint32_t hellos = 0, data_bytes = 0, resets = 0, closes = 0;
    std::uint32_t begin_size = 0;
    std::string last_hello;  // hex
    std::vector<std::pair<std::uint8_t, std::uint32_t>> codes;  // run-length request log
};

namespace {

const tqp_fault* find_fault(const sim_tqp_state& s, fault_kind kind, std::uint32_t occurrence,
                            std::uint8_t code = 0)
{
    for (const tqp_fault& f : s.faults) {
        if (f.kind != kind)
            continue;
        if ((kind == F_STATUS || kind == F_SILENT) && f.code != code)
            continue;
        // A rejection without @N applies to every hello.
        if (kind == F_REJECT_HELLO && !f.item.has_nth)
            return &f;
        if (hits(f.item, occurrence))
            return &f;
    }
    return nullptr;
}

// Cuts a message into frames the way the host's transport does.
void push_message(sim_tqp_state& s, const std::uint8_t* m, std::size_t n, bool continuation_first = false,
                  bool skip_sequence = false, bool missing = false)
{
    frame_bytes f{};
    std::size_t sent = 0;
    if (n <= 127) {
        f[0] = static_cast<std::uint8_t>(n);
        std::memcpy(f.data() + 1, m, n);
        sent = n;
    } else {
        f[0] = static_cast<std::uint8_t>(0x80 | ((n >> 8) & 0x07));
        f[1] = static_cast<std::uint8_t>(n);
        sent = std::min(n, FRAME - 2);
        std::memcpy(f.data() + 2, m, sent);
    }
    if (continuation_first)
        f[0] = 0xC1;
    s.out.push_back(f);
    for (std::uint32_t k = 1; sent < n; k = (k + 1) % 32) {
        frame_bytes c{};
        const std::size_t chunk = std::min(FRAME - 1, n - sent);
        c[0] = static_cast<std::uint8_t>(0xC0 | ((skip_sequence && k == 1) ? 2 : k));
        std::memcpy(c.data() + 1, m + sent, chunk);
        if (missing && k == 1)
            s.gaps.push_back(s.out.size());
        s.out.push_back(c);
        sent += chunk;
    }
}

// What a busy controller slips in while the host waits: unsolicited
// messages (one long), an event answer, answers to other requests.
void push_noise(sim_tqp_state& s, std::uint8_t code)
{
    const std::uint8_t dollar[] = {0x24, 'b', 'o', 'o', 't', ' ', 'o', 'k'};
    push_message(s, dollar, sizeof dollar);
    std::uint8_t debug[600];
    debug[0] = 0x44;
    for (std::size_t i = 1; i < sizeof debug; ++i)
        debug[i] = static_cast<std::uint8_t>('a' + i % 26);
    push_message(s, debug, sizeof debug);
    const std::uint8_t apostrophe[] = {0x27, 0x01, 0x02};
    push_message(s, apostrophe, sizeof apostrophe);
    const std::uint8_t event[] = {ANSWER, 0x00, 0x6B};
    push_message(s, event, sizeof event);
    const std::uint8_t other[] = {ANSWER, 0x00, static_cast<std::uint8_t>(code == REQ_BEGIN ? REQ_PROGRAM : REQ_BEGIN)};
    push_message(s, other, sizeof other);
    const std::uint8_t other_data[] = {ANSWER_DATA, 0x00, REQ_SYSERROR, 0x08, 1, 2, 3, 4, 5, 6, 7, 8};
    if (code != REQ_SYSERROR)
        push_message(s, other_data, sizeof other_data);
    const std::uint8_t two[] = {ANSWER, 0x00};
    push_message(s, two, sizeof two);
    const std::uint8_t stray[] = {0x55, 0x00, code};
    push_message(s, stray, sizeof stray);
}

void answer(sim_tqp_state& s, std::uint8_t code, const std::uint8_t* m, std::size_t n)
{
    ++s.answers;
    if (find_fault(s, F_NOISE, s.answers))
        push_noise(s, code);
    const std::uint8_t filler[300] = {0x44};
    if (find_fault(s, F_SEQUENCE_SKIP, s.answers))
        push_message(s, filler, sizeof filler, false, true, false);
    if (find_fault(s, F_SEQUENCE_MISSING, s.answers))
        push_message(s, filler, sizeof filler, false, false, true);
    if (find_fault(s, F_MARKER_ERROR, s.answers))
        s.errors.push_back(s.out.size());
    push_message(s, m, n, find_fault(s, F_CONTINUATION_FIRST, s.answers) != nullptr);
}

void answer_status(sim_tqp_state& s, std::uint8_t code, std::uint8_t status)
{
    const std::uint8_t m[] = {ANSWER, status, code};
    answer(s, code, m, sizeof m);
}

std::size_t device_record(const sim_controller& c, const sim_tqp_state& s, std::uint8_t* r)
{
    std::memset(r, 0, 46);
    static const std::uint8_t protocols[3][4] = {{0x00, 0x00, 0x00, 0x07},
                                                 {0x00, 0x01, 0x00, 0x03},
                                                 {0x00, 0x02, 0x00, 0x01}};
    std::memcpy(r, protocols[s.version], 4);
    const std::uint8_t sw[4] = {0x01, 0x04, 0x00, 0x17};
    std::memcpy(r + 4, sw, 4);
    const char* name = "Ovandrel TC2150";
    std::size_t length = 36;
    if (s.version == 2) {
        std::memcpy(r + 8, c.serial.data(), std::min<std::size_t>(c.serial.size(), 10));
        std::memcpy(r + 18, name, std::strlen(name));
        length = 46;
    } else {
        std::memcpy(r + 8, name, std::strlen(name));
    }
    if (s.bad_record == "v3") {
        r[1] = 0x03;
    } else if (s.bad_record == "bcd") {
        r[0] = 0x0A;
        r[1] = 0x00;
    } else if (s.bad_record == "short") {
        length = 36;  // a version-2 record cut to the older layout's size
    }
    return length;
}

void log_code(sim_tqp_state& s, std::uint8_t code)
{
    if (!s.codes.empty() && s.codes.back().first == code)
        ++s.codes.back().second;
    else
        s.codes.emplace_back(code, 1);
}

void reset_session(sim_tqp_state& s)
{
    s.in_next = 0;
    s.in_have = s.in_length = 0;
    s.out.clear();
    s.out_head = 0;
    s.gaps.clear();
    s.errors.clear();
    s.upgrading = false;
    s.program_state = 0;
    s.restart_after_send = false;
}

void handle_request(sim_controller& c, sim_tqp_state& s, const std::uint8_t* m, std::uint32_t n)
{
    const std::uint8_t code = m[0];
    const std::uint32_t occurrence = ++s.per_code[code];
    log_code(s, code);
    if (find_fault(s, F_SILENT, occurrence, code))
        return;
    if (code == REQ_HELLO) {
        ++s.hellos;
        static const char* hex = "0123456789abcdef";
        s.last_hello.clear();
        for (std::uint32_t i = 0; i < n; ++i) {
            s.last_hello += hex[m[i] >> 4];
            s.last_hello += hex[m[i] & 15];
        }
        std::uint8_t status = ST_OK;
        if (n < 8 || n < 4u + m[1])
            status = ST_BAD_REQUEST;
        else if (const tqp_fault* f = find_fault(s, F_REJECT_HELLO, s.hellos))
            status = f->status;
        else if (bcd_version(m + 4) != s.version)
            status = ST_VERSION;
        if (const tqp_fault* f = find_fault(s, F_STATUS, occurrence, code))
            status = f->status;
        std::uint8_t a[4 + 46];
        const std::size_t p = device_record(c, s, a + 4);
        a[0] = ANSWER_DATA;
        a[1] = status;
        a[2] = REQ_HELLO;
        a[3] = static_cast<std::uint8_t>(p);
        answer(s, code, a, 4 + p);
        return;
    }
    if (const tqp_fault* f = find_fault(s, F_STATUS, occurrence, code)) {
        if (code == REQ_SYSERROR) {
            std::uint8_t a[12] = {ANSWER_DATA, f->status, REQ_SYSERROR, 8};
            for (int i = 0; i < 8; ++i)
                a[4 + i] = static_cast<std::uint8_t>(s.syserror >> (8 * i));
            answer(s, code, a, sizeof a);
        } else {
            answer_status(s, code, f->status);
        }
        return;
    }
    switch (code) {
    case REQ_BEGIN: {
        if (n < 5) {
            answer_status(s, code, ST_BAD_REQUEST);
            return;
        }
        s.expected = static_cast<std::uint32_t>(m[1]) | (static_cast<std::uint32_t>(m[2]) << 8) |
                     (static_cast<std::uint32_t>(m[3]) << 16) | (static_cast<std::uint32_t>(m[4]) << 24);
        s.begin_size = s.expected;
        s.image.clear();
        s.image.reserve(s.expected);
        s.upgrading = true;
        s.program_state = 0;
        // It erases its flash before it answers.
        s.ready_at_us = std::max(s.ready_at_us, sim_bus_now_us() + std::uint64_t{s.erase_ms} * 1000);
        answer_status(s, code, ST_OK);
        return;
    }
    case REQ_DATA: {
        const std::uint32_t count = n - 1;
        if (!s.upgrading || s.program_state != 0) {
            answer_status(s, code, ST_NOT_READY);
        } else if (s.image.size() + count > s.expected) {
            answer_status(s, code, ST_OVERFLOW);
        } else {
            s.image.insert(s.image.end(), m + 1, m + n);
            s.data_bytes += count;
            answer_status(s, code, ST_OK);
        }
        return;
    }
    case REQ_PROGRAM:
        if (s.program_state == 0) {
            if (!s.upgrading || s.image.size() != s.expected) {
                answer_status(s, code, ST_INCOMPLETE);
                return;
            }
            s.program_state = 1;
            s.polls_left = s.program_busy;
            answer_status(s, code, find_fault(s, F_PROGRAM_FIRST_BUSY, 1) ? ST_BUSY : ST_OK);
        } else if (s.program_state == 1 && s.polls_left > 0) {
            --s.polls_left;
            answer_status(s, code, ST_BUSY);
        } else {
            if (s.program_state == 1) {
                c.keep_firmware(s.image.data(), s.image.size());
                s.program_state = 2;
                s.upgrading = false;
            }
            answer_status(s, code, ST_OK);
        }
        return;
    case REQ_RESET:
        ++s.resets;
        answer_status(s, code, ST_OK);
        s.restart_after_send = true;  // it leaves the bus once the answer is read
        return;
    case REQ_CLOSE:
        ++s.closes;
        answer_status(s, code, ST_OK);
        return;
    case REQ_SYSERROR: {
        std::uint8_t a[12] = {ANSWER_DATA, ST_OK, REQ_SYSERROR, 8};
        for (int i = 0; i < 8; ++i)
            a[4 + i] = static_cast<std::uint8_t>(s.syserror >> (8 * i));
        if (s.short_syserror)
            a[3] = 7;
        answer(s, code, a, s.short_syserror ? 11 : 12);
        return;
    }
    default:
        answer_status(s, code, ST_UNKNOWN);
        return;
    }
}

}  // namespace

sim_tqp_state* sim_tqp_create(sim_controller&)
{
    auto* s = new sim_tqp_state{};
    s->out.reserve(64);
    s->codes.reserve(64);
    return s;
}

void sim_tqp_destroy(sim_tqp_state* s) { delete s; }

bool sim_tqp_set_feature(sim_controller& c, const std::uint8_t* report, std::uint32_t length)
{
    sim_tqp_state& s = *c.tqp;
    if (length < 3)
        return false;
    ++s.writes;
    const std::size_t f = std::min<std::size_t>(length - 2, FRAME);
    const std::uint8_t* frame = report + 2;
    const std::uint8_t h = frame[0];
    if (s.in_next == 0) {
        if ((h & 0x80) == 0) {
            const std::uint32_t n = h & 0x7F;
            if (n == 0 || n > f - 1) {
                ++s.bad_frames;
                return true;
            }
            std::memcpy(s.in, frame + 1, n);
            handle_request(c, s, s.in, n);
        } else if ((h & 0xC0) == 0x80) {
            s.in_length = (static_cast<std::uint32_t>(h & 0x07) << 8) | frame[1];
            s.in_have = static_cast<std::uint32_t>(std::min<std::size_t>(s.in_length, f - 2));
            std::memcpy(s.in, frame + 2, s.in_have);
            if (s.in_have == s.in_length)
                handle_request(c, s, s.in, s.in_length);
            else
                s.in_next = 1;
        } else {
            ++s.bad_frames;  // a continuation with no message begun
        }
        return true;
    }
    if ((h & 0xC0) != 0xC0 || (h & 0x1F) != s.in_next) {
        ++s.bad_frames;  // the message is lost
        s.in_next = 0;
        return true;
    }
    const std::uint32_t chunk = static_cast<std::uint32_t>(std::min<std::size_t>(f - 1, s.in_length - s.in_have));
    std::memcpy(s.in + s.in_have, frame + 1, chunk);
    s.in_have += chunk;
    s.in_next = (s.in_next + 1) % 32;
    if (s.in_have == s.in_length) {
        s.in_next = 0;
        handle_request(c, s, s.in, s.in_length);
    }
    return true;
}

bool sim_tqp_get_feature(sim_controller& c, std::uint8_t* report, std::uint32_t length)
{
    sim_tqp_state& s = *c.tqp;
    if (length < 3)
        return false;
    ++s.reads;
    const std::size_t f = std::min<std::size_t>(length - 2, FRAME);
    std::memset(report, 0, length);
    report[0] = 0xFF;
    const bool pending = s.out_head < s.out.size();
    if (!pending || sim_bus_now_us() < s.ready_at_us) {
        report[1] = MARK_NONE;
        return true;
    }
    if (!s.errors.empty() && s.errors.front() == s.out_head) {
        s.errors.erase(s.errors.begin());
        report[1] = MARK_ERROR;  // the read of this frame fails; the frame stays
        return true;
    }
    if (!s.gaps.empty() && s.gaps.front() == s.out_head) {
        s.gaps.erase(s.gaps.begin());
        report[1] = MARK_NONE;  // the continuation frame is not there yet
        return true;
    }
    report[1] = MARK_FRAME;
    std::memcpy(report + 2, s.out[s.out_head].data(), f);
    ++s.out_head;
    ++s.frames_out;
    if (s.out_head == s.out.size()) {
        s.out.clear();
        s.out_head = 0;
        s.gaps.clear();
        s.errors.clear();
        if (s.restart_after_send) {
            reset_session(s);
            c.leave_bus(SIM_MODE_RUNTIME);
        }
    }
    return true;
}

int sim_tqp_fault(sim_controller& c, const sim_fault_item& item)
{
    sim_tqp_state& s = *c.tqp;
    const std::string& name = item.name;
    if (name.rfind("tqp-", 0) != 0)
        return 0;
    std::uint32_t v = 0;
    tqp_fault f{F_NOISE, item};
    if (name == "tqp-version") {
        if (!parse_u32(item.value, &v) || v > 2)
            return -1;
        s.version = static_cast<int>(v);
        return 1;
    }
    if (name == "tqp-syserror") {
        std::uint64_t w = 0;
        if (!parse_u64(item.value, &w))
            return -1;
        s.syserror = w;
        return 1;
    }
    if (name == "tqp-short-syserror") {
        s.short_syserror = true;
        return 1;
    }
    if (name == "tqp-bad-record") {
        if (item.value != "v3" && item.value != "bcd" && item.value != "short")
            return -1;
        s.bad_record = item.value;
        return 1;
    }
    if (name == "tqp-program-busy") {
        if (!parse_u32(item.value, &v))
            return -1;
        s.program_busy = v;
        return 1;
    }
    if (name == "tqp-erase-ms") {
        if (!parse_u32(item.value, &v))
            return -1;
        s.erase_ms = v;
        return 1;
    }
    if (name == "tqp-reject-hello") {
        f.kind = F_REJECT_HELLO;
        f.status = 3;
        if (item.has_value) {
            if (!parse_u32(item.value, &v) || v == 0 || v > 255)
                return -1;
            f.status = static_cast<std::uint8_t>(v);
        }
    } else if (name == "tqp-status" || name == "tqp-silent") {
        f.kind = name == "tqp-status" ? F_STATUS : F_SILENT;
        std::string code_text = item.value, status_text;
        const std::size_t colon = item.value.find(':');
        if (f.kind == F_STATUS) {
            if (colon == std::string::npos)
                return -1;
            code_text = item.value.substr(0, colon);
            status_text = item.value.substr(colon + 1);
            if (!parse_u32(status_text, &v) || v > 255)
                return -1;
            f.status = static_cast<std::uint8_t>(v);
        }
        if (!parse_u32(code_text, &v) || v > 255)
            return -1;
        f.code = static_cast<std::uint8_t>(v);
    } else if (name == "tqp-program-first-busy") {
        f.kind = F_PROGRAM_FIRST_BUSY;
    } else if (name == "tqp-marker-error") {
        f.kind = F_MARKER_ERROR;
    } else if (name == "tqp-noise") {
        f.kind = F_NOISE;
    } else if (name == "tqp-continuation-first") {
        f.kind = F_CONTINUATION_FIRST;
    } else if (name == "tqp-sequence-skip") {
        f.kind = F_SEQUENCE_SKIP;
    } else if (name == "tqp-sequence-missing") {
        f.kind = F_SEQUENCE_MISSING;
    } else {
        return 0;
    }
    s.faults.push_back(f);
    return 1;
}

void sim_tqp_dump(const sim_controller& c, std::FILE* out)
{
    const sim_tqp_state& s = *c.tqp;
    std::fprintf(out, "tqp_requests=");
    for (std::size_t i = 0; i < s.codes.size(); ++i) {
        std::fprintf(out, "%s%02x", i ? "," : "", s.codes[i].first);
        if (s.codes[i].second > 1)
            std::fprintf(out, "*%u", s.codes[i].second);
    }
    std::fprintf(out, "\ntqp_hellos=%u\n", s.hellos);
    std::fprintf(out, "tqp_last_hello=%s\n", s.last_hello.c_str());
    std::fprintf(out, "tqp_begin_size=%u\n", s.begin_size);
    std::fprintf(out, "tqp_data_requests=%u\n", s.per_code[REQ_DATA]);
    std::fprintf(out, "tqp_data_bytes=%u\n", s.data_bytes);
    std::fprintf(out, "tqp_program_requests=%u\n", s.per_code[REQ_PROGRAM]);
    std::fprintf(out, "tqp_resets=%u\n", s.resets);
    std::fprintf(out, "tqp_closes=%u\n", s.closes);
    std::fprintf(out, "tqp_reads=%u\n", s.reads);
    std::fprintf(out, "tqp_writes=%u\n", s.writes);
    std::fprintf(out, "tqp_frames_out=%u\n", s.frames_out);
    std::fprintf(out, "tqp_bad_frames=%u\n", s.bad_frames);
}
