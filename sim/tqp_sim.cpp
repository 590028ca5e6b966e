// TQP on the simulated controller. Placeholder: answers nothing.
#include "sim/sim_controller.h"

struct sim_tqp_state {};

sim_tqp_state* sim_tqp_create(sim_controller&) { return new sim_tqp_state{}; }
void sim_tqp_destroy(sim_tqp_state* s) { delete s; }
bool sim_tqp_get_feature(sim_controller&, std::uint8_t*, std::uint32_t) { return false; }
bool sim_tqp_set_feature(sim_controller&, const std::uint8_t*, std::uint32_t) { return false; }
int sim_tqp_fault(sim_controller&, const sim_fault_item&) { return 0; }
void sim_tqp_dump(const sim_controller&, std::FILE*) {}
