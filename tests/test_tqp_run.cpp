// Whole runs of flash-tool-sim with -f against the simulated TQP controller:
// the console transcript, the exit status and what the controller holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

namespace {


std::string tc_information(const std::string& protocol = "0002.0001", const std::string& serial = "OV2C7F0012")
{
    return "flash-tool using USB TQP interface\n"
           "\n"
           "\n"
           "TC information:\n"
           "Protocol:   " + protocol + "\n"
           "SW version: 0104.0017\n"
           "Mfg id:     Ovandrel TC2150\n"
           "Serial nbr: " + serial + "\n";
}

const std::string SYSERROR_ZERO = "Syserror:   0x0000000000000000\n\n";
const std::string UPGRADE_LINES =
    "LOG:* Initialize     [OK]\n"
    "LOG:* Transfer image [OK]\n"
    "LOG:* Program image  ...[OK]\n";
const std::string RESTART_AND_BOOT = "Restarting System...\n* Wait for boot  [OK - 3f1c:0150]\n";
const std::string LINK_LAYER = "flash-tool: USB TQP failed to initialize communication link layer\n\n";

const std::vector<unsigned char>& builtin()
{
    static const std::vector<unsigned char> image = read_file(BUILTIN_IMAGE_FILE);
    return image;
}

const std::vector<unsigned char> FACTORY(4096, 0xA5);

// The controller holds exactly this firmware.
::testing::AssertionResult holds(const sim_run& r, const std::vector<unsigned char>& image)
{
    if (r.dump.at("firmware_size") != std::to_string(image.size()) ||
        r.dump.at("firmware_crc") != crc_hex(image) || r.dump.at("firmware_hash") != hash_hex(image))
        return ::testing::AssertionFailure() << "controller holds " << r.dump.at("firmware_size") << " bytes, hash "
                                             << r.dump.at("firmware_hash");
    return ::testing::AssertionSuccess();
}

std::string sleeps(std::initializer_list<std::pair<int, int>> runs)
{
    std::string s;
    for (const auto& [ms, count] : runs)
        for (int i = 0; i < count; ++i)
            s += (s.empty() ? "" : ",") + std::to_string(ms);
    return s;
}

sim_run tqp_run(std::vector<std::string> args, const std::string& faults = "")
{
    std::vector<std::string> all{"--sim-controller=tqp", "-f", "-n"};
    if (!faults.empty())
        all.push_back("--sim-fault=" + faults);
    all.insert(all.end(), args.begin(), args.end());
    return run_sim(all);
}

void expect_clean(const sim_run& r)
{
    EXPECT_EQ(r.dump.at("open_objects"), "0");
}

TEST(TqpRun, BuiltInUpgradeRestartsAndWaitsForBoot)
{
    const sim_run r = tqp_run({});
    EXPECT_EQ(r.out, std::string(BANNER) + BUILTIN_HEADING + tc_information() + SYSERROR_ZERO + UPGRADE_LINES +
                         RESTART_AND_BOOT + SUCCESS_BANNER);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r, builtin()));
    EXPECT_EQ(r.dump.at("tqp_requests"), "e0,e9,e4,e6*420,e5*5,e7");
    EXPECT_EQ(r.dump.at("sleeps"), "500");
    EXPECT_EQ(r.dump.at("attached"), "1");
    expect_clean(r);
}

TEST(TqpRun, FileUpgradeWithSkipResetDoesNotRestart)
{
    std::vector<unsigned char> image(10000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<unsigned char>(i * 31);
    const std::string path = temp_path("image.bin");
    write_file(path, image);
    const sim_run r = tqp_run({"-s", "-i", path}, "tqp-program-busy=1");
    std::remove(path.c_str());
    EXPECT_EQ(r.out, std::string(BANNER) + "Upgrade Mode Override\n=====================\n\nRead file: <" + path +
                         ">... [10000 bytes].\n" + tc_information() + SYSERROR_ZERO +
                         "LOG:* Initialize     [OK]\nLOG:* Transfer image [OK]\nLOG:* Program image  .[OK]\n"
                         "* Wait for boot  [OK - 3f1c:0150]\n" + SUCCESS_BANNER);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r, image));
    EXPECT_EQ(r.dump.at("tqp_requests"), "e0,e9,e4,e6*5,e5*3,e8");  // closed, not restarted
    EXPECT_EQ(r.dump.at("sleeps"), "500");
    expect_clean(r);
}

