// The built-in TQP upgrade against the simulated TQP controller on the
// virtual clock: image bytes per CPU second through link, transport and
// client, and the heap allocations made per message and per frame (counted
// by replacing the allocator of this binary).
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <string>

#include "app/image.h"
#include "sim/sim_bus.h"
#include "sim/sim_controller.h"
#include "tqp/tqp_branch.h"
#include "tqp/tqp_connection.h"

// --- counting allocations ---------------------------------------------------
// Every C++ allocation and every malloc/calloc/realloc of the process goes
// through these, host and simulator alike.
namespace {
std::atomic<unsigned long> g_allocations{0};
}

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void __libc_free(void*);

extern "C" void* malloc(std::size_t n)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t n)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

void* operator new(std::size_t n)
{
    if (void* p = malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, std::size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t) noexcept { __libc_free(p); }

namespace {

int silent(const char*, ...) { return 0; }

std::uint32_t frames_moved()
{
    return sim_bus_call_count(SIM_CALL_SET_FEATURE) + sim_bus_call_count(SIM_CALL_GET_FEATURE);
}

// The front end's whole TQP branch: hello, system error, upgrade, restart,
// wait for boot.
void BM_tqp_branch_builtin(benchmark::State& state)
{
    for (auto _ : state) {
        bus_as_in_the_field();
        sim_controller c;
        sim_controller_configure(c, "tqp");
        c.attach();
        const int result = tqp_branch("USB", "Ovandrel/Flashtool", builtin_image, BUILTIN_IMAGE_SIZE, false,
                                      true, nullptr, silent, silent);
        if (result != 0 || c.firmware.size() != static_cast<std::size_t>(BUILTIN_IMAGE_SIZE)) {
            state.SkipWithError("the upgrade failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * BUILTIN_IMAGE_SIZE);
}
BENCHMARK(BM_tqp_branch_builtin)->Unit(benchmark::kMillisecond);

// tqp_upgrade alone on an open connection: begin, 420 data requests,
// program polls. Counts the allocations of the whole upgrade.
void BM_tqp_upgrade_builtin(benchmark::State& state)
{
    unsigned long allocations = 0, messages = 0, frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bus_as_in_the_field();
        sim_controller c;
        sim_controller_configure(c, "tqp");
        c.attach();
        tqp_connection conn;
        tqp_connection_defaults(&conn);
        tqp_connection_set_logs(&conn, silent, silent);
        if (tqp_open(&conn, "USB", "Ovandrel/Flashtool") != 0) {
            state.SkipWithError("the connection did not open");
            break;
        }
        const std::uint32_t frames_before = frames_moved();
        const unsigned long before = g_allocations.load();
        state.ResumeTiming();
        const int result = tqp_upgrade(&conn, builtin_image, BUILTIN_IMAGE_SIZE);
        state.PauseTiming();
        allocations += g_allocations.load() - before;
        frames += frames_moved() - frames_before;
        // Each request is a message out and its answer a message in.
        messages += 2 * (1 + 420 + 1 + 3 + 1);
        tqp_close(&conn);
        if (result != 0 || c.firmware.size() != static_cast<std::size_t>(BUILTIN_IMAGE_SIZE)) {
            state.SkipWithError("the upgrade failed");
            break;
        }
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * BUILTIN_IMAGE_SIZE);
    const double runs = static_cast<double>(state.iterations());
    state.counters["allocs_per_upgrade"] = static_cast<double>(allocations) / runs;
    state.counters["allocs_per_message"] = static_cast<double>(allocations) / static_cast<double>(messages);
    state.counters["allocs_per_frame"] = static_cast<double>(allocations) / static_cast<double>(frames);
    state.counters["frames_per_upgrade"] = static_cast<double>(frames) / runs;
}
BENCHMARK(BM_tqp_upgrade_builtin)->Unit(benchmark::kMillisecond);

// The host stack alone: transport and client over a link that takes every
// frame and answers each request at once, so no simulator work is counted.
struct loopback {
    std::uint8_t answer[255];
    bool pending = false;
};

int loop_send(void* context, const std::uint8_t* frame, std::uint32_t)
{
    auto* l = static_cast<loopback*>(context);
    if (frame[0] < 0x80 || (frame[0] & 0xC0) == 0x80) {  // a first frame: a request begins
        const std::uint8_t code = (frame[0] & 0x80) ? frame[2] : frame[1];
        std::memset(l->answer, 0, sizeof l->answer);
        l->answer[0] = 3;
        l->answer[1] = 0xF0;
        l->answer[2] = 0;
        l->answer[3] = code;
        l->pending = true;
    }
    return 0;
}

int loop_receive(void* context, const std::uint8_t** frame, std::uint32_t* length)
{
    auto* l = static_cast<loopback*>(context);
    *length = l->pending ? 255 : 0;
    *frame = l->answer;
    l->pending = false;
    return 0;
}

void BM_tqp_host_stack(benchmark::State& state)
{
    loopback l;
    tqp_connection conn;
    tqp_connection_defaults(&conn);
    struct link record{loop_send, loop_receive, 255, &l};
    tqptransport_init(&conn.driver, &record);
    tqptransport_bind(&conn.driver, &conn.core);
    conn.is_open = 1;
    const unsigned long before = g_allocations.load();
    for (auto _ : state) {
        if (tqp_upgrade(&conn, builtin_image, BUILTIN_IMAGE_SIZE) != 0) {
            state.SkipWithError("the upgrade failed");
            break;
        }
    }
    state.counters["allocs"] = static_cast<double>(g_allocations.load() - before);
    state.SetBytesProcessed(state.iterations() * BUILTIN_IMAGE_SIZE);
}
BENCHMARK(BM_tqp_host_stack)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return bench_main(argc, argv); }
