// What every benchmark binary shares: a bus as a field machine has it, and a
// main that keeps the runs' progress text out of the figures.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "sim/sim_bus.h"

// An empty bus with the unrelated names a Windows machine lists.
inline void bus_as_in_the_field()
{
    sim_bus_reset();
    sim_bus_add_name("C:");
    sim_bus_add_name("Volume{6f2a81c0-0000-0000-0000-100000000000}");
    sim_bus_add_name("COM3");
}

// The flash-tool-sim beside this benchmark's build directory, or "" when
// the running program cannot be found.
inline std::string bench_sim_program()
{
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return "";
    std::string dir(self);
    dir.resize(dir.rfind('/'));
    return dir + "/../flash-tool-sim";
}

// The progress text of the runs goes to /dev/null; the figures to the
// standard output the benchmark was started with.
inline int bench_main(int argc, char** argv)
{
    std::fflush(stdout);
    const int figures = dup(1);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (figures < 0 || null_fd < 0 || dup2(null_fd, 1) < 0)
        return 1;
    close(null_fd);
    std::ofstream out("/dev/fd/" + std::to_string(figures));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&out);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
