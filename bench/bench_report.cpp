// The built-in upgrade over the report protocol against the simulated
// controller on the virtual clock, over HID and over the bridge: image bytes
// per CPU second through the command layer and through the whole driver,
// heap growth per data chunk, and the peak memory of whole runs.
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "app/image.h"
#include "report/report_commands.h"
#include "report/report_driver.h"
#include "sim/sim_bus.h"
#include "sim/sim_controller.h"
#include "usb/ids.h"

namespace {

// A controller of this kind alone on a bus with the names a Windows machine
// lists, and a channel to it.
struct rig {
    std::unique_ptr<sim_controller> controller;
    report_channel* channel = nullptr;

    explicit rig(const char* kind)
    {
        sim_bus_reset();
        sim_bus_add_name("C:");
        sim_bus_add_name("Volume{6f2a81c0-0000-0000-0000-100000000000}");
        sim_bus_add_name("COM3");
        controller = std::make_unique<sim_controller>();
        sim_controller_configure(*controller, kind);
        controller->attach();
        const std::uint16_t pid = controller->is_bridge ? BRIDGE_PRODUCT_ID : controller->runtime_product_id;
        channel = report_channel_open(DEVICE_VENDOR_ID, pid, nullptr);
    }
    ~rig() { report_channel_close(channel); }
    rig(const rig&) = delete;
    rig& operator=(const rig&) = delete;
};

bool holds_builtin(const sim_controller& c)
{
    return c.firmware.size() == static_cast<std::size_t>(BUILTIN_IMAGE_SIZE) &&
           std::equal(c.firmware.begin(), c.firmware.end(), builtin_image);
}

// prepare, 3459 data requests and the count, the flash-status wait.
void BM_report_upgrade(benchmark::State& state, const char* kind)
{
    for (auto _ : state) {
        state.PauseTiming();
        {
            rig r(kind);
            if (!r.channel) {
                state.SkipWithError("no channel");
                break;
            }
            char text[REPORT_TEXT_SIZE];
            int code = 0;
            state.ResumeTiming();
            const int result = report_upgrade(r.channel, builtin_image, BUILTIN_IMAGE_SIZE, text, &code, nullptr);
            state.PauseTiming();
            if (result != 0 || code != 0 || !holds_builtin(*r.controller)) {
                state.SkipWithError("the upgrade failed");
                break;
            }
        }
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * BUILTIN_IMAGE_SIZE);
}
BENCHMARK_CAPTURE(BM_report_upgrade, hid, "report")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_report_upgrade, bridge, "bridge")->Unit(benchmark::kMillisecond);

// The whole driver as the front end runs it: info, upgrade with its
// progress text, restart and the wait for the device.
void BM_report_driver_run(benchmark::State& state)
{
    for (auto _ : state) {
        rig r("report");
        report_channel_close(r.channel);  // the driver opens its own
        r.channel = nullptr;
        if (report_driver_run(DEVICE_VENDOR_ID, r.controller->runtime_product_id, nullptr, builtin_image,
                              BUILTIN_IMAGE_SIZE, true) != 0 ||
            !holds_builtin(*r.controller)) {
            state.SkipWithError("the run failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * BUILTIN_IMAGE_SIZE);
}
BENCHMARK(BM_report_driver_run)->Unit(benchmark::kMillisecond);

// Heap in use after every chunk, from the first chunk to the last.
std::size_t g_heap_first = 0, g_heap_last = 0, g_heap_peak = 0;
int g_chunks = 0;

int sample_heap(int event, int)
{
    if (event != REPORT_EVENT_TRANSFER_PROGRESS)
        return 0;
    const std::size_t in_use = mallinfo2().uordblks;
    if (g_chunks++ == 0)
        g_heap_first = in_use;
    g_heap_last = in_use;
    g_heap_peak = std::max(g_heap_peak, in_use);
    return 0;
}

void BM_report_heap_per_chunk(benchmark::State& state, const char* kind)
{
    double growth_per_chunk = 0, peak_over_first = 0;
    for (auto _ : state) {
        rig r(kind);
        // The controller's own copy of the image grows as it arrives; give
        // it its room first, so that what is left is the host's.
        char text[REPORT_TEXT_SIZE];
        int code = 0;
        report_upgrade(r.channel, builtin_image, BUILTIN_IMAGE_SIZE, text, &code, nullptr);
        g_chunks = 0;
        g_heap_peak = 0;
        if (report_upgrade(r.channel, builtin_image, BUILTIN_IMAGE_SIZE, text, &code, sample_heap) != 0) {
            state.SkipWithError("the upgrade failed");
            break;
        }
        growth_per_chunk = g_chunks > 1 ? (static_cast<double>(g_heap_last) - static_cast<double>(g_heap_first)) /
                                              (g_chunks - 1)
                                        : 0;
        peak_over_first = static_cast<double>(g_heap_peak - g_heap_first);
    }
    state.counters["chunks"] = g_chunks;
    state.counters["heap_growth_per_chunk_bytes"] = growth_per_chunk;
    state.counters["heap_peak_over_first_chunk_bytes"] = peak_over_first;
}
BENCHMARK_CAPTURE(BM_report_heap_per_chunk, hid, "report")->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_report_heap_per_chunk, bridge, "bridge")->Iterations(3)->Unit(benchmark::kMillisecond);

// A whole flash-tool-sim process upgrading the report controller: its peak
// resident set against the image size plus 8 MiB.
void BM_report_process_peak(benchmark::State& state)
{
    const std::string program = bench_sim_program();
    if (program.empty()) {
        state.SkipWithError("no /proc/self/exe");
        return;
    }
    long peak_kib = 0;
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (std::freopen("/dev/null", "w", stdout) == nullptr)
                _exit(126);
            execl(program.c_str(), program.c_str(), "--sim-controller=report", "-n", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("flash-tool-sim --sim-controller=report -n failed");
            break;
        }
        peak_kib = std::max(peak_kib, usage.ru_maxrss);
    }
    state.counters["peak_rss_kib"] = static_cast<double>(peak_kib);
    state.counters["limit_kib"] = BUILTIN_IMAGE_SIZE / 1024.0 + 8 * 1024;
}
BENCHMARK(BM_report_process_peak)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// The same over the bridge's command layer, in a child process of its own
// (the front end sends a bridge to DFU, so no flash-tool run covers it).
void BM_report_bridge_child_peak(benchmark::State& state)
{
    long peak_kib = 0;
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) {
            rig r("bridge");
            char text[REPORT_TEXT_SIZE];
            int code = 0;
            const int result = report_upgrade(r.channel, builtin_image, BUILTIN_IMAGE_SIZE, text, &code, nullptr);
            _exit(result == 0 && holds_builtin(*r.controller) ? 0 : 1);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the bridge upgrade failed");
            break;
        }
        peak_kib = std::max(peak_kib, usage.ru_maxrss);
    }
    state.counters["peak_rss_kib"] = static_cast<double>(peak_kib);
    state.counters["limit_kib"] = BUILTIN_IMAGE_SIZE / 1024.0 + 8 * 1024;
}
BENCHMARK(BM_report_bridge_child_peak)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return bench_main(argc, argv); }
