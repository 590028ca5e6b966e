// The front end as a whole process: options, run modes, image loading,
// the probe's no-device outcome, banners, key wait and exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

const std::string FILE_HEADING = "Upgrade Mode Override\n=====================\n\n";
const std::string NO_DEVICE = "No Ovandrel device detected\n\n";

const std::string USAGE =
    "Bad arguments. Usage is " FLASH_TOOL_SIM " [-r]\n"
    "Without options performs a firmware upgrade with the internal binary.\n"
    "\n"
    "  -i/--image <dfu_image>  Performs a firmware upgrade with the specified binary.\n"
    "  -r/--read_info          Reads diagnostic information from the device.\n"
    "  -d/--force_dfu          Force USB DFU mode.\n"
    "  -f/--enable_tqp         Enable use of USB TQP mode.\n"
    "  -R/--reset              Reset/Restart device.\n"
    "  -s/--skip_reset         Skip reset after upgrade.\n"
    "  -n/--non_interactive    Executes in non-interactive mode, i.e. does not\n"
    "                          require final user approval before application exit.\n"
    "  -S/--serial_number <serial>  Request device with serial number <serial>\n"
    "  -h/--help               Diplays this help text.\n"
    "\n";

std::string failure(bool key_wait) { return std::string(FAILURE_BANNER) + (key_wait ? KEY_WAIT : ""); }
std::string success(bool key_wait) { return std::string(SUCCESS_BANNER) + (key_wait ? KEY_WAIT : ""); }

}  // namespace

