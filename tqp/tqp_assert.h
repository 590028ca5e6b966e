// Internal invariants of the TQP layers: a failed check names the module
// and the line, then ends the process.
#pragma once

#include <cstdio>
#include <cstdlib>

#define TQP_ASSERT(module, cond)                                                            \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fflush(stdout);                                                            \
            std::fprintf(stderr, "Assertion failed: %s, module %s, line %d\n", #cond, module, \
                         __LINE__);                                                         \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)
