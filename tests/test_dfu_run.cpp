// Whole runs of flash-tool-sim through the DFU driver: transcripts, the
// failure table, the sleeps on the virtual clock, and what the controller
// holds afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support.h"
#include "usb/wire.h"

namespace {

const std::string VIA_DFU = "flash-tool using USB DFU interface\n\n";
const std::string RESTARTING = "Restarting System...\n";
const std::string RUNTIME_ID = "3f1c:0150 v0213";
const std::string DFU_ID = "3f1c:0004 v0100";
const std::string BRIDGE_ID = "3f1c:800e v0101";
const std::string FLASH_BEGINS = "Flash process begins. Please do not power off or unplug your machine.\n";
const std::string DETACH_RUNTIME = "Detaching run-time device\n";
const std::string DETACH_DFU = "Detaching DFU device\n";
const std::string UPGRADE_FAILED = "\nERROR: Could not upgrade device.\n";
const std::string INFO_FAILED = "\nERROR: Could not get read info from device.\n";
const std::string NOT_UPGRADE_MODE = "\nERROR: Device is not in upgrade mode.\n";

std::string wait_ok(const std::string& id, int dots = 0)
{
    std::string s = "Waiting for Ovandrel device to appear.";
    s.append(static_cast<std::size_t>(dots), '.');
    return s + " [OK - " + id + "]\n";
}

std::string wait_fail()
{
    std::string s = "Waiting for Ovandrel device to appear.";
    s.append(601, '.');
    return s + " [FAIL]\n";
}

// Download, manifestation ending in dfuIDLE or dfuERROR (a line end either way).
std::string transfer(int polls = 5)
{
    std::string s = "Transfer image: ..........\nFlashing: ";
    s.append(static_cast<std::size_t>(polls), '.');
    return s + "\n";
}

std::string flash_status(const std::string& text) { return std::string("\nFlash status: ") + text + "\n"; }
std::string image_info(const std::string& text) { return std::string("\nImage Info:\n") + text + "\n"; }

std::vector<unsigned char> builtin() { return read_file(BUILTIN_IMAGE_FILE); }
const std::vector<unsigned char> FACTORY(4096, 0xA5);

std::uint32_t carried_crc(const std::vector<unsigned char>& f)
{
    return sim_dfu_crc(f.data(), f.size() < 4 ? f.size() : f.size() - 4);
}

// The controller's own texts.
std::string flashed_text(const std::vector<unsigned char>& image)
{
    char t[128];
    std::snprintf(t, sizeof t, "Flash OK: %zu bytes written, CRC %08x verified.", image.size(), carried_crc(image));
    return t;
}
std::string rejected_text(int status)
{
    return std::string("Flash FAILED (status ") + std::to_string(status) +
           "): image rejected, firmware of 4096 bytes kept.";
}
std::string info_text()
{
    char t[256];
    std::snprintf(t, sizeof t,
                  "Ovandrel Touch Controller\nSerial number: OV2C7F0012\nBootloader: DFU 1.1, 4096-byte transfers\n"
                  "Firmware: 4096 bytes, CRC %08x",
                  carried_crc(FACTORY));
    return t;
}

bool holds(const sim_run& r, const std::vector<unsigned char>& image)
{
    return r.dump.at("firmware_hash") == hash_hex(image) &&
           r.dump.at("firmware_size") == std::to_string(image.size());
}

std::string sleeps(std::initializer_list<std::pair<unsigned, int>> runs)
{
    std::string s;
    for (auto [ms, count] : runs)
        for (int i = 0; i < count; ++i) {
            if (!s.empty())
                s += ',';
            s += std::to_string(ms);
        }
    return s;
}

// After every run: nothing left open, and a success banner only when the
// controller holds exactly the image sent (or, without image, the firmware
// it had).
void check_controller(const sim_run& r, const std::vector<unsigned char>& expected_on_success)
{
    EXPECT_EQ(r.dump.at("open_objects"), "0");
    const bool success = r.out.find(SUCCESS_BANNER) != std::string::npos;
    EXPECT_EQ(success, r.status == 0);
    if (success) {
        EXPECT_TRUE(holds(r, expected_on_success));
    }
}

sim_run run(std::vector<std::string> args, const std::vector<unsigned char>& expected_on_success)
{
    args.insert(args.begin(), "-n");
    sim_run r = run_sim(args);
    check_controller(r, expected_on_success);
    return r;
}

}  // namespace

