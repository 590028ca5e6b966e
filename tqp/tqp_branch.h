// The front end's TQP branch: open a TQP connection and run the mode on it.
#pragma once

#include <cstdint>

#include "app/console.h"

// The branch could not open the connection for a reason other than the
// link layer: the run goes on with the report protocol.
constexpr int TQP_BRANCH_FALLBACK = 1;

// Returns 0 when the run succeeded, a negative value when it failed (its
// messages printed), or TQP_BRANCH_FALLBACK.
int tqp_branch(const char* connection, const char* client_name, const std::uint8_t* image,
               std::int32_t size, bool reset, bool reset_after_upgrade, const char* serial,
               log_fn info, log_fn error);
