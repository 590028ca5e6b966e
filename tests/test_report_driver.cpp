// flash-tool-sim with a controller that speaks the report protocol, as a
// whole process: the transcripts on both streams and in their merged order,
// the exit status, and what the controller holds afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "report/report_commands.h"
#include "sim/report_sim.h"
#include "support.h"

namespace {

const std::string HID_LINE = "flash-tool using USB HID interface\n\n";
const std::string RESTARTING_SYSTEM = "Restarting System...\n";
const std::string BEGINS = "Flash process begins. Please do not power off or unplug your machine.\n";
const std::string TRANSFER = "Transfer image: ..........\n";
const std::string FLASH_OK = "\nFlash OK!\n";
const std::string RESTARTING = "\nRestarting Device!\n";
const std::string WAITING = "Waiting for Ovandrel device to appear.";
const std::string BACK = " [OK - 3f1c:0150]\n";
const std::string COMMUNICATION = "ERROR: Communication error\n";
const std::string UPGRADE_FAILED = "ERROR: Could not upgrade device.\n";
const std::string READ_FAILED = "ERROR: Could not get read info from device.\n";
const std::string OPEN_FAILED = "ERROR: Could not open USB device 3F1C:0150\n";

std::string device_info() { return "Device info: [00] " + std::string(SIM_REPORT_INFO_TEXT) + "\n\n"; }
std::string flashing(std::size_t dots) { return "Flashing: " + std::string(dots, '.') + "\n"; }
std::string flash_status(int code)
{
    return "\nFlash status: " + std::string(sim_report_status_text(code)) + ", " + std::to_string(code) + "\n";
}

// A transcript as written: pieces on standard output ('o') and standard
// error ('e'), in order.
using transcript = std::vector<std::pair<char, std::string>>;

std::string stream_of(const transcript& t, char which)
{
    std::string s;
    for (const auto& [stream, text] : t)
        if (which == 0 || stream == which)
            s += text;
    return s;
}

void expect_transcript(const sim_run& r, const transcript& t)
{
    EXPECT_EQ(r.out, stream_of(t, 'o'));
    EXPECT_EQ(r.err, stream_of(t, 'e'));
    EXPECT_EQ(r.merged, stream_of(t, 0));
}

const std::vector<unsigned char>& image()
{
    static const std::vector<unsigned char> bytes = read_file(BUILTIN_IMAGE_FILE);
    return bytes;
}

const std::vector<unsigned char>& factory_firmware()
{
    static const std::vector<unsigned char> bytes(4096, 0xA5);
    return bytes;
}

void expect_firmware(const sim_run& r, const std::vector<unsigned char>& bytes)
{
    ASSERT_TRUE(r.dump.count("firmware_size")) << "no dump";
    EXPECT_EQ(r.dump.at("firmware_size"), std::to_string(bytes.size()));
    EXPECT_EQ(r.dump.at("firmware_crc"), crc_hex(bytes));
    if (r.dump.count("firmware_hash")) {
        EXPECT_EQ(r.dump.at("firmware_hash"), hash_hex(bytes));
    }
}

sim_run run_report(std::vector<std::string> args, const std::string& faults = "")
{
    args.insert(args.begin(), "--sim-controller=report");
    if (!faults.empty())
        args.push_back("--sim-fault=" + faults);
    return run_sim(args);
}

}  // namespace

TEST(ReportDriver, UpgradeWithRestart)
{
    const sim_run r = run_report({"-n"});
    expect_transcript(r, {{'o', BANNER + BUILTIN_HEADING + HID_LINE + device_info() + BEGINS + TRANSFER +
                                    flashing(SIM_REPORT_BUSY_POLLS) + FLASH_OK + RESTARTING + WAITING + BACK +
                                    "\n" + SUCCESS_BANNER}});
    EXPECT_EQ(r.status, 0);
    expect_firmware(r, image());
    EXPECT_EQ(r.dump.at("report_data_requests"), "3459");
    EXPECT_EQ(r.dump.at("report_reset_requests"), "1");
    EXPECT_EQ(r.dump.at("attached"), "1");
    EXPECT_EQ(r.dump.at("open_objects"), "0");
}

TEST(ReportDriver, UpgradeWithoutRestartEndsAfterFlashOk)
{
    const sim_run r = run_report({"-n", "-s"});
    expect_transcript(r, {{'o', BANNER + BUILTIN_HEADING + HID_LINE + device_info() + BEGINS + TRANSFER +
                                    flashing(SIM_REPORT_BUSY_POLLS) + FLASH_OK + "\n" + SUCCESS_BANNER}});
    EXPECT_EQ(r.status, 0);
    expect_firmware(r, image());
    EXPECT_EQ(r.dump.at("report_reset_requests"), "0");
    EXPECT_EQ(r.dump.at("report_prepare_requests"), "1");
}

