// The DFU side of the simulated controller. Placeholder: stalls every request.
#include "sim/sim_controller.h"

struct sim_dfu_state {};

sim_dfu_state* sim_dfu_create(sim_controller&) { return new sim_dfu_state{}; }
void sim_dfu_destroy(sim_dfu_state* s) { delete s; }
bool sim_dfu_control(sim_controller&, std::uint8_t, const std::uint8_t*, std::uint8_t*,
                     std::uint32_t, std::uint32_t* done, std::uint32_t* error)
{
    *done = 0;
    *error = 31;
    return false;
}
int sim_dfu_fault(sim_controller&, const sim_fault_item&) { return 0; }
void sim_dfu_dump(const sim_controller&, std::FILE*) {}
