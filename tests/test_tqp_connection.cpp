// The TQP connection against the simulated TQP controller, in process:
// open and hello, exchanges and their waits, the upgrade, close.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/image.h"
#include "support.h"
#include "tqp/tqp_connection.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// What the connection wrote through its sinks: 'I' info, 'E' error.
std::vector<std::pair<char, std::string>> g_log;

int capture(char kind, const char* format, va_list args)
{
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    g_log.emplace_back(kind, text);
    return 0;
}
int log_info(const char* format, ...)
{
    va_list a;
    va_start(a, format);
    capture('I', format, a);
    va_end(a);
    return 0;
}
int log_error(const char* format, ...)
{
    va_list a;
    va_start(a, format);
    capture('E', format, a);
    va_end(a);
    return 0;
}

class TqpConnection : public ::testing::Test {
protected:
    std::unique_ptr<sim_controller> controller;
    tqp_connection c{};

    void SetUp() override
    {
        g_log.clear();
        renew();
        tqp_connection_defaults(&c);
        tqp_connection_set_logs(&c, log_info, log_error);
    }

    // An empty bus and a fresh TQP controller, not yet attached.
    void renew()
    {
        fresh_bus();
        controller = std::make_unique<sim_controller>();
        ASSERT_TRUE(sim_controller_configure(*controller, "tqp"));
    }
    void TearDown() override
    {
        tqp_close(&c);
        EXPECT_EQ(sim_bus_open_objects(), 0) << "something was left open";
    }

    void attach(const char* faults = "")
    {
        std::string error;
        ASSERT_TRUE(sim_controller_faults(*controller, faults, &error)) << error;
        controller->attach();
    }

    std::map<std::string, std::string> dump()
    {
        // A temporary file rather than open_memstream, which Windows lacks.
        std::FILE* out = std::tmpfile();
        sim_controller_dump(*controller, out);
        std::string all;
        std::rewind(out);
        for (int ch; (ch = std::fgetc(out)) != EOF;)
            all += static_cast<char>(ch);
        std::fclose(out);
        std::map<std::string, std::string> d;
        std::size_t start = 0;
        while (start < all.size()) {
            const std::size_t end = all.find('\n', start);
            const std::string line = all.substr(start, end - start);
            const std::size_t eq = line.find('=');
            if (eq != std::string::npos)
                d[line.substr(0, eq)] = line.substr(eq + 1);
            start = end == std::string::npos ? all.size() : end + 1;
        }
        return d;
    }

    std::string requests() { return dump().at("tqp_requests"); }

    static std::string hex(const bytes& b)
    {
        std::string s;
        char t[3];
        for (std::uint8_t x : b) {
            std::snprintf(t, sizeof t, "%02x", x);
            s += t;
        }
        return s;
    }

    void open_ok()
    {
        ASSERT_EQ(tqp_open(&c, "USB", "Ovandrel/Flashtool"), 0);
        ASSERT_EQ(c.is_open, 1);
    }
};

TEST_F(TqpConnection, OpenNeedsUsbAndADevice)
{
    EXPECT_EQ(tqp_open(&c, "COM3", "Ovandrel/Flashtool"), TQP_ERR_LINK);
    EXPECT_EQ(tqp_open(&c, "usb", "Ovandrel/Flashtool"), TQP_ERR_LINK);
    EXPECT_EQ(tqp_open(&c, "USB", "Ovandrel/Flashtool"), TQP_ERR_LINK);  // nothing attached
    EXPECT_EQ(c.is_open, 0);
    EXPECT_EQ(c.hid, nullptr);
    EXPECT_EQ(sim_bus_call_count(SIM_CALL_HID_LIST), 0u);
}

TEST_F(TqpConnection, OpenSaysHelloAndKeepsTheDeviceRecord)
{
    attach();
    open_ok();
    const client_info* info = nullptr;
    ASSERT_EQ(tqp_connection_device_info(&c, &info), 0);
    EXPECT_EQ(info->version, 2);
    char serial[20];
    client_info_serial(info, serial, sizeof serial);
    EXPECT_STREQ(serial, "OV2C7F0012");
    ASSERT_EQ(tqp_close(&c), 0);
    EXPECT_EQ(c.is_open, 0);
    EXPECT_EQ(c.hid, nullptr);
    EXPECT_EQ(requests(), "e0,e8");
    EXPECT_EQ(tqp_close(&c), 0);  // closed already: nothing is sent
    EXPECT_EQ(requests(), "e0,e8");
}

TEST_F(TqpConnection, SerialOfAnyLengthSelectsTheDevice)
{
    controller->serial = "TC-2150-00004711-B";
    attach();
    EXPECT_EQ(tqp_open(&c, "USB:TC-2150-00004711-A", "Ovandrel/Flashtool"), TQP_ERR_LINK);
    ASSERT_EQ(tqp_open(&c, "USB:TC-2150-00004711-B", "Ovandrel/Flashtool"), 0);
}