TEST(ReportDriver, UpgradeFromAFileWithAPositiveResultCodeIsASuccess)
{
    std::vector<unsigned char> file(5000);
    for (std::size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<unsigned char>(i * 13);
    const std::string path = temp_path("image.bin");
    write_file(path, file);
    const sim_run r = run_report({"-n", "-i", path}, "flash-result=3,busy-polls=2");
    expect_transcript(r, {{'o', std::string(BANNER) + "Upgrade Mode Override\n=====================\n\n" + "Read file: <" +
                                    path + ">... [5000 bytes].\n" + HID_LINE + device_info() + BEGINS +
                                    TRANSFER + flashing(2) + flash_status(3) + RESTARTING + WAITING + BACK +
                                    "\n" + SUCCESS_BANNER}});
    EXPECT_EQ(r.status, 0);
    expect_firmware(r, file);
    std::remove(path.c_str());
}

TEST(ReportDriver, ANegativeResultCodeStillRestartsThenFails)
{
    const sim_run r = run_report({"-n"}, "flash-result=-2");
    expect_transcript(r, {{'o', BANNER + BUILTIN_HEADING + HID_LINE + device_info() + BEGINS + TRANSFER +
                                    flashing(SIM_REPORT_BUSY_POLLS) + flash_status(-2) + RESTARTING + WAITING +
                                    BACK},
                          {'e', UPGRADE_FAILED},
                          {'o', "\n" + std::string(FAILURE_BANNER)}});
    EXPECT_EQ(r.status, 1);
    expect_firmware(r, factory_firmware());
    EXPECT_EQ(r.dump.at("report_reset_requests"), "1");
}

TEST(ReportDriver, ReadInfoPrintsTheDiagnosticText)
{
    const sim_run r = run_report({"-n", "-r"});
    expect_transcript(r, {{'o', BANNER + INFO_HEADING + HID_LINE + device_info() +
                                    sim_report_diagnostic_text(SIM_REPORT_DIAG_SIZE) + "\n" + SUCCESS_BANNER}});
    EXPECT_EQ(r.status, 0);
    expect_firmware(r, factory_firmware());
    EXPECT_EQ(r.dump.at("report_prepare_requests"), "0") << "reading changes nothing";
}

TEST(ReportDriver, ResetRestartsTheDeviceWithoutWaiting)
{
    const sim_run r = run_report({"-n", "-R", "-s", "-r"});
    expect_transcript(r, {{'o', BANNER + HID_LINE + RESTARTING_SYSTEM + "\n" + SUCCESS_BANNER}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.dump.at("report_prepare_requests"), "1");
    EXPECT_EQ(r.dump.at("report_reset_requests"), "1");
    EXPECT_EQ(r.dump.at("attached"), "0") << "still off the bus: nobody waits for it";
    expect_firmware(r, factory_firmware());
}

TEST(ReportDriver, ADeviceThatComesBackLaterShowsADotPerFailedProbe)
{
    // Every failed probe lists the names twice (with and without the
    // interface test): back at the fifth listing is back at the third probe.
    const sim_run r = run_report({"-n"}, "back-after-probes=5");
    expect_transcript(r, {{'o', BANNER + BUILTIN_HEADING + HID_LINE + device_info() + BEGINS + TRANSFER +
                                    flashing(SIM_REPORT_BUSY_POLLS) + FLASH_OK + RESTARTING + WAITING + ".." +
                                    BACK + "\n" + SUCCESS_BANNER}});
    EXPECT_EQ(r.status, 0);
    expect_firmware(r, image());
}

TEST(ReportDriver, ADeviceThatNeverComesBackFailsAfter601Probes)
{
    const sim_run r = run_report({"-n"}, "never-back");
    expect_transcript(r, {{'o', BANNER + BUILTIN_HEADING + HID_LINE + device_info() + BEGINS + TRANSFER +
                                    flashing(SIM_REPORT_BUSY_POLLS) + FLASH_OK + RESTARTING + WAITING +
                                    std::string(601, '.') + " [FAIL]\n"},
                          {'e', UPGRADE_FAILED},
                          {'o', "\n" + std::string(FAILURE_BANNER)}});
    EXPECT_EQ(r.status, 1);
    expect_firmware(r, image());  // it was written before the restart
}

TEST(ReportDriver, AFailingDataRequestEndsTheTransfer)
{
    const sim_run r = run_report({"-n"}, "request-fail=data@100");
    // 99 chunks went out, the last at 2 % of the image: one dot.
    expect_transcript(r, {{'o', BANNER + BUILTIN_HEADING + HID_LINE + device_info() + BEGINS +
                                    "Transfer image: .\n"},
                          {'e', COMMUNICATION + UPGRADE_FAILED},
                          {'o', "\n" + std::string(FAILURE_BANNER)}});
    EXPECT_EQ(r.status, 1);
    expect_firmware(r, factory_firmware());
}

// Each way the drivers fail, produced by a fault of the controller: the
// messages on both streams in order, the failure banner and status 1.
TEST(ReportDriver, EveryFailureEndsInTheFailureBanner)
{
    const std::string upgrade_start = BANNER + BUILTIN_HEADING + HID_LINE;
    const std::string read_start = BANNER + INFO_HEADING + HID_LINE;
    const std::string reset_start = BANNER + HID_LINE + RESTARTING_SYSTEM;
    const std::string flashed = device_info() + BEGINS + TRANSFER + flashing(SIM_REPORT_BUSY_POLLS) + FLASH_OK;
    const std::string closing = "\n" + std::string(FAILURE_BANNER);
    struct {
        const char* what;
        std::vector<std::string> args;
        std::string faults;
        transcript expected;
        bool flashed;  // the controller holds the image afterwards
    } cases[] = {
        {"channel cannot be opened", {"-n"}, "hid-list-fail@2",
         {{'o', upgrade_start}, {'e', OPEN_FAILED + UPGRADE_FAILED}, {'o', closing}}, false},
        {"channel cannot be opened, reading", {"-n", "-r"}, "hid-list-fail@2",
         {{'o', read_start}, {'e', OPEN_FAILED + READ_FAILED}, {'o', closing}}, false},
        {"info command fails", {"-n"}, "reply-fail=info@2",
         {{'o', upgrade_start}, {'e', COMMUNICATION + UPGRADE_FAILED}, {'o', closing}}, false},
        {"info status not 0", {"-n", "-r"}, "info-status=5@2",
         {{'o', read_start}, {'e', COMMUNICATION + READ_FAILED}, {'o', closing}}, false},
        {"reading diagnostics fails", {"-n", "-r"}, "reply-fail=read-info@3",
         {{'o', read_start + device_info()}, {'e', COMMUNICATION + READ_FAILED}, {'o', closing}}, false},
        {"diagnostics past the buffer", {"-n", "-r"}, "diag-size=70000",
         {{'o', read_start + device_info()}, {'e', COMMUNICATION + READ_FAILED}, {'o', closing}}, false},
        {"never ready", {"-n"}, "never-ready",
         {{'o', upgrade_start + device_info() + BEGINS}, {'e', COMMUNICATION + UPGRADE_FAILED}, {'o', closing}},
         false},
        {"chunk count wrong", {"-n"}, "wrong-count",
         {{'o', upgrade_start + device_info() + BEGINS + TRANSFER},
          {'e', COMMUNICATION + UPGRADE_FAILED},
          {'o', closing}},
         false},
        {"always busy", {"-n"}, "always-busy",
         {{'o', upgrade_start + device_info() + BEGINS + TRANSFER + flashing(REPORT_FLASH_STATUS_MAX_POLLS)},
          {'e', COMMUNICATION + UPGRADE_FAILED},
          {'o', closing}},
         false},
        // The controller finished and kept the image; its answer did not arrive.
        {"flash status claims too long a reply", {"-n"}, "long-length=flash-status@6",
         {{'o', upgrade_start + device_info() + BEGINS + TRANSFER + flashing(SIM_REPORT_BUSY_POLLS)},
          {'e', COMMUNICATION + UPGRADE_FAILED},
          {'o', closing}},
         true},
        {"reset fails after an upgrade", {"-n"}, "request-fail=reset",
         {{'o', upgrade_start + flashed + RESTARTING}, {'e', COMMUNICATION + UPGRADE_FAILED}, {'o', closing}},
         true},
        {"reset's prepare fails after an upgrade", {"-n"}, "reply-stall=prepare@4",
         {{'o', upgrade_start + flashed + RESTARTING}, {'e', COMMUNICATION + UPGRADE_FAILED}, {'o', closing}},
         true},
        {"reset: open fails", {"-n", "-R"}, "hid-list-fail@2",
         {{'o', reset_start}, {'e', OPEN_FAILED}, {'o', closing}}, false},
        {"reset: reset fails", {"-n", "-R"}, "request-stall=reset",
         {{'o', reset_start}, {'e', COMMUNICATION}, {'o', closing}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const sim_run r = run_report(c.args, c.faults);
        expect_transcript(r, c.expected);
        EXPECT_EQ(r.status, 1);
        expect_firmware(r, c.flashed ? image() : factory_firmware());
        EXPECT_EQ(r.dump.at("open_objects"), "0");
    }
}

TEST(ReportDriver, AControllerThatAnswersInfoWithAnotherStatusIsDrivenWithDfu)
{
    const sim_run r = run_report({"-n"}, "info-status=5@1-");
    EXPECT_EQ(r.out.find(HID_LINE), std::string::npos);
    EXPECT_NE(r.out.find(BUILTIN_HEADING + "flash-tool using USB DFU interface\n\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.dump.at("report_info_requests"), "1") << "only the probe";
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    expect_firmware(r, image());
}

TEST(ReportDriver, TheBridgeIsDrivenWithDfu)
{
    const sim_run r = run_sim({"--sim-controller=bridge", "-f", "-n"});
    EXPECT_NE(r.out.find(BUILTIN_HEADING +
                         "Talking to a bridge, will ignore option --enable_tqp\n"
                         "flash-tool using USB DFU interface\n\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.dump.at("report_info_requests"), "0") << "the report protocol is not tried";
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    expect_firmware(r, image());
}
