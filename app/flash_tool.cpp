#include "app/flash_tool.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/console.h"
#include "app/image.h"
#include "dfu/dfu_upgrade.h"
#include "platform/platform.h"
#include "report/report_driver.h"
#include "tqp/tqp_branch.h"
#include "usb/usb_device_win.h"

namespace {

constexpr std::uint32_t CONSOLE_QUICK_EDIT = 0x40;
// Windows ignores a change of the quick-edit bit unless this flag is part of
// the same SetConsoleMode call.
constexpr std::uint32_t CONSOLE_EXTENDED_FLAGS = 0x80;

enum run_mode { MODE_RESET, MODE_GET_INFO, MODE_FILE_UPGRADE, MODE_BUILTIN_UPGRADE };

struct run_options {
    const char* image_path = nullptr;
    bool read_info = false;
    bool force_dfu = false;
    bool enable_tqp = false;
    bool reset = false;
    bool reset_after_upgrade = true;
    bool non_interactive = false;
    const char* serial_number = nullptr;
};

void wait_for_key()
{
    std::puts("Press any key to continue...");
    std::fflush(stdout);
    (void)std::getchar();
}

int print_failure_banner(bool non_interactive)
{
    std::puts("*********************************************************");
    std::puts("* Operations failed! Please retry or call tech support. *");
    std::puts("*********************************************************\n");
    std::fflush(stdout);
    if (!non_interactive)
        wait_for_key();
    return 1;
}

int print_success_banner(bool non_interactive)
{
    std::puts("*************************");
    std::puts("* Operations succeeded! *");
    std::puts("*************************\n");
    std::fflush(stdout);
    if (!non_interactive)
        wait_for_key();
    return 0;
}

void print_usage(const char* program)
{
    std::printf("Bad arguments. Usage is %s [-r]\n", program);
    std::puts("Without options performs a firmware upgrade with the internal binary.");
    std::puts("");
    std::puts("  -i/--image <dfu_image>  Performs a firmware upgrade with the specified binary.");
    std::puts("  -r/--read_info          Reads diagnostic information from the device.");
    std::puts("  -d/--force_dfu          Force USB DFU mode.");
    std::puts("  -f/--enable_tqp         Enable use of USB TQP mode.");
    std::puts("  -R/--reset              Reset/Restart device.");
    std::puts("  -s/--skip_reset         Skip reset after upgrade.");
    std::puts("  -n/--non_interactive    Executes in non-interactive mode, i.e. does not");
    std::puts("                          require final user approval before application exit.");
    std::puts("  -S/--serial_number <serial>  Request device with serial number <serial>");
    std::puts("  -h/--help               Diplays this help text.");
    std::puts("");
}

void quick_edit_off()
{
    plat_handle console = plat_get_std_input_handle();
    std::uint32_t mode = 0;
    if (console == nullptr || console == PLAT_INVALID_HANDLE || !plat_get_console_mode(console, &mode))
        return;
    plat_set_console_mode(console, (mode & ~CONSOLE_QUICK_EDIT) | CONSOLE_EXTENDED_FLAGS);
}

void print_banner()
{
    std::puts("*************************************************");
    std::printf("* Ovandrel Flash-Tool [Build Info: %s] *\n", __DATE__);
    std::puts("*************************************************");
    std::puts("");
    std::fflush(stdout);  // ahead of any parser message on standard error
}

// 0: parsed; 1: the process ends with the given status.
int parse_options(int argc, char** argv, run_options* o, int* status)
{
    static const option long_options[] = {
        {"image", required_argument, nullptr, 'i'},
        {"read_info", no_argument, nullptr, 'r'},
        {"force_dfu", no_argument, nullptr, 'd'},
        {"enable_tqp", no_argument, nullptr, 'f'},
        {"reset", no_argument, nullptr, 'R'},
        {"skip_reset", no_argument, nullptr, 's'},
        {"non_interactive", no_argument, nullptr, 'n'},
        {"serial_number", required_argument, nullptr, 'S'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;  // a fresh scan, also when called more than once in a process
    opterr = 1;
    for (;;) {
        const int c = getopt_long(argc, argv, "i:rdfRsnS:h", long_options, nullptr);
        switch (c) {
        case -1:
            return 0;
        case 'i': o->image_path = optarg; break;
        case 'r': o->read_info = true; break;
        case 'd': o->force_dfu = true; break;
        case 'f': o->enable_tqp = true; break;
        case 'R': o->reset = true; break;
        case 's': o->reset_after_upgrade = false; break;
        case 'n': o->non_interactive = true; break;
        case 'S': o->serial_number = optarg; break;
        case 'h':
            print_usage(argv[0]);
            *status = print_success_banner(o->non_interactive);
            return 1;
        default:
            std::fflush(stderr);
            *status = print_failure_banner(o->non_interactive);
            return 1;
        }
    }
}

enum transport { TRANSPORT_DFU, TRANSPORT_REPORT };

}  // namespace

int flash_tool_main(int argc, char** argv)
{
    // Error lines must appear where they are written. The Windows C runtime
    // buffers stderr when it is a pipe or a file, which would move them to
    // the end of a captured log.
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    quick_edit_off();
    print_banner();

    run_options o;
    int status = 0;
    if (parse_options(argc, argv, &o, &status))
        return status;

    run_mode mode;
    const std::uint8_t* image = nullptr;
    std::uint8_t* file_image = nullptr;
    std::int32_t size = 0;
    if (o.reset) {
        mode = MODE_RESET;
    } else if (o.read_info) {
        mode = MODE_GET_INFO;
        std::puts("Get Info Mode");
        std::puts("=============\n");
    } else if (o.image_path) {
        mode = MODE_FILE_UPGRADE;
        std::puts("Upgrade Mode Override");
        std::puts("=====================\n");
        std::printf("Read file: <%s>...", o.image_path);
        file_image = load_image_file(o.image_path, &size);
        if (!file_image)
            return print_failure_banner(o.non_interactive);
        image = file_image;
    } else {
        mode = MODE_BUILTIN_UPGRADE;
        std::puts("Built-in Upgrade Mode");
        std::puts("=====================\n");
        std::printf("- Using built-in firmware image, %d bytes.\n\n", BUILTIN_IMAGE_SIZE);
        image = builtin_image;
        size = BUILTIN_IMAGE_SIZE;
    }
    std::fflush(stdout);

    int result = -1;
    const std::uint16_t product_id = usb_device_probe(o.serial_number);
    if (product_id == 0) {
        std::puts("No Ovandrel device detected\n");
    } else {
        transport t = TRANSPORT_REPORT;
        bool done = false;
        if (product_id == BRIDGE_PRODUCT_ID) {
            if (o.enable_tqp)
                std::puts("Talking to a bridge, will ignore option --enable_tqp");
            t = TRANSPORT_DFU;
        } else if (o.force_dfu ||
                   report_driver_probe(DEVICE_VENDOR_ID, product_id, o.serial_number) != 0) {
            t = TRANSPORT_DFU;
        } else if (o.enable_tqp) {
            std::string connection = "USB";
            if (o.serial_number)
                connection += std::string(":") + o.serial_number;
            const int branch = tqp_branch(connection.c_str(), "Ovandrel/Flashtool", image, size,
                                          o.reset, o.reset_after_upgrade, o.serial_number,
                                          console_log, console_error);
            if (branch != TQP_BRANCH_FALLBACK) {
                result = branch;
                done = true;
            }
        }
        if (!done && t == TRANSPORT_DFU) {
            std::puts("flash-tool using USB DFU interface\n");
            if (mode == MODE_RESET) {
                std::puts("Restarting System...");
                std::fflush(stdout);
                result = dfu_upgrade(o.serial_number, nullptr, 0, true);
            } else {
                std::fflush(stdout);
                result = dfu_upgrade(o.serial_number, image, size, o.reset_after_upgrade);
            }
        } else if (!done) {
            std::puts("flash-tool using USB HID interface\n");
            if (mode == MODE_RESET) {
                std::puts("Restarting System...");
                std::fflush(stdout);
                result = report_driver_reset(DEVICE_VENDOR_ID, product_id, o.serial_number);
            } else {
                std::fflush(stdout);
                result = report_driver_run(DEVICE_VENDOR_ID, product_id, o.serial_number, image,
                                           size, o.reset_after_upgrade);
            }
        }
    }

    std::free(file_image);
    return result >= 0 ? print_success_banner(o.non_interactive)
                       : print_failure_banner(o.non_interactive);
}