TEST(TqpRun, ReadInfoNoticesAndRestarts)
{
    const sim_run r = tqp_run({"-r"}, "tqp-syserror=1");
    EXPECT_EQ(r.out, std::string(BANNER) + INFO_HEADING + tc_information() +
                         "Syserror:   0x0000000000000001\n\n"
                         "ERROR:NOTICE: Not doing upgrade since no image provided\n" +
                         RESTART_AND_BOOT + SUCCESS_BANNER);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r, FACTORY));
    EXPECT_EQ(r.dump.at("tqp_requests"), "e0,e9,e7");
}

TEST(TqpRun, ReadInfoWithSkipResetOnlyReads)
{
    const sim_run r = tqp_run({"-r", "-s"});
    EXPECT_EQ(r.out, std::string(BANNER) + INFO_HEADING + tc_information() + SYSERROR_ZERO +
                         "ERROR:NOTICE: Not doing upgrade since no image provided\n"
                         "* Wait for boot  [OK - 3f1c:0150]\n" + SUCCESS_BANNER);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.dump.at("tqp_requests"), "e0,e9,e8");
}

TEST(TqpRun, ResetOnly)
{
    const sim_run r = tqp_run({"-R", "-s"}, "return-delay=3000");
    // Back after 3 s: the wait shows no dots.
    EXPECT_EQ(r.out, std::string(BANNER) + tc_information() + SYSERROR_ZERO + RESTART_AND_BOOT + SUCCESS_BANNER);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r, FACTORY));
    EXPECT_EQ(r.dump.at("tqp_requests"), "e0,e9,e7");
    EXPECT_EQ(r.dump.at("sleeps"), sleeps({{500, 1}, {100, 25}}));
    expect_clean(r);
}

TEST(TqpRun, LongSerialSelectsTheController)
{
    // Longer than the record's 10 characters: the connection string carries
    // it whole; the record shows its first 10.
    const sim_run r = run_sim({"--sim-controller=tqp", "--sim-serial=TC2150-0000471-Z", "-f", "-n", "-s", "-S",
                               "TC2150-0000471-Z"});
    EXPECT_EQ(r.out, std::string(BANNER) + BUILTIN_HEADING + tc_information("0002.0001", "TC2150-000") + SYSERROR_ZERO +
                         UPGRADE_LINES + "* Wait for boot  [OK - 3f1c:0150]\n" + SUCCESS_BANNER);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r, builtin()));
}

TEST(TqpRun, OlderControllerRenegotiates)
{
    for (const char* version : {"tqp-version=1", "tqp-version=0"}) {
        SCOPED_TRACE(version);
        const sim_run r = tqp_run({}, version);
        const std::string protocol = version[12] == '1' ? "0001.0003" : "0000.0007";
        EXPECT_EQ(r.out, std::string(BANNER) + BUILTIN_HEADING + tc_information(protocol, "") + SYSERROR_ZERO + UPGRADE_LINES +
                             RESTART_AND_BOOT + SUCCESS_BANNER);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(holds(r, builtin()));
        EXPECT_EQ(r.dump.at("tqp_hellos"), "2");
    }
}

// A hello that fails in any way falls back to the report protocol.
TEST(TqpRun, FailedHelloFallsBackToTheReportProtocol)
{
    for (const char* fault : {"tqp-reject-hello", "tqp-silent=0xE0", "tqp-bad-record=v3", "tqp-marker-error@1"}) {
        SCOPED_TRACE(fault);
        const sim_run r = tqp_run({}, fault);
        const std::string head = std::string(BANNER) + BUILTIN_HEADING + "flash-tool using USB HID interface\n\n";
        EXPECT_EQ(r.out.substr(0, head.size()), head);
        EXPECT_EQ(r.out.find("TQP"), std::string::npos);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(holds(r, builtin()));
        EXPECT_EQ(r.dump.at("tqp_data_requests"), "0");
        expect_clean(r);
    }
}

TEST(TqpRun, NoUsableVendorInterfaceFailsAtTheLinkLayer)
{
    // The report probe still gets through; the TQP link cannot open.
    for (const char* fault : {"hid-list-fail@2", "feature-length=65", "feature-length=513"}) {
        SCOPED_TRACE(fault);
        const sim_run r = tqp_run({}, fault);
        EXPECT_EQ(r.out, std::string(BANNER) + BUILTIN_HEADING + LINK_LAYER + FAILURE_BANNER);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(holds(r, FACTORY));
        EXPECT_EQ(r.dump.at("tqp_requests"), "");
        expect_clean(r);
    }
}