TEST(DfuRun, TypicalUpgradeWithoutOptions)
{
    const auto image = builtin();
    const sim_run r = run({}, image);
    EXPECT_EQ(r.out, BANNER + BUILTIN_HEADING + VIA_DFU + wait_ok(RUNTIME_ID) + DETACH_RUNTIME + wait_ok(DFU_ID) +
                         FLASH_BEGINS + transfer() + flash_status(flashed_text(image)) + DETACH_DFU +
                         wait_ok(RUNTIME_ID) + "\n" + SUCCESS_BANNER);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r, image));
    EXPECT_EQ(r.dump.at("mode"), "runtime");
    EXPECT_EQ(r.dump.at("attached"), "1");
    // 500 ms after each detach, 100 ms before each manifestation poll.
    EXPECT_EQ(r.dump.at("sleeps"), sleeps({{500, 1}, {100, 5}, {500, 1}}));
    EXPECT_EQ(r.dump.at("dfu_dnload_requests"), "211");
}

TEST(DfuRun, SuccessfulRunsOfEachMode)
{
    const auto image = builtin();
    struct row {
        const char* what;
        std::vector<std::string> args;
        std::string out;
        std::string sleeps;
        const std::vector<unsigned char>* firmware;
        const char* mode;
    } rows[] = {
        {"already in DFU mode",
         {"--sim-fault=start-dfu"},
         BANNER + BUILTIN_HEADING + VIA_DFU + wait_ok(DFU_ID) + FLASH_BEGINS + transfer() +
             flash_status(flashed_text(image)) + DETACH_DFU + wait_ok(RUNTIME_ID) + "\n" + SUCCESS_BANNER,
         sleeps({{100, 5}, {500, 1}}), &image, "runtime"},
        {"skip reset",
         {"-s"},
         BANNER + BUILTIN_HEADING + VIA_DFU + wait_ok(RUNTIME_ID) + DETACH_RUNTIME + wait_ok(DFU_ID) +
             FLASH_BEGINS + transfer() + flash_status(flashed_text(image)) + wait_ok(DFU_ID) + "\n" +
             SUCCESS_BANNER,
         sleeps({{500, 1}, {100, 5}}), &image, "dfu"},
        {"read info",
         {"-r"},
         BANNER + INFO_HEADING + VIA_DFU + wait_ok(RUNTIME_ID) + DETACH_RUNTIME + wait_ok(DFU_ID) +
             image_info(info_text()) + DETACH_DFU + wait_ok(RUNTIME_ID) + "\n" + SUCCESS_BANNER,
         sleeps({{500, 2}}), &FACTORY, "runtime"},
        {"restart",
         {"-R"},
         BANNER + VIA_DFU + RESTARTING + wait_ok(RUNTIME_ID) + DETACH_RUNTIME + wait_ok(DFU_ID) +
             image_info(info_text()) + DETACH_DFU + wait_ok(RUNTIME_ID) + "\n" + SUCCESS_BANNER,
         sleeps({{500, 2}}), &FACTORY, "runtime"},
        // Three attempts to reappear: two dots (a failed probe lists the names twice).
        {"slow to come back",
         {"--sim-fault=back-after-probes=5"},
         BANNER + BUILTIN_HEADING + VIA_DFU + wait_ok(RUNTIME_ID) + DETACH_RUNTIME + wait_ok(DFU_ID, 2) +
             FLASH_BEGINS + transfer() + flash_status(flashed_text(image)) + DETACH_DFU +
             wait_ok(RUNTIME_ID, 2) + "\n" + SUCCESS_BANNER,
         sleeps({{500, 1}, {100, 2}, {100, 5}, {500, 1}, {100, 2}}), &image, "runtime"},
        {"bridge",
         {"--sim-controller=bridge"},
         BANNER + BUILTIN_HEADING + VIA_DFU + wait_ok(BRIDGE_ID) + DETACH_RUNTIME + wait_ok(DFU_ID) +
             FLASH_BEGINS + transfer() + flash_status(flashed_text(image)) + DETACH_DFU + wait_ok(BRIDGE_ID) +
             "\n" + SUCCESS_BANNER,
         sleeps({{500, 1}, {100, 5}, {500, 1}}), &image, "runtime"},
        // A device that resets at once and answers ERROR_GEN_FAILURE.
        {"detach answered with a stall",
         {"--sim-fault=detach-reset", "--sim-fault=manifest-polls=2"},
         BANNER + BUILTIN_HEADING + VIA_DFU + wait_ok(RUNTIME_ID) + DETACH_RUNTIME + wait_ok(DFU_ID) +
             FLASH_BEGINS + transfer(2) + flash_status(flashed_text(image)) + DETACH_DFU + wait_ok(RUNTIME_ID) +
             "\n" + SUCCESS_BANNER,
         sleeps({{500, 1}, {100, 2}, {500, 1}}), &image, "runtime"},
        // Left mid-download by an earlier run: recovered and upgraded.
        {"found in dfuDNLOAD-IDLE",
         {"--sim-fault=start-dfu,start-state=dnload-idle"},
         BANNER + BUILTIN_HEADING + VIA_DFU + wait_ok(DFU_ID) + FLASH_BEGINS + transfer() +
             flash_status(flashed_text(image)) + DETACH_DFU + wait_ok(RUNTIME_ID) + "\n" + SUCCESS_BANNER,
         sleeps({{100, 5}, {500, 1}}), &image, "runtime"},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.what);
        const sim_run r = run(row.args, *row.firmware);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(holds(r, *row.firmware));
        EXPECT_EQ(r.dump.at("sleeps"), row.sleeps);
        EXPECT_EQ(r.dump.at("mode"), row.mode);
    }
}