TEST_F(TqpConnection, RejectedTwiceTheHelloFails)
{
    attach("tqp-reject-hello");
    EXPECT_EQ(tqp_open(&c, "USB", "Ovandrel/Flashtool"), TQP_ERR_HELLO);
    EXPECT_EQ(c.is_open, 0);
    EXPECT_EQ(c.hid, nullptr);
    EXPECT_EQ(c.core.last_error, 3);
    EXPECT_EQ(requests(), "e0*2");  // no close request on a connection that did not open
}

TEST_F(TqpConnection, OlderDeviceRenegotiates)
{
    for (int version : {1, 0}) {
        SCOPED_TRACE(version);
        renew();
        attach(version == 1 ? "tqp-version=1" : "tqp-version=0");
        ASSERT_EQ(tqp_open(&c, "USB", "Ovandrel/Flashtool"), 0);
        const client_info* info = nullptr;
        tqp_connection_device_info(&c, &info);
        EXPECT_EQ(info->version, version);
        char serial[20] = "x";
        client_info_serial(info, serial, sizeof serial);
        EXPECT_STREQ(serial, "");
        // The second hello: 46 record bytes in the older layout, the name at offset 8.
        bytes second{0xE0, 0x2E, 0x00, 0x00};
        const bytes protocol = version == 1 ? bytes{0x00, 0x01, 0x00, 0x03} : bytes{0x00, 0x00, 0x00, 0x07};
        second.insert(second.end(), protocol.begin(), protocol.end());
        second.resize(12, 0);
        const std::string name = "Ovandrel/Flashtool";
        second.insert(second.end(), name.begin(), name.end());
        second.resize(50, 0);
        EXPECT_EQ(dump().at("tqp_last_hello"), hex(second));
        EXPECT_EQ(dump().at("tqp_hellos"), "2");
        tqp_close(&c);
    }
}

TEST_F(TqpConnection, UndecodableDeviceRecordsFailTheHello)
{
    for (const char* fault : {"tqp-bad-record=v3", "tqp-bad-record=bcd", "tqp-bad-record=short"}) {
        SCOPED_TRACE(fault);
        renew();
        attach(fault);
        EXPECT_EQ(tqp_open(&c, "USB", "Ovandrel/Flashtool"), TQP_ERR_HELLO);
        EXPECT_EQ(c.core.last_error, TQP_ERR_CLIENT_INFO);
        EXPECT_EQ(requests(), "e0");
    }
}

TEST_F(TqpConnection, UnansweredHelloTimesOutAndFails)
{
    attach("tqp-silent=0xE0");
    const std::uint64_t start = sim_bus_now_us();
    EXPECT_EQ(tqp_open(&c, "USB", "Ovandrel/Flashtool"), TQP_ERR_HELLO);
    const std::uint64_t waited_ms = (sim_bus_now_us() - start) / 1000;
    EXPECT_GE(waited_ms, TQPTRANSPORT_ANSWER_TIMEOUT_MS);
    EXPECT_LT(waited_ms, TQPTRANSPORT_ANSWER_TIMEOUT_MS + 100);
}

TEST_F(TqpConnection, UnansweredRequestEndsWith110)
{
    attach("tqp-silent=0xE4");
    open_ok();
    EXPECT_EQ(tqp_begin_upgrade(&c, 1000), TQP_ERR_TIMEOUT);
    // Answered in time, the next request works again.
    EXPECT_EQ(tqp_begin_upgrade(&c, 1000), 0);
}

TEST_F(TqpConnection, SlowEraseIsWaitedFor)
{
    attach("tqp-erase-ms=20000");
    open_ok();
    EXPECT_EQ(tqp_begin_upgrade(&c, 1000), 0);
}

TEST_F(TqpConnection, RetriesResendAnOverdueRequest)
{
    attach("tqp-silent=0xE4");
    open_ok();
    c.retries = 1;
    EXPECT_EQ(tqp_begin_upgrade(&c, 1000), 0);
    EXPECT_EQ(requests(), "e0,e4*2");
}

TEST_F(TqpConnection, DroppedMessagesDoNotEndTheWait)
{
    attach("tqp-noise@1-");
    open_ok();
    std::uint64_t word = 7;
    EXPECT_EQ(tqp_system_error(&c, &word), 0);
    EXPECT_EQ(word, 0u);
    const bytes image(5000, 0x3C);
    EXPECT_EQ(tqp_upgrade(&c, image.data(), 5000), 0);
    EXPECT_EQ(controller->firmware, image);
}

