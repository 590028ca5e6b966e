// Console routines that turn protocol events into text.
#pragma once

#include <cstdint>

#include "dfu/dfu_engine.h"

constexpr int REPORT_EVENT_TRANSFER_BEGIN = 0;
constexpr int REPORT_EVENT_TRANSFER_PROGRESS = 1;
constexpr int REPORT_EVENT_TRANSFER_END = 2;
constexpr int REPORT_EVENT_FLASH_BEGIN = 3;
constexpr int REPORT_EVENT_FLASH_BUSY = 4;
constexpr int REPORT_EVENT_FLASH_END = 5;

using progress_fn = int (*)(int event, int arg);
using log_fn = int (*)(const char* format, ...);

// Set by the DFU printer when an event reports a failure; never cleared.
extern int dfu_failure_reported;

int dfu_progress_printer(dfu_handle* handle, int event, std::intptr_t arg);
int report_progress_printer(int event, int arg);
int console_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
int console_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