TEST(DfuRun, FailureTable)
{
    const auto image = builtin();
    const std::string start = BANNER + BUILTIN_HEADING + VIA_DFU + wait_ok(RUNTIME_ID);
    const std::string to_dfu = start + DETACH_RUNTIME + wait_ok(DFU_ID) + FLASH_BEGINS;
    const std::string back = DETACH_DFU + wait_ok(RUNTIME_ID);
    const std::string end = std::string("\n") + FAILURE_BANNER;
    struct row {
        const char* what;
        std::vector<std::string> args;
        std::string out;
        std::string err;
        std::string merged_tail;  // how the streams interleave at the end
        const std::vector<unsigned char>* firmware;
    } rows[] = {
        {"never back", {"--sim-fault=never-back"}, start + DETACH_RUNTIME + wait_fail() + end, UPGRADE_FAILED,
         " [FAIL]\n" + UPGRADE_FAILED + end, &FACTORY},
        {"run-time detach fails", {"--sim-fault=detach-fail"}, start + DETACH_RUNTIME + end, UPGRADE_FAILED,
         DETACH_RUNTIME + UPGRADE_FAILED + end, &FACTORY},
        {"back in run-time mode", {"--sim-fault=back-in-runtime"},
         start + DETACH_RUNTIME + wait_ok(RUNTIME_ID) + end, NOT_UPGRADE_MODE + UPGRADE_FAILED,
         wait_ok(RUNTIME_ID) + NOT_UPGRADE_MODE + UPGRADE_FAILED + end, &FACTORY},
        // Printed once, by the printer; the restart detach and the wait still run.
        {"communication error in the download", {"--sim-fault=dnload-fail@5"},
         to_dfu + "Transfer image: .\n[ERROR: Communication error (4)]\n" + back + end, UPGRADE_FAILED,
         back + UPGRADE_FAILED + end, &FACTORY},
        {"communication error in the recovery", {"--sim-fault=getstatus-fail"},
         to_dfu + "\n[ERROR: Communication error (1)]\n\n" + back + end, UPGRADE_FAILED,
         back + UPGRADE_FAILED + end, &FACTORY},
        {"block taken as 0 bytes", {"--sim-fault=dnload-zero@2"},
         to_dfu + "Transfer image: \n[ERROR: Communication error (4)]\n" + back + end, UPGRADE_FAILED,
         back + UPGRADE_FAILED + end, &FACTORY},
        {"status fails while manifesting", {"--sim-fault=manifest-status-fail@3"},
         to_dfu + "Transfer image: ..........\nFlashing: ..\n[ERROR: Communication error (5)]\n" + back + end,
         UPGRADE_FAILED, back + UPGRADE_FAILED + end, &FACTORY},
        {"manifestation ends in dfuERROR", {"--sim-fault=manifest-error=3"},
         to_dfu + transfer() + flash_status(rejected_text(3)) + "ERROR Write\n" + back + end, UPGRADE_FAILED,
         back + UPGRADE_FAILED + end, &FACTORY},
        // Status 0 in dfuERROR: the transfer says 0, the printer's flag fails the run.
        {"dfuERROR with status 0", {"--sim-fault=manifest-error=0"},
         to_dfu + transfer() + flash_status(rejected_text(0)) + back + end, "", back + end, &FACTORY},
        {"restart detach fails", {"--sim-fault=detach-fail@2"},
         to_dfu + transfer() + flash_status(flashed_text(image)) + DETACH_DFU + end, UPGRADE_FAILED,
         DETACH_DFU + UPGRADE_FAILED + end, &image},
        {"read info, never back", {"-r", "--sim-fault=never-back"},
         BANNER + INFO_HEADING + VIA_DFU + wait_ok(RUNTIME_ID) + DETACH_RUNTIME + wait_fail() + end, INFO_FAILED,
         " [FAIL]\n" + INFO_FAILED + end, &FACTORY},
        {"restart, detach fails", {"-R", "--sim-fault=detach-fail"},
         BANNER + VIA_DFU + RESTARTING + wait_ok(RUNTIME_ID) + DETACH_RUNTIME + end, INFO_FAILED,
         DETACH_RUNTIME + INFO_FAILED + end, &FACTORY},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.what);
        const sim_run r = run(row.args, image);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(holds(r, *row.firmware));
        ASSERT_GE(r.merged.size(), row.merged_tail.size());
        EXPECT_EQ(r.merged.substr(r.merged.size() - row.merged_tail.size()), row.merged_tail);
    }
}

