// The report protocol's six commands and the exchanges that carry them over
// a report channel. Progress goes to an optional progress_fn.
#pragma once

#include <cstdint>

#include "app/console.h"
#include "report/report_channel.h"

constexpr std::uint8_t REPORT_CMD_INFO = 0;
constexpr std::uint8_t REPORT_CMD_PREPARE = 1;
constexpr std::uint8_t REPORT_CMD_DATA = 2;
constexpr std::uint8_t REPORT_CMD_FLASH_STATUS = 3;
constexpr std::uint8_t REPORT_CMD_RESET = 4;
constexpr std::uint8_t REPORT_CMD_READ_INFO = 5;

constexpr std::uint32_t REPORT_INFO_MAGIC = 0x5A3C96E1u;

// The callers' text buffers.
constexpr std::size_t REPORT_TEXT_SIZE = 256;         // information and status texts
constexpr std::size_t REPORT_READ_INFO_SIZE = 65536;  // diagnostic text

constexpr std::uint32_t REPORT_POLL_INTERVAL_MS = 100;
// A healthy controller is ready, and has written its flash, within seconds;
// one that keeps saying "not yet" for five minutes is not going to finish.
constexpr std::uint32_t REPORT_PREPARE_MAX_POLLS = 3000;
constexpr std::uint32_t REPORT_FLASH_STATUS_MAX_POLLS = 3000;
// A diagnostic text fits in 65536 bytes; a device that keeps sending
// fragments past that many replies is not getting anywhere.
constexpr std::uint32_t REPORT_READ_INFO_MAX_REPLIES = 65536;

// 0; -1 when the exchange fails; -2 when the device answered with the magic
// and a status other than 0 (stored in *status; the text stays empty).
// text holds REPORT_TEXT_SIZE bytes.
int report_get_info(report_channel* channel, int* status, char* text);
// Waits until the device says it is ready for an image.
int report_prepare(report_channel* channel);
int report_send_image(report_channel* channel, const std::uint8_t* image, std::int32_t size,
                      progress_fn progress);
// Waits until the device has written the image. 0 with its result code and
// status text (REPORT_TEXT_SIZE bytes), whatever the code; -1 on failure.
int report_flash_status(report_channel* channel, std::int32_t size, int* result_code, char* text,
                        progress_fn progress);
// Prepare, then the reset command; no reply is read.
int report_reset(report_channel* channel);
// The diagnostic text into text (REPORT_READ_INFO_SIZE bytes), terminated.
int report_read_info(report_channel* channel, char* text);
// Prepare, image, flash status.
int report_upgrade(report_channel* channel, const std::uint8_t* image, std::int32_t size,
                   char* text, int* result_code, progress_fn progress);
