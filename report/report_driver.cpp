#include "report/report_driver.h"

// Placeholder until the report protocol lands: no device answers it.
int report_driver_probe(std::uint16_t, std::uint16_t, const char*) { return -1; }
int report_driver_run(std::uint16_t, std::uint16_t, const char*, const std::uint8_t*, std::int32_t, bool)
{
    return -1;
}
int report_driver_reset(std::uint16_t, std::uint16_t, const char*) { return -1; }