struct failure_case {
    const char* what;
    const char* fault;
    std::string tail;  // after the system error line
    bool upgraded;     // the controller took the image before the failure
    std::string requests;
};

TEST(TqpRun, FailuresCloseTheConnectionAndFailTheRun)
{
    const failure_case cases[] = {
        {"receive fails mid-transfer", "tqp-marker-error@10",
         "LOG:* Initialize     [OK]\nLOG:* Transfer image ERROR:[FAIL 5]\n", false, "e0,e9,e4,e6*7,e8"},
        {"data request never answered", "tqp-silent=0xE6@3",
         "LOG:* Initialize     [OK]\nLOG:* Transfer image ERROR:[FAIL 110]\n", false, "e0,e9,e4,e6*3,e8"},
        {"begin-upgrade refused", "tqp-status=0xE4:3",
         "LOG:* Initialize     ERROR:[FAIL]: Failed to prepare firmware upgrade\n", false, "e0,e9,e4,e8"},
        {"first program answer 11", "tqp-program-first-busy",
         "LOG:* Initialize     [OK]\nLOG:* Transfer image [OK]\nLOG:* Program image  ERROR:[FAIL 11]\n", false,
         "e0,e9,e4,e6*420,e5,e8"},
        {"programming fails", "tqp-status=0xE5:8@3",
         "LOG:* Initialize     [OK]\nLOG:* Transfer image [OK]\nLOG:* Program image  .ERROR:[FAIL 8]\n", false,
         "e0,e9,e4,e6*420,e5*3,e8"},
        {"restart refused", "tqp-status=0xE7:5", UPGRADE_LINES + "Restarting System...\n", true,
         "e0,e9,e4,e6*420,e5*5,e7,e8"},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.what);
        const sim_run r = tqp_run({}, c.fault);
        EXPECT_EQ(r.out, std::string(BANNER) + BUILTIN_HEADING + tc_information() + SYSERROR_ZERO + c.tail + FAILURE_BANNER);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(holds(r, c.upgraded ? builtin() : FACTORY));
        EXPECT_EQ(r.dump.at("tqp_requests"), c.requests);
        EXPECT_EQ(r.dump.at("sleeps"), "");
        expect_clean(r);
    }
}

TEST(TqpRun, SystemErrorFailureIsSilent)
{
    for (const char* fault : {"tqp-short-syserror", "tqp-status=0xE9:2", "tqp-silent=0xE9"}) {
        SCOPED_TRACE(fault);
        const sim_run r = tqp_run({}, fault);
        EXPECT_EQ(r.out, std::string(BANNER) + BUILTIN_HEADING + tc_information() + FAILURE_BANNER);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.dump.at("tqp_requests"), "e0,e9,e8");
        EXPECT_TRUE(holds(r, FACTORY));
    }
}

TEST(TqpRun, ControllerThatNeverComesBack)
{
    const sim_run r = tqp_run({}, "never-back");
    EXPECT_EQ(r.out, std::string(BANNER) + BUILTIN_HEADING + tc_information() + SYSERROR_ZERO + UPGRADE_LINES +
                         "Restarting System...\n* Wait for boot  " + FAILURE_BANNER);
    EXPECT_EQ(r.err, "[FAIL]\n");
    EXPECT_EQ(r.merged, std::string(BANNER) + BUILTIN_HEADING + tc_information() + SYSERROR_ZERO + UPGRADE_LINES +
                            "Restarting System...\n* Wait for boot  [FAIL]\n" + FAILURE_BANNER);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.dump.at("sleeps"), sleeps({{500, 1}, {100, 601}}));
    EXPECT_EQ(r.dump.at("attached"), "0");
    expect_clean(r);
}

TEST(TqpRun, NoiseWhileWaitingIsDropped)
{
    const sim_run r = tqp_run({}, "tqp-noise@1-,tqp-erase-ms=15000");
    EXPECT_EQ(r.out, std::string(BANNER) + BUILTIN_HEADING + tc_information() + SYSERROR_ZERO + UPGRADE_LINES +
                         RESTART_AND_BOOT + SUCCESS_BANNER);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r, builtin()));
}

}  // namespace
