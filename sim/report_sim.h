// What the simulated controller's report protocol says by default, for
// tests that check its texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// INFO: the information text.
extern const char* const SIM_REPORT_INFO_TEXT;
// PREPARE and FLASH_STATUS: "not ready" and "busy" replies before the
// device is ready or finished.
constexpr std::uint32_t SIM_REPORT_PREPARE_POLLS = 2;
constexpr std::uint32_t SIM_REPORT_BUSY_POLLS = 5;
// READ_INFO: the size of the diagnostic text.
constexpr std::size_t SIM_REPORT_DIAG_SIZE = 3072;
// The largest image the controller takes.
constexpr std::size_t SIM_REPORT_MAX_IMAGE = 16u << 20;

// The diagnostic text, cut to `size` bytes.
std::string sim_report_diagnostic_text(std::size_t size);
// The status text that comes with a flash result code.
const char* sim_report_status_text(int code);
