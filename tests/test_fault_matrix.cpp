// The fault matrix: each transport's built-in upgrade is run once cleanly to
// count the transfers the controller sees; then, for every transfer index and
// every kind of misbehaviour, once more with that one transfer spoilt. Every
// run must end in bounded virtual time, leak nothing, and end in the failure
// banner with status 1 unless the controller really holds the whole image.
//
// The front end's printers keep process-wide state, so each run happens in a
// forked child that reports back over a pipe.
// POSIX only: it forks (and names POSIX devices and paths).
#ifndef _WIN32
// Runs each case in a forked child: POSIX hosts only.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/flash_tool.h"
#include "sim/sim_bus.h"
#include "sim/sim_controller.h"
#include "support.h"

namespace {

enum matrix_kind {
    MATRIX_NONE,
    MATRIX_FAIL,     // the transfer fails (a time-out, 121)
    MATRIX_STALL,    // the transfer is stalled (31)
    MATRIX_EMPTY,    // the device answers, but nothing comes back
    MATRIX_SHORT,    // the answer is cut to half
    MATRIX_GONE,     // the device leaves the bus for good
    MATRIX_GARBAGE,  // the answer's bytes are noise
    MATRIX_KIND_COUNT
};

const char* const KIND_NAMES[MATRIX_KIND_COUNT] = {"none",  "fail", "stall",  "empty",
                                                   "short", "gone", "garbage"};

constexpr std::uint32_t ERROR_SEM_TIMEOUT = 121;
constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
constexpr std::uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;
// An hour of virtual time is far beyond any sound run's retries and waits.
constexpr std::uint64_t TIME_BOUND_US = 3600ull * 1000 * 1000;

// A controller whose index-th transfer (1-based) misbehaves.
class matrix_controller : public sim_controller {
public:
    matrix_kind kind = MATRIX_NONE;
    std::uint32_t index = 0;
    std::uint32_t count = 0;
    // What each transfer was (its kind, direction, length and request), to
    // find where the exchange moves from one phase to the next.
    std::vector<std::uint32_t> signatures;

    void note(std::uint32_t kind_code, std::uint32_t request, std::uint32_t length)
    {
        signatures.push_back(kind_code << 28 ^ (request & 0xFF) << 20 ^ (length & 0xFFFFF));
    }

    bool control(int dev, std::uint8_t iface, const std::uint8_t setup[8], std::uint8_t* data,
                 std::uint32_t length, std::uint32_t* done, std::uint32_t* error) override
    {
        const bool in = (setup[0] & 0x80) != 0;
        note(in ? 1 : 2, setup[1], length);
        return apply(in, data, length, done, error, [&] {
            return sim_controller::control(dev, iface, setup, data, length, done, error);
        });
    }
    bool bulk(int dev, std::uint8_t iface, std::uint8_t pipe, std::uint8_t* data,
              std::uint32_t length, std::uint32_t* done, std::uint32_t* error) override
    {
        const bool in = (pipe & 0x80) != 0;
        note(in ? 3 : 4, in ? 0 : (length > 4 ? data[4] : 0), length);
        return apply(in, data, length, done, error, [&] {
            return sim_controller::bulk(dev, iface, pipe, data, length, done, error);
        });
    }
    bool get_feature(int dev, std::uint8_t iface, std::uint8_t* report,
                     std::uint32_t length) override
    {
        note(5, 0, length);
        std::uint32_t done = length, error = 0;
        // Byte 0 is the report ID the host asked for; the answer follows it.
        const bool ok = apply(true, report + 1, length > 0 ? length - 1 : 0, &done, &error, [&] {
            return sim_controller::get_feature(dev, iface, report, length);
        });
        if (ok && done + 1 < length)
            std::memset(report + 1 + done, 0, length - 1 - done);
        return ok;
    }
    bool set_feature(int dev, std::uint8_t iface, const std::uint8_t* report,
                     std::uint32_t length) override
    {
        note(6, length > 1 ? report[1] : 0, length);
        std::uint32_t done = length, error = 0;
        const bool ok = apply(false, nullptr, 0, &done, &error, [&] {
            return sim_controller::set_feature(dev, iface, report, length);
        });
        // A feature report is written whole or not at all.
        return ok && done == length;
    }

private:
    template <typename F>
    bool apply(bool in, std::uint8_t* data, std::uint32_t length, std::uint32_t* done,
               std::uint32_t* error, F real)
    {
        if (++count != index || kind == MATRIX_NONE)
            return real();
        switch (kind) {
        case MATRIX_FAIL:
            *error = ERROR_SEM_TIMEOUT;
            return false;
        case MATRIX_STALL:
            *error = ERROR_GEN_FAILURE;
            return false;
        case MATRIX_GONE:
            never_back = true;
            sim_bus_detach(device);
            *error = ERROR_DEVICE_NOT_CONNECTED;
            return false;
        default:
            break;
        }
        if (!real())
            return false;
        if (kind == MATRIX_EMPTY) {
            *done = 0;
        } else if (kind == MATRIX_SHORT) {
            *done = in ? *done / 2 : (*done > 0 ? *done - 1 : 0);
        } else if (kind == MATRIX_GARBAGE && in && data) {
            std::uint32_t x = 0x9E3779B9u ^ index;
            for (std::uint32_t i = 0; i < length; ++i) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                data[i] = static_cast<std::uint8_t>(x);
            }
        }
        return true;
    }
};

