// The report-protocol drivers the front end runs.
#pragma once

#include <cstdint>

int report_driver_probe(std::uint16_t vendor_id, std::uint16_t product_id, const char* serial);
int report_driver_run(std::uint16_t vendor_id, std::uint16_t product_id, const char* serial,
                      const std::uint8_t* image, std::int32_t size, bool restart);
int report_driver_reset(std::uint16_t vendor_id, std::uint16_t product_id, const char* serial);
