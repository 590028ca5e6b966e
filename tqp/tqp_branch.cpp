#include "tqp/tqp_branch.h"

// Placeholder until TQP lands: every run falls back to the report protocol.
int tqp_branch(const char*, const char*, const std::uint8_t*, std::int32_t, bool, bool, const char*,
               log_fn, log_fn)
{
    return TQP_BRANCH_FALLBACK;
}