TEST(DfuRun, CommunicationErrorIsPrintedOnce)
{
    const sim_run r = run({"--sim-fault=dnload-stall@100"}, builtin());
    const std::string message = "[ERROR: Communication error (4)]";
    const auto first = r.out.find(message);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(r.out.find(message, first + 1), std::string::npos);
    EXPECT_EQ(r.status, 1);
}

TEST(DfuRun, ImageWithABadSuffixIsRefusedByTheController)
{
    std::vector<unsigned char> not_dfu(10000, 0x5A);
    const std::string path = temp_path("not-dfu.bin");
    write_file(path, not_dfu);
    const sim_run r = run({"-i", path}, not_dfu);
    std::remove(path.c_str());
    EXPECT_NE(r.out.find(flash_status(rejected_text(7)) + "ERROR Verify\n" + DETACH_DFU), std::string::npos);
    EXPECT_EQ(r.err, UPGRADE_FAILED);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(holds(r, FACTORY));
}

TEST(DfuRun, NeverBackWaitsSixHundredAndOneProbes)
{
    const sim_run r = run({"--sim-fault=never-back"}, builtin());
    EXPECT_EQ(r.dump.at("sleeps"), sleeps({{500, 1}, {100, 601}}));
    EXPECT_EQ(r.dump.at("attached"), "0");
}
