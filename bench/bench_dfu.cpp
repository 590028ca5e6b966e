// The built-in DFU upgrade against the simulated controller on the virtual
// clock: host CPU time per run and image bytes per CPU second, with a memcpy
// of the image for scale and the peak memory of a whole flash-tool-sim run.
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "app/image.h"
#include "dfu/dfu_engine.h"
#include "dfu/dfu_upgrade.h"
#include "sim/sim_bus.h"
#include "sim/sim_controller.h"
#include "usb/ids.h"

namespace {

// The whole driver: waits, both detaches, download, manifestation, upload.
void BM_dfu_upgrade_builtin(benchmark::State& state)
{
    for (auto _ : state) {
        bus_as_in_the_field();
        sim_controller c;
        c.attach();
        const int result = dfu_upgrade(nullptr, builtin_image, BUILTIN_IMAGE_SIZE, true);
        if (result != 0 || c.firmware.size() != static_cast<std::size_t>(BUILTIN_IMAGE_SIZE)) {
            state.SkipWithError("the upgrade failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * BUILTIN_IMAGE_SIZE);
}
BENCHMARK(BM_dfu_upgrade_builtin)->Unit(benchmark::kMillisecond);

// The engine's transfer alone, on a device already in DFU mode.
void BM_dfu_transfer_builtin(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        bus_as_in_the_field();
        sim_controller c;
        c.mode = SIM_MODE_DFU;
        c.attach();
        dfu_handle* h = dfu_new(DEVICE_VENDOR_ID, DFU_MODE_PRODUCT_ID, 0, nullptr);
        state.ResumeTiming();
        const int result = dfu_transfer(h, builtin_image, BUILTIN_IMAGE_SIZE, nullptr);
        state.PauseTiming();
        dfu_free(h);
        if (result != 0) {
            state.SkipWithError("the transfer failed");
            break;
        }
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * BUILTIN_IMAGE_SIZE);
}
BENCHMARK(BM_dfu_transfer_builtin)->Unit(benchmark::kMillisecond);

// A DFU-mode device that does no work of its own: it takes each block into
// one block buffer, manifests at the first poll and has a short text. What
// remains is the host's download loop and the seam.
class bare_dfu_device : public sim_peer {
public:
    std::uint8_t block[4096];
    std::uint8_t state = 2;
    bool control(int, std::uint8_t, const std::uint8_t setup[8], std::uint8_t* data, std::uint32_t length,
                 std::uint32_t* done, std::uint32_t*) override
    {
        *done = 0;
        switch (setup[1]) {
        case 1:  // DNLOAD
            std::memcpy(block, data, length < sizeof block ? length : sizeof block);
            *done = length;
            state = length ? 5 : 7;
            return true;
        case 2:  // UPLOAD
            std::memcpy(data, "ok", 2);
            *done = 2;
            return true;
        case 3: {  // GETSTATUS
            const std::uint8_t answer[6] = {0, 0, 0, 0, state, 0};
            std::memcpy(data, answer, 6);
            *done = 6;
            if (state == 7)
                state = 2;
            return true;
        }
        default:
            return true;
        }
    }
};

void BM_dfu_download_loop(benchmark::State& state)
{
    bus_as_in_the_field();
    bare_dfu_device device;
    sim_identity id;
    id.product_id = DFU_MODE_PRODUCT_ID;
    id.interfaces.push_back(sim_interface{});
    sim_bus_add_device(id, &device);
    dfu_handle* h = dfu_new(DEVICE_VENDOR_ID, DFU_MODE_PRODUCT_ID, 0, nullptr);
    for (auto _ : state) {
        if (dfu_transfer(h, builtin_image, BUILTIN_IMAGE_SIZE, nullptr) != 0) {
            state.SkipWithError("the transfer failed");
            break;
        }
    }
    dfu_free(h);
    state.SetBytesProcessed(state.iterations() * BUILTIN_IMAGE_SIZE);
}
BENCHMARK(BM_dfu_download_loop)->Unit(benchmark::kMicrosecond);

// For scale: one copy of the image.
void BM_memcpy_image(benchmark::State& state)
{
    std::vector<std::uint8_t> copy(BUILTIN_IMAGE_SIZE);
    for (auto _ : state) {
        std::memcpy(copy.data(), builtin_image, BUILTIN_IMAGE_SIZE);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * BUILTIN_IMAGE_SIZE);
}
BENCHMARK(BM_memcpy_image)->Unit(benchmark::kMicrosecond);

// A whole flash-tool-sim process: its peak resident set against the image
// size, and its CPU time.
void BM_flash_tool_sim_process(benchmark::State& state)
{
    const std::string program = bench_sim_program();
    if (program.empty()) {
        state.SkipWithError("no /proc/self/exe");
        return;
    }
    long peak_kib = 0;
    double cpu_ms = 0;
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (std::freopen("/dev/null", "w", stdout) == nullptr)
                _exit(126);
            execl(program.c_str(), program.c_str(), "-n", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("flash-tool-sim -n failed");
            break;
        }
        peak_kib = std::max(peak_kib, usage.ru_maxrss);
        cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    }
    state.counters["peak_rss_kib"] = static_cast<double>(peak_kib);
    state.counters["limit_kib"] = BUILTIN_IMAGE_SIZE / 1024.0 + 8 * 1024;
    state.counters["child_cpu_ms"] = cpu_ms;
}
BENCHMARK(BM_flash_tool_sim_process)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return bench_main(argc, argv); }