struct matrix_result {
    int status = -1;
    bool failure_banner = false;
    bool success_banner = false;
    bool holds_image = false;
    int open_objects = -1;
    std::uint64_t time_us = 0;
    std::uint32_t transfers = 0;
    bool crashed = false;
};

// One whole run in a forked child; `image` empty: the good run, which
// reports the transfers it saw and passes its firmware back.
matrix_result run_case(const std::vector<std::string>& args, const std::string& controller_kind,
                       matrix_kind kind, std::uint32_t index,
                       const std::vector<std::uint8_t>& image, std::vector<std::uint8_t>* firmware,
                       std::vector<std::uint32_t>* boundaries = nullptr)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(20);  // a hang in real time, which virtual time cannot show
        const int out = memfd_create("matrix-out", 0);
        const int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, 0);
        dup2(out, 1);
        dup2(out, 2);

        sim_bus_reset();
        sim_bus_add_name("C:");
        matrix_controller c;
        sim_controller_configure(c, controller_kind);
        c.kind = kind;
        c.index = index;
        c.attach();

        std::vector<std::string> words{"flash-tool"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        matrix_result r;
        r.status = flash_tool_main(static_cast<int>(words.size()), argv.data());
        std::fflush(stdout);
        std::fflush(stderr);

        std::string text;
        char buf[4096];
        lseek(out, 0, SEEK_SET);
        for (ssize_t n; (n = read(out, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<std::size_t>(n));
        r.failure_banner = text.find(FAILURE_BANNER) != std::string::npos;
        r.success_banner = text.find(SUCCESS_BANNER) != std::string::npos;
        r.holds_image = !image.empty() && c.firmware == image;
        r.open_objects = sim_bus_open_objects();
        r.time_us = sim_bus_now_us();
        r.transfers = c.count;
        const std::uint32_t size = static_cast<std::uint32_t>(c.firmware.size());
        [[maybe_unused]] ssize_t w = write(fds[1], &r, sizeof r);
        w = write(fds[1], &size, sizeof size);
        if (image.empty()) {
            w = write(fds[1], c.firmware.data(), size);
            // Phase boundaries: a transfer unlike both of the two before it
            // (so a request and its answer, repeated, make one phase).
            std::vector<std::uint32_t> b;
            const std::vector<std::uint32_t>& sig = c.signatures;
            for (std::size_t i = 0; i < sig.size(); ++i)
                if (i < 2 || (sig[i] != sig[i - 1] && sig[i] != sig[i - 2]))
                    b.push_back(static_cast<std::uint32_t>(i + 1));
            const std::uint32_t n = static_cast<std::uint32_t>(b.size());
            w = write(fds[1], &n, sizeof n);
            w = write(fds[1], b.data(), n * sizeof(std::uint32_t));
        }
        _exit(0);
    }
    close(fds[1]);
    matrix_result r;
    std::uint32_t size = 0;
    const bool got = read(fds[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r) &&
                     read(fds[0], &size, sizeof size) == static_cast<ssize_t>(sizeof size);
    if (got && firmware) {
        firmware->resize(size);
        std::size_t have = 0;
        while (have < size) {
            const ssize_t n = read(fds[0], firmware->data() + have, size - have);
            if (n <= 0)
                break;
            have += static_cast<std::size_t>(n);
        }
    }
    std::uint32_t n = 0;
    if (got && boundaries && read(fds[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
        boundaries->resize(n);
        std::size_t have = 0;
        auto* bytes = reinterpret_cast<char*>(boundaries->data());
        while (have < n * sizeof(std::uint32_t)) {
            const ssize_t k = read(fds[0], bytes + have, n * sizeof(std::uint32_t) - have);
            if (k <= 0)
                break;
            have += static_cast<std::size_t>(k);
        }
    }
    close(fds[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (!got || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
        r = matrix_result{};
        r.crashed = true;
    }
    return r;
}

// Which transfer indices to spoil. Up to MATRIX_FULL_LIMIT transfers: all.
// Beyond that, to stay within CI's time, a deterministic sample: every Nth,
// the first and last few, and every phase boundary with its neighbours.
// FAULT_MATRIX_STEP=1 runs them all; another N sets the step.
// Sanitizer builds run some ten times slower: a thinner sample there, with
// every eighth phase boundary.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint32_t MATRIX_FULL_LIMIT = 300;
constexpr std::uint32_t MATRIX_SAMPLE = 100;
constexpr std::size_t MATRIX_BOUNDARY_STRIDE = 8;
#else
constexpr std::uint32_t MATRIX_FULL_LIMIT = 1000;
constexpr std::uint32_t MATRIX_SAMPLE = 600;
constexpr std::size_t MATRIX_BOUNDARY_STRIDE = 1;
#endif

std::vector<std::uint32_t> indices(std::uint32_t transfers,
                                   const std::vector<std::uint32_t>& boundaries)
{
    std::uint32_t step =
        transfers <= MATRIX_FULL_LIMIT ? 1 : (transfers + MATRIX_SAMPLE - 1) / MATRIX_SAMPLE;
    if (const char* s = std::getenv("FAULT_MATRIX_STEP"))
        step = static_cast<std::uint32_t>(std::max(1, std::atoi(s)));
    std::vector<bool> take(transfers + 2, step == 1);
    for (std::uint32_t i = 1; i <= transfers; ++i)
        if (i <= 16 || i + 16 > transfers || i % step == 0)
            take[i] = true;
    for (std::size_t k = 0; k < boundaries.size(); k += MATRIX_BOUNDARY_STRIDE)
        for (std::uint32_t b = boundaries[k], i = b > 1 ? b - 1 : 1; i <= b + 1 && i <= transfers; ++i)
            take[i] = true;
    std::vector<std::uint32_t> out;
    for (std::uint32_t i = 1; i <= transfers; ++i)
        if (take[i])
            out.push_back(i);
    return out;
}

void run_matrix(const char* name, const std::vector<std::string>& args,
                const std::string& controller_kind)
{
    std::vector<std::uint8_t> image, before;
    {
        // The controller's firmware before any upgrade, to tell it from the image.
        sim_controller fresh;
        sim_controller_configure(fresh, controller_kind);
        before = fresh.firmware;
    }
    std::vector<std::uint32_t> boundaries;
    const matrix_result good =
        run_case(args, controller_kind, MATRIX_NONE, 0, {}, &image, &boundaries);
    ASSERT_FALSE(good.crashed);
    ASSERT_EQ(good.status, 0);
    ASSERT_TRUE(good.success_banner);
    ASSERT_FALSE(image.empty());
    ASSERT_NE(image, before);
    ASSERT_GT(good.transfers, 0u);

    const std::vector<std::uint32_t> which = indices(good.transfers, boundaries);
    unsigned cases = 0, failed_cleanly = 0, upgraded = 0, bad = 0;
    for (int k = MATRIX_FAIL; k < MATRIX_KIND_COUNT; ++k) {
        for (std::uint32_t i : which) {
            const matrix_result r =
                run_case(args, controller_kind, static_cast<matrix_kind>(k), i, image, nullptr);
            ++cases;
            std::string fault;
            if (r.crashed)
                fault = "crashed or hung";
            else if (r.time_us > TIME_BOUND_US)
                fault = "ran " + std::to_string(r.time_us / 1000000) + " s of virtual time";
            else if (r.open_objects != 0)
                fault = "left " + std::to_string(r.open_objects) + " objects open";
            else if (r.holds_image && r.status != 0 && !(r.status == 1 && r.failure_banner))
                fault = "status " + std::to_string(r.status) + " for an upgraded controller";
            else if (!r.holds_image && (r.status != 1 || !r.failure_banner || r.success_banner))
                fault = "status " + std::to_string(r.status) +
                        (r.failure_banner ? "" : " without the failure banner") +
                        " though the controller does not hold the image";
            if (!fault.empty()) {
                ++bad;
                ADD_FAILURE() << name << ": " << KIND_NAMES[k] << " at transfer " << i << " of "
                              << good.transfers << ": " << fault;
            } else if (r.holds_image) {
                ++upgraded;
            } else {
                ++failed_cleanly;
            }
        }
    }
    std::printf("[ matrix   ] %s: %u transfers (%zu phase boundaries), %zu indices x %d kinds = %u cases: %u failed "
                "with the banner, %u upgraded anyway, %u faulty\n",
                name, good.transfers, boundaries.size(), which.size(), MATRIX_KIND_COUNT - 1, cases, failed_cleanly,
                upgraded, bad);
}

TEST(FaultMatrix, DfuUpgrade)
{
    run_matrix("DFU", {"-n"}, "dfu");
}

TEST(FaultMatrix, ReportUpgrade)
{
    run_matrix("report", {"-n"}, "report");
}

TEST(FaultMatrix, TqpUpgrade)
{
    run_matrix("TQP", {"-f", "-n"}, "tqp");
}

}  // namespace

#endif  // _WIN32

#endif  // _WIN32