TEST_F(TqpConnection, FailedReceiveEndsTheExchangeWith5)
{
    // Answers: 1 hello, 2 begin-upgrade, 3 and on the data chunks.
    attach("tqp-marker-error@4");
    open_ok();
    const bytes image(3 * 2046, 0x11);
    EXPECT_EQ(tqp_upgrade(&c, image.data(), static_cast<std::uint32_t>(image.size())), TQP_ERR_IO);
    const std::vector<std::pair<char, std::string>> want{
        {'I', "* Initialize     "}, {'I', "[OK]\n"}, {'I', "* Transfer image "}, {'E', "[FAIL 5]\n"}};
    EXPECT_EQ(g_log, want);
    EXPECT_EQ(requests(), "e0,e4,e6*2");
}

TEST_F(TqpConnection, BrokenLongMessagesFailTheReceive)
{
    for (const char* fault : {"tqp-sequence-skip@2", "tqp-sequence-missing@2", "tqp-continuation-first@2"}) {
        SCOPED_TRACE(fault);
        renew();
        attach(fault);
        open_ok();
        std::uint64_t word = 0;
        EXPECT_EQ(tqp_system_error(&c, &word), TQP_ERR_IO);
        tqp_close(&c);
    }
}

TEST_F(TqpConnection, BuiltInImageUpgrade)
{
    attach("tqp-program-busy=2");
    open_ok();
    ASSERT_EQ(tqp_upgrade(&c, builtin_image, BUILTIN_IMAGE_SIZE), 0);
    const std::vector<std::pair<char, std::string>> want{
        {'I', "* Initialize     "}, {'I', "[OK]\n"}, {'I', "* Transfer image "}, {'I', "[OK]\n"},
        {'I', "* Program image  "}, {'I', "."},     {'I', "."},                 {'I', "[OK]\n"}};
    EXPECT_EQ(g_log, want);
    const auto d = dump();
    EXPECT_EQ(d.at("tqp_requests"), "e0,e4,e6*420,e5*4");
    EXPECT_EQ(d.at("tqp_begin_size"), "857808");
    EXPECT_EQ(d.at("tqp_data_bytes"), "857808");
    EXPECT_EQ(controller->firmware, bytes(builtin_image, builtin_image + BUILTIN_IMAGE_SIZE));
}

TEST_F(TqpConnection, ProgramMustBeAcceptedFirst)
{
    attach("tqp-program-first-busy");
    open_ok();
    const bytes image(100, 0x22);
    EXPECT_EQ(tqp_upgrade(&c, image.data(), 100), TQP_ERR_AGAIN);
    EXPECT_EQ(g_log.back(), (std::pair<char, std::string>{'E', "[FAIL 11]\n"}));
    EXPECT_NE(controller->firmware, image);
}

TEST_F(TqpConnection, ProgrammingThatNeverEndsIsGivenUp)
{
    attach("tqp-program-busy=4000000000");
    open_ok();
    const bytes image(100, 0x22);
    const std::uint64_t start = sim_bus_now_us();
    EXPECT_EQ(tqp_upgrade(&c, image.data(), 100), TQP_ERR_TIMEOUT);
    EXPECT_GE((sim_bus_now_us() - start) / 1000, TQP_PROGRAM_TIMEOUT_MS);
    EXPECT_EQ(g_log.back(), (std::pair<char, std::string>{'E', "[FAIL 110]\n"}));
}

TEST_F(TqpConnection, DeviceStatusesPassThrough)
{
    attach("tqp-status=0xE4:3,tqp-status=0xE6:9@2,tqp-status=0xE7:12");
    open_ok();
    const bytes image(5000, 0x22);
    EXPECT_EQ(tqp_upgrade(&c, image.data(), 5000), 3);
    EXPECT_EQ(g_log.back(), (std::pair<char, std::string>{'E', "[FAIL]: Failed to prepare firmware upgrade\n"}));
    EXPECT_EQ(tqp_upgrade(&c, image.data(), 5000), 9);
    EXPECT_EQ(g_log.back(), (std::pair<char, std::string>{'E', "[FAIL 9]\n"}));
    EXPECT_EQ(tqp_reset(&c), 12);
    EXPECT_EQ(tqp_write_data(&c, image.data(), 2047), TQP_ERR_TOO_LONG);
}

TEST_F(TqpConnection, UpgradeWithoutImageOnlyNotices)
{
    attach();
    open_ok();
    EXPECT_EQ(tqp_upgrade(&c, nullptr, 0), 0);
    const std::vector<std::pair<char, std::string>> want{{'E', "NOTICE: Not doing upgrade since no image provided\n"}};
    EXPECT_EQ(g_log, want);
    EXPECT_EQ(requests(), "e0");
}

TEST_F(TqpConnection, SystemErrorWord)
{
    attach("tqp-syserror=0x0123456789abcdef");
    open_ok();
    std::uint64_t word = 0;
    EXPECT_EQ(tqp_system_error(&c, &word), 0);
    EXPECT_EQ(word, 0x0123456789abcdefull);
    tqp_close(&c);

    renew();
    attach("tqp-short-syserror");
    open_ok();
    EXPECT_EQ(tqp_system_error(&c, &word), TQP_ERR_BAD_ANSWER);
}

}  // namespace
