// The whole front end against a controller whose every answer is the input
// (fuzz_peer.h): descriptors on request, control and bulk transfers, feature
// reports, their results, and when it leaves the bus and as what it returns.
// The first byte picks the run:
//   bits 0-1  0: built-in upgrade, 1: -i FILE, 2: -r, 3: -R
//   bits 2-5  modulo 3, 0: default, 1: -d, 2: -f
//   bit 6     -s;  bit 7: -S with the controller's serial
// the second the device:
//   bits 0-1  0: report-protocol controller, 1: TQP controller, 2: bridge,
//             3: a controller in DFU mode
//   bits 2-3  feature report size: the controller's own, 65, 9 or 513
//   bit 4     the device answers descriptor requests from the input too
// Each run must end with status 0 or 1 and nothing left open, never report
// an upgrade a success when fewer bytes than the image went out, and give up
// within 10 minutes of its clock once the input is spent.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "app/flash_tool.h"
#include "app/image.h"
#include "fuzz/fuzz_peer.h"
#include "sim/sim_controller.h"

namespace {

constexpr int IDENTITIES = 4;
constexpr int IMAGE_FILE_SIZE = 3000;
constexpr int SIZES = 4;
// Once the input is spent every transfer fails; from then on the program
// must give up within this much time on its own clock.
constexpr std::uint64_t GIVE_UP_LIMIT_US = 10ull * 60 * 1000 * 1000;

struct identity_table {
    sim_identity ids[SIZES][IDENTITIES];
};

const identity_table& identities()
{
    static const identity_table table = [] {
        identity_table t;
        static const char* const KINDS[IDENTITIES] = {"report", "tqp", "bridge", "dfu"};
        static const std::uint16_t FEATURE[SIZES] = {0, 65, 9, 513};
        for (int k = 0; k < IDENTITIES; ++k) {
            sim_controller model;
            sim_controller_configure(model, KINDS[k]);
            const sim_identity base = model.identity(k == 3 ? SIM_MODE_DFU : SIM_MODE_RUNTIME);
            for (int s = 0; s < SIZES; ++s) {
                t.ids[s][k] = base;
                for (sim_interface& i : t.ids[s][k].interfaces)
                    if (FEATURE[s] && i.feature_length)
                        i.feature_length = FEATURE[s];
            }
        }
        return t;
    }();
    return table;
}

std::string image_path;

void remove_image()
{
    if (!image_path.empty()) {
        std::remove(image_path.c_str());
        rmdir(image_path.substr(0, image_path.rfind('/')).c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The program's console output is not what is under test; set
    // FUZZ_SHOW_OUTPUT to see it when replaying an input.
    if (!std::getenv("FUZZ_SHOW_OUTPUT") && !std::freopen("/dev/null", "w", stdout))
        std::abort();
    char dir[] = "/tmp/flash-tool-fuzz-XXXXXX";
    if (!mkdtemp(dir))
        std::abort();
    image_path = std::string(dir) + "/image.dfu";
    std::FILE* f = std::fopen(image_path.c_str(), "wb");
    if (!f)
        std::abort();
    for (int i = 0; i < IMAGE_FILE_SIZE; ++i)
        std::fputc((i * 13) & 0xFF, f);
    std::fclose(f);
    std::atexit(remove_image);
    identities();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::uint8_t run = data[0], dev = data[1];
    const sim_identity* table = identities().ids[(dev >> 2) & 3];
    const sim_identity& identity = table[dev & 3];

    fuzz_peer peer(data + 2, size - 2);
    peer.identities = table;
    peer.identity_count = IDENTITIES;
    peer.descriptors = dev & 0x10;
    sim_bus_reset();
    sim_bus_add_name("C:");
    sim_bus_add_name("COM3");
    peer.device = sim_bus_add_device(identity, &peer);
    sim_bus_add_name("HID#VID_046D&PID_C077#6&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");

    std::string args[8];
    int argc = 0;
    args[argc++] = "flash-tool";
    switch (run & 3) {
    case 1: args[argc++] = "-i"; args[argc++] = image_path; break;
    case 2: args[argc++] = "-r"; break;
    case 3: args[argc++] = "-R"; break;
    default: break;
    }
    switch (((run >> 2) & 15) % 3) {
    case 1: args[argc++] = "-d"; break;
    case 2: args[argc++] = "-f"; break;
    default: break;
    }
    if (run & 0x40)
        args[argc++] = "-s";
    if (run & 0x80) {
        args[argc++] = "-S";
        args[argc++] = identity.serial;
    }
    args[argc++] = "-n";
    char* argv[9];
    for (int i = 0; i < argc; ++i)
        argv[i] = args[i].data();
    argv[argc] = nullptr;

    const int status = flash_tool_main(argc, argv);
    if (status != 0 && status != 1)
        __builtin_trap();
    if (sim_bus_open_objects() != 0)
        __builtin_trap();
    // Success for an upgrade that cannot have reached the device whole.
    const std::uint64_t image_size = (run & 3) == 0 ? BUILTIN_IMAGE_SIZE : (run & 3) == 1 ? IMAGE_FILE_SIZE : 0;
    if (status == 0 && peer.taken < image_size)
        __builtin_trap();
    if (peer.spent_at_us != fuzz_peer::NOT_SPENT && sim_bus_now_us() - peer.spent_at_us > GIVE_UP_LIMIT_US)
        __builtin_trap();
    return 0;
}
