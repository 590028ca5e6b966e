#include "app/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int dfu_failure_reported = 0;

namespace {

int dfu_dots = 0;
int report_dots = 0;
const char* pending_log_prefix = "LOG:";

void dots_up_to(int* counter, std::intptr_t percent)
{
    while (*counter < percent) {
        std::fputs(".", stdout);
        *counter += 10;
    }
}

}  // namespace

int dfu_progress_printer(dfu_handle* handle, int event, std::intptr_t arg)
{
    switch (event) {
    case DFU_EVENT_PROGRESS:
        dots_up_to(&dfu_dots, arg);
        break;
    case DFU_EVENT_DOWNLOAD_BEGIN:
        std::fputs("Transfer image: ", stdout);
        dfu_dots = 0;
        break;
    case DFU_EVENT_MANIFEST_BEGIN:
        std::fputs("\nFlashing: ", stdout);
        break;
    case DFU_EVENT_MANIFEST_POLL:
        std::fputs(".", stdout);
        break;
    case DFU_EVENT_DOWNLOAD_END:
        if (arg != 0) {
            std::fputs("\n", stdout);
        } else if (const char* message = dfu_take_message(handle)) {
            std::printf("%s", message);
        }
        if (arg <= 0)
            dfu_failure_reported = 1;
        break;
    case DFU_EVENT_UPLOAD_END:
        if (arg == 1)
            std::printf("\nImage Info:\n%s\n", dfu_info_text(handle));
        else if (arg == 2)
            std::printf("\nFlash status: %s\n", dfu_info_text(handle));
        else
            std::fputs("\nFlash status: No status available\n\n", stdout);
        break;
    case DFU_EVENT_DETACH_BEGIN:
        std::printf("Detaching %s device\n", reinterpret_cast<const char*>(arg));
        break;
    case DFU_EVENT_DETACH_END:
        if (arg <= 0)
            dfu_failure_reported = 1;
        return 0;  // prints nothing, so nothing to flush
    default:
        return 0;
    }
    std::fflush(stdout);
    return 0;
}

int report_progress_printer(int event, int arg)
{
    switch (event) {
    case REPORT_EVENT_TRANSFER_BEGIN:
        std::fputs("Transfer image: ", stdout);
        break;
    case REPORT_EVENT_TRANSFER_PROGRESS:
        dots_up_to(&report_dots, arg);
        break;
    case REPORT_EVENT_TRANSFER_END:
    case REPORT_EVENT_FLASH_END:
        std::fputs("\n", stdout);
        break;
    case REPORT_EVENT_FLASH_BEGIN:
        std::fputs("Flashing: ", stdout);
        break;
    case REPORT_EVENT_FLASH_BUSY:
        std::fputs(".", stdout);
        break;
    default:
        break;
    }
    std::fflush(stdout);
    return 0;
}

int console_log(const char* format, ...)
{
    std::fputs(pending_log_prefix, stdout);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    const std::size_t n = std::strlen(format);
    pending_log_prefix = (n > 0 && format[n - 1] == '\n') ? "LOG:" : "";
    std::fflush(stdout);
    return 0;
}

int console_error(const char* format, ...)
{
    std::fputs("ERROR:", stdout);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    return 0;
}
