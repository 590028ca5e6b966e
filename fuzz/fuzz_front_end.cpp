// The whole front end against a controller whose every answer is the input
// (fuzz_peer.h): descriptors on request, control and bulk transfers, feature
// reports, their results, and when it leaves the bus and as what it returns.
// The first byte picks the command line (fuzz_front_end_args: the mode, the
// transport, -s, -S with the controller's serial), the second the device:
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

#include "app/image.h"
#include "fuzz/fuzz_front_end.h"
#include "fuzz/fuzz_peer.h"

namespace {

constexpr int SIZES = 4;
// Once the input is spent every transfer fails; from then on the program
// must give up within this much time on its own clock.
constexpr std::uint64_t GIVE_UP_LIMIT_US = 10ull * 60 * 1000 * 1000;

struct identity_table {
    sim_identity ids[SIZES][FUZZ_KINDS];
};

const identity_table& identities()
{
    static const identity_table table = [] {
        identity_table t;
        static const std::uint16_t FEATURE[SIZES] = {0, 65, 9, 513};
        for (int k = 0; k < FUZZ_KINDS; ++k) {
            const sim_identity base = fuzz_model_identity(
                FUZZ_KIND_NAMES[k], k == FUZZ_DFU_MODE_KIND ? SIM_MODE_DFU : SIM_MODE_RUNTIME);
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
    if (!fuzz_write_image(image_path))
        std::abort();
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
    peer.identity_count = FUZZ_KINDS;
    peer.descriptors = dev & 0x10;
    sim_bus_reset();
    fuzz_names_before_device();
    peer.device = sim_bus_add_device(identity, &peer);
    fuzz_names_after_device();

    const int status = fuzz_run_front_end(fuzz_front_end_args(run, image_path, identity.serial));
    if (status != 0 && status != 1)
        __builtin_trap();
    if (sim_bus_open_objects() != 0)
        __builtin_trap();
    // Success for an upgrade that cannot have reached the device whole.
    const std::uint64_t image_size = (run & 3) == 0 ? BUILTIN_IMAGE_SIZE : (run & 3) == 1 ? FUZZ_IMAGE_SIZE : 0;
    if (status == 0 && peer.taken < image_size)
        __builtin_trap();
    if (peer.spent_at_us != fuzz_peer::NOT_SPENT && sim_bus_now_us() - peer.spent_at_us > GIVE_UP_LIMIT_US)
        __builtin_trap();
    return 0;
}