TEST(Cli, OptionWordsChooseTheModeHeadingAndOutcome)
{
    struct {
        std::vector<std::string> args;
        std::string out;  // after the banner
        bool parser_message;
        int status;
    } cases[] = {
        {{}, BUILTIN_HEADING + NO_DEVICE + failure(true), false, 1},
        {{"-n"}, BUILTIN_HEADING + NO_DEVICE + failure(false), false, 1},
        {{"--non_interactive"}, BUILTIN_HEADING + NO_DEVICE + failure(false), false, 1},
        {{"-rn"}, INFO_HEADING + NO_DEVICE + failure(false), false, 1},
        // -r wins over -i, and the file is never opened.
        {{"-n", "-i", "/no/such/file", "-r"}, INFO_HEADING + NO_DEVICE + failure(false), false, 1},
        // -R wins over everything and prints no heading.
        {{"-R", "-i", "/no/such/file", "-r", "-s", "-n"}, NO_DEVICE + failure(false), false, 1},
        {{"--reset", "--non_interactive"}, NO_DEVICE + failure(false), false, 1},
        {{"-n", "-h"}, USAGE + success(false), false, 0},
        // -h ends parsing before -n is read, so the key wait happens.
        {{"-h", "-n"}, USAGE + success(true), false, 0},
        {{"--help"}, USAGE + success(true), false, 0},
        {{"-n", "-x"}, failure(false), true, 1},
        {{"-x", "-n"}, failure(true), true, 1},
        {{"-n", "-i"}, failure(false), true, 1},
        {{"-n", "--serial_number"}, failure(false), true, 1},
        {{"-n", "--re"}, failure(false), true, 1},  // fits --read_info and --reset
        {{"-n", "--skip"}, BUILTIN_HEADING + NO_DEVICE + failure(false), false, 1},
        {{"-n", "--read"}, INFO_HEADING + NO_DEVICE + failure(false), false, 1},
        {{"stray", "-n", "words", "-r"}, INFO_HEADING + NO_DEVICE + failure(false), false, 1},
        {{"-n", "-S", "NOSUCHSERIAL", "-d", "-f"}, BUILTIN_HEADING + NO_DEVICE + failure(false), false, 1},
    };
    for (auto& c : cases) {
        std::vector<std::string> args{"--sim-controller=none"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const sim_run r = run_sim(args);
        std::string words;
        for (auto& a : c.args)
            words += a + " ";
        EXPECT_EQ(r.out, BANNER + c.out) << words;
        EXPECT_EQ(r.status, c.status) << words;
        if (c.parser_message)
            EXPECT_NE(r.err, "") << words;
        else
            EXPECT_EQ(r.err, "") << words;
    }
}

TEST(Cli, KeyWaitReadsOneCharacter)
{
    const sim_run r = run_sim({"--sim-controller=none"}, "xyz\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, BANNER + BUILTIN_HEADING + NO_DEVICE + failure(true));
}

TEST(Cli, QuickEditIsSwitchedOffAndOtherModeBitsKept)
{
    const sim_run r = run_sim({"--sim-controller=none", "-n"});
    EXPECT_EQ(r.dump.at("console_mode"), "0x1b7");  // 0x1f7 without 0x40
}

TEST(Cli, ImageFileThatCannotBeLoaded)
{
    const std::string dir = temp_path("dir");
#ifdef _WIN32
    ASSERT_EQ(mkdir(dir.c_str()), 0);
    std::vector<std::string> paths{"/no/such/file", dir, "NUL"};
#else
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string fifo = temp_path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> paths{"/no/such/file", dir, fifo, "/dev/null"};
#endif
    // A file that is shorter when read than its status says: sysfs
    // attributes report a page but hold a few bytes.
    for (const char* p : {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/profiling",
                          "/sys/power/state"}) {
        struct stat st;
        if (stat(p, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 4096 && access(p, R_OK) == 0) {
            paths.push_back(p);
            break;
        }
    }
    for (const std::string& path : paths) {
        const sim_run r = run_sim({"-n", "-i", path});
        EXPECT_EQ(r.out, BANNER + FILE_HEADING + "Read file: <" + path + ">..." + failure(false)) << path;
        EXPECT_EQ(r.err, "\nERROR: Could not find file <" + path + ">.\n") << path;
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_EQ(r.dump.at("firmware_size"), "4096") << "no device may be touched";
    }
    rmdir(dir.c_str());
#ifndef _WIN32
    unlink(fifo.c_str());
#endif
}

TEST(Cli, ImageFileIsReadWhole)
{
    const std::string empty = temp_path("empty.dfu");
    write_file(empty, {});
    sim_run r = run_sim({"--sim-controller=none", "-n", "--image", empty});
    EXPECT_EQ(r.out, BANNER + FILE_HEADING + "Read file: <" + empty + ">... [0 bytes].\n" + NO_DEVICE + failure(false));
    EXPECT_EQ(r.status, 1);

    const std::string big = temp_path("big.dfu");
    write_file(big, std::vector<unsigned char>(100000, 0x5A));
    r = run_sim({"--sim-controller=none", "-n", "-i", big});
    EXPECT_EQ(r.out, BANNER + FILE_HEADING + "Read file: <" + big + ">... [100000 bytes].\n" + NO_DEVICE + failure(false));
    unlink(empty.c_str());
    unlink(big.c_str());
}

TEST(Cli, FileOfTwoGibibytesOrMoreIsRefused)
{
    // A sparse file: its size does not fit the image's signed 32-bit size.
    const std::string huge = temp_path("huge.dfu");
    {
        std::ofstream out(huge, std::ios::binary);
    }
#ifdef _WIN32
    // mingw's truncate takes a 32-bit length.
    std::error_code resized;
    std::filesystem::resize_file(huge, 0x80000000ULL, resized);
    ASSERT_FALSE(resized) << resized.message();
#else
    ASSERT_EQ(truncate(huge.c_str(), 0x80000000LL), 0);
#endif
    const sim_run r = run_sim({"--sim-controller=none", "-n", "-i", huge});
    EXPECT_EQ(r.err, "\nERROR: Could not find file <" + huge + ">.\n");
    EXPECT_EQ(r.status, 1);
    unlink(huge.c_str());
}

TEST(Cli, SimulatorRefusesUnknownOptionsOfItsOwn)
{
    EXPECT_EQ(run_sim({"--sim-controller=toaster", "-n"}).status, 2);
    EXPECT_EQ(run_sim({"--sim-fault=no-such-fault", "-n"}).status, 2);
    EXPECT_EQ(run_sim({"--sim-frobnicate", "-n"}).status, 2);
}
