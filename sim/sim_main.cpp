// flash-tool-sim: the flash-tool front end on the virtual bus, with one
// simulated controller attached. Its own options begin with --sim- and are
// taken off the command line before flash-tool sees it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/flash_tool.h"
#include "sim/sim_bus.h"
#include "sim/sim_controller.h"

namespace {

const char* const SIM_USAGE =
    "flash-tool-sim options (all others go to flash-tool):\n"
    "  --sim-controller=dfu|report|tqp|bridge|none   the attached controller (default dfu)\n"
    "  --sim-realtime        real sleeps, so the progress shows as on hardware\n"
    "  --sim-serial=TEXT     the controller's serial number\n"
    "  --sim-fault=LIST      faults, comma-separated NAME[=VALUE][@N[-|*T]] (docs/simulator.md)\n"
    "  --sim-dump=FILE       write the controller's state after the run\n"
    "  --sim-help            this text\n";

bool take(const char* arg, const char* name, std::string* value)
{
    const std::size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0 || arg[n] != '=')
        return false;
    *value = arg + n + 1;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<char*> rest{argv[0]};
    std::string kind = "dfu", serial, dump, value;
    std::vector<std::string> faults;
    bool realtime = false, serial_given = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strncmp(a, "--sim-", 6) != 0) {
            rest.push_back(argv[i]);
        } else if (take(a, "--sim-controller", &value)) {
            kind = value;
        } else if (std::strcmp(a, "--sim-realtime") == 0) {
            realtime = true;
        } else if (take(a, "--sim-serial", &value)) {
            serial = value;
            serial_given = true;
        } else if (take(a, "--sim-fault", &value)) {
            faults.push_back(value);
        } else if (take(a, "--sim-dump", &value)) {
            dump = value;
        } else if (std::strcmp(a, "--sim-help") == 0) {
            std::fputs(SIM_USAGE, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "flash-tool-sim: unknown option '%s'\n%s", a, SIM_USAGE);
            return 2;
        }
    }
    rest.push_back(nullptr);

    sim_bus_reset();
    sim_bus_set_realtime(realtime);
    // Names of the sort every Windows machine lists, around the controller.
    sim_bus_add_name("C:");
    sim_bus_add_name("Volume{6f2a81c0-0000-0000-0000-100000000000}");
    sim_bus_add_name("COM3");

    sim_controller controller;
    const bool attached = kind != "none";
    if (attached && !sim_controller_configure(controller, kind)) {
        std::fprintf(stderr, "flash-tool-sim: unknown controller '%s'\n", kind.c_str());
        return 2;
    }
    if (serial_given)
        controller.serial = serial;
    for (const std::string& f : faults) {
        std::string error;
        if (!sim_controller_faults(controller, f, &error)) {
            std::fprintf(stderr, "flash-tool-sim: %s\n", error.c_str());
            return 2;
        }
    }
    if (attached)
        controller.attach();
    sim_bus_add_name("HID#VID_046D&PID_C077#6&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");

    const int status = flash_tool_main(static_cast<int>(rest.size()) - 1, rest.data());
    std::fflush(stdout);

    if (!dump.empty()) {
        if (std::FILE* out = std::fopen(dump.c_str(), "w")) {
            sim_controller_dump(controller, out);
            std::fclose(out);
        }
    }
    return status;
}
