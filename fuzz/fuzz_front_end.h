// What fuzz_front_end and the seed maker share, so a seed means to the
// harness exactly the run it was recorded from: the device kinds, the -i
// image, the names around the device, and the command line of a run byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/flash_tool.h"
#include "sim/sim_bus.h"

// The identity table's devices; the last stands in DFU mode.
constexpr int FUZZ_KINDS = 4;
inline const char* const FUZZ_KIND_NAMES[FUZZ_KINDS] = {"report", "tqp", "bridge", "dfu"};
constexpr int FUZZ_DFU_MODE_KIND = 3;

constexpr int FUZZ_IMAGE_SIZE = 3000;

inline bool fuzz_write_image(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    for (int i = 0; i < FUZZ_IMAGE_SIZE; ++i)
        std::fputc((i * 13) & 0xFF, f);
    return std::fclose(f) == 0;
}

// Names of the sort every Windows machine lists, before and after the device.
inline void fuzz_names_before_device()
{
    sim_bus_add_name("C:");
    sim_bus_add_name("COM3");
}
inline void fuzz_names_after_device()
{
    sim_bus_add_name("HID#VID_046D&PID_C077#6&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
}

// The command line a run byte stands for:
//   bits 0-1  0: built-in upgrade, 1: -i FILE, 2: -r, 3: -R
//   bits 2-5  modulo 3, 0: default, 1: -d, 2: -f
//   bit 6     -s;  bit 7: -S SERIAL
inline std::vector<std::string> fuzz_front_end_args(std::uint8_t run, const std::string& image_path,
                                                    const std::string& serial)
{
    std::vector<std::string> args{"flash-tool"};
    switch (run & 3) {
    case 1: args.insert(args.end(), {"-i", image_path}); break;
    case 2: args.push_back("-r"); break;
    case 3: args.push_back("-R"); break;
    default: break;
    }
    switch (((run >> 2) & 15) % 3) {
    case 1: args.push_back("-d"); break;
    case 2: args.push_back("-f"); break;
    default: break;
    }
    if (run & 0x40)
        args.push_back("-s");
    if (run & 0x80)
        args.insert(args.end(), {"-S", serial});
    args.push_back("-n");
    return args;
}

inline int fuzz_run_front_end(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return flash_tool_main(static_cast<int>(args.size()), argv.data());
}
