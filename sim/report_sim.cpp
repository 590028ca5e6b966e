// The report protocol and the bridge of the simulated controller.
// Placeholder: answers nothing.
#include "sim/sim_controller.h"

struct sim_report_state {};

sim_report_state* sim_report_create(sim_controller&) { return new sim_report_state{}; }
void sim_report_destroy(sim_report_state* s) { delete s; }
bool sim_report_get_feature(sim_controller&, std::uint8_t*, std::uint32_t) { return false; }
bool sim_report_set_feature(sim_controller&, const std::uint8_t*, std::uint32_t) { return false; }
bool sim_report_bulk(sim_controller&, std::uint8_t, std::uint8_t*, std::uint32_t, std::uint32_t* done,
                     std::uint32_t* error)
{
    *done = 0;
    *error = 121;
    return false;
}
int sim_report_fault(sim_controller&, const sim_fault_item&) { return 0; }
void sim_report_dump(const sim_controller&, std::FILE*) {}
