// The report commands against the simulated controller, over HID and over
// the bridge: chunking and counting, progress events, polling, the texts
// and the diagnostic reassembly, and a misbehaving device kept within its
// bounds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "report/report_commands.h"
#include "sim/report_sim.h"
#include "support.h"

namespace {

using event = std::pair<int, int>;
std::vector<event> g_events;

int record(int code, int arg)
{
    g_events.emplace_back(code, arg);
    return 0;
}

std::vector<std::uint8_t> builtin()
{
    static const std::vector<std::uint8_t> image = read_file(BUILTIN_IMAGE_FILE);
    return image;
}

std::vector<std::uint8_t> pattern(std::size_t size)
{
    std::vector<std::uint8_t> v(size);
    for (std::size_t i = 0; i < size; ++i)
        v[i] = static_cast<std::uint8_t>(i * 31 + (i >> 8));
    return v;
}

int count_of(const std::vector<event>& events, int code)
{
    int n = 0;
    for (const event& e : events)
        n += e.first == code;
    return n;
}

// A simulated controller on a fresh bus and a channel to it.
class ReportCommands : public ::testing::Test {
protected:
    std::unique_ptr<sim_controller> owned;
    report_channel* channel = nullptr;
    sim_controller& controller() { return *owned; }

    void TearDown() override { stop(); }
    void stop()
    {
        report_channel_close(channel);
        channel = nullptr;
        EXPECT_EQ(sim_bus_open_objects(), 0) << "something was left open";
    }
    // A fresh bus with a fresh controller of this kind, and a channel to it.
    void start(const char* kind, const char* faults = "")
    {
        stop();
        fresh_bus();
        g_events.clear();
        owned = std::make_unique<sim_controller>();
        sim_controller& controller = *owned;
        ASSERT_TRUE(sim_controller_configure(controller, kind));
        std::string error;
        ASSERT_TRUE(sim_controller_faults(controller, faults, &error)) << error;
        controller.attach();
        const std::uint16_t pid = controller.is_bridge ? BRIDGE_PRODUCT_ID : controller.runtime_product_id;
        channel = report_channel_open(DEVICE_VENDOR_ID, pid, nullptr);
        ASSERT_NE(channel, nullptr);
    }
    std::map<std::string, std::string> dump()
    {
        // A temporary file rather than open_memstream, which Windows lacks.
        std::FILE* out = std::tmpfile();
        sim_controller_dump(*owned, out);
        std::string all;
        std::rewind(out);
        for (int ch; (ch = std::fgetc(out)) != EOF;)
            all += static_cast<char>(ch);
        std::fclose(out);
        std::map<std::string, std::string> keys;
        std::size_t at = 0;
        while (at < all.size()) {
            const std::size_t end = all.find('\n', at);
            const std::string line = all.substr(at, end - at);
            const std::size_t eq = line.find('=');
            if (eq != std::string::npos)
                keys[line.substr(0, eq)] = line.substr(eq + 1);
            at = end == std::string::npos ? all.size() : end + 1;
        }
        return keys;
    }
    std::size_t sleeps_of(std::uint32_t ms)
    {
        std::size_t n = 0;
        for (std::uint32_t s : sim_bus_sleeps())
            n += s == ms;
        return n;
    }
};

}  // namespace

TEST_F(ReportCommands, UpgradeSendsTheImageInTheLargestChunksAndTheDeviceKeepsIt)
{
    struct {
        const char* kind;
        const char* faults;
        int chunk;
    } cases[] = {
        {"report", "", 248},                  // 257-byte feature reports
        {"bridge", "", 248},                  // 256 bytes of frame payload
        {"report", "feature-length=65", 56},  // a smaller collection
    };
    const std::vector<std::uint8_t> image = builtin();
    ASSERT_EQ(image.size(), 857808u);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.faults);
        start(c.kind, c.faults);

        char text[REPORT_TEXT_SIZE];
        int code = 77;
        ASSERT_EQ(report_upgrade(channel, image.data(), static_cast<std::int32_t>(image.size()), text,
                                 &code, record),
                  0);
        EXPECT_EQ(code, 0);
        EXPECT_STREQ(text, sim_report_status_text(0));
        EXPECT_EQ(controller().firmware, image) << "the device holds exactly the image";

        const std::size_t chunks = (image.size() + c.chunk - 1) / c.chunk;
        auto d = dump();
        EXPECT_EQ(d["report_data_requests"], std::to_string(chunks));
        EXPECT_EQ(d["report_last_count"], std::to_string(chunks));
        EXPECT_EQ(d["report_data_replies"], "1") << "one count, after the last chunk";
        EXPECT_EQ(d["report_flash_size"], "857808");
        if (std::string(c.kind) == "bridge") {
            EXPECT_EQ(chunks, 3459u);
        }

        // Events: begin, one per chunk with the percentage before it, end;
        // then the flash wait with one busy event per busy reply.
        ASSERT_EQ(g_events.size(), 1 + chunks + 1 + 1 + SIM_REPORT_BUSY_POLLS + 1);
        EXPECT_EQ(g_events.front(), event(REPORT_EVENT_TRANSFER_BEGIN, 0));
        for (std::size_t i = 0; i < chunks; ++i) {
            const int percent = static_cast<int>(std::int64_t(i) * c.chunk * 100 / std::int64_t(image.size()));
            ASSERT_EQ(g_events[1 + i], event(REPORT_EVENT_TRANSFER_PROGRESS, percent)) << i;
        }
        EXPECT_EQ(g_events[1].second, 0);
        EXPECT_LT(g_events[chunks].second, 100);
        EXPECT_EQ(g_events[1 + chunks], event(REPORT_EVENT_TRANSFER_END, 0));
        EXPECT_EQ(g_events[2 + chunks], event(REPORT_EVENT_FLASH_BEGIN, 0));
        EXPECT_EQ(count_of(g_events, REPORT_EVENT_FLASH_BUSY), static_cast<int>(SIM_REPORT_BUSY_POLLS));
        EXPECT_EQ(g_events.back(), event(REPORT_EVENT_FLASH_END, 0));
        // Prepare polls and busy polls, each 100 ms apart.
        EXPECT_EQ(sleeps_of(100), SIM_REPORT_PREPARE_POLLS + 1 + SIM_REPORT_BUSY_POLLS);
    }
}

TEST_F(ReportCommands, TheLastChunkCarriesTheRestAndAnEmptyImageSendsNone)
{
    start("report");
    const std::vector<std::uint8_t> image = pattern(248 * 3 + 5);
    ASSERT_EQ(report_prepare(channel), 0);
    ASSERT_EQ(report_send_image(channel, image.data(), static_cast<std::int32_t>(image.size()), record), 0);
    auto d = dump();
    EXPECT_EQ(d["report_data_requests"], "4");
    EXPECT_EQ(d["report_data_bytes"], std::to_string(image.size()));
    EXPECT_EQ(g_events, (std::vector<event>{{0, 0}, {1, 0}, {1, 33}, {1, 66}, {1, 99}, {2, 0}}));

    g_events.clear();
    ASSERT_EQ(report_prepare(channel), 0);
    EXPECT_EQ(report_send_image(channel, image.data(), 0, record), 0) << "the device counts 0";
    EXPECT_EQ(g_events, (std::vector<event>{{0, 0}, {2, 0}}));
}

TEST_F(ReportCommands, AFailedOrMiscountedTransferFailsAndTheDeviceKeepsItsFirmware)
{
    struct {
        const char* faults;
        int chunks_sent;  // progress events before the end event
    } cases[] = {
        {"request-fail=data@100", 99},
        {"request-stall=data@1", 0},
        {"wrong-count", 3459},
        {"wrong-count=+1", 3459},
        {"reply-fail=data", 3459},
        {"bad-status=data", 3459},
        {"wrong-code=data", 3459},
        {"long-length=data", 3459},
    };
    const std::vector<std::uint8_t> image = builtin();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        start("report", c.faults);
        const std::vector<std::uint8_t> factory = controller().firmware;
        char text[REPORT_TEXT_SIZE];
        int code = 0;
        EXPECT_EQ(report_upgrade(channel, image.data(), static_cast<std::int32_t>(image.size()), text,
                                 &code, record),
                  -1);
        ASSERT_FALSE(g_events.empty());
        EXPECT_EQ(count_of(g_events, REPORT_EVENT_TRANSFER_PROGRESS), c.chunks_sent);
        EXPECT_EQ(g_events.back(), event(REPORT_EVENT_TRANSFER_END, -1));
        EXPECT_EQ(count_of(g_events, REPORT_EVENT_FLASH_BEGIN), 0) << "no flash status after a failed transfer";
        EXPECT_EQ(controller().firmware, factory);
    }
}

TEST_F(ReportCommands, PrepareAndFlashStatusPollEvery100msWithinABound)
{
    start("report", "prepare-polls=3,busy-polls=4,flash-result=3");
    const std::vector<std::uint8_t> image = pattern(1000);
    ASSERT_EQ(report_prepare(channel), 0);
    EXPECT_EQ(sim_bus_sleeps(), (std::vector<std::uint32_t>{100, 100, 100, 100}))
        << "three not-ready replies and the ready one, each followed by the pause";
    ASSERT_EQ(report_send_image(channel, image.data(), 1000, nullptr), 0);
    g_events.clear();
    char text[REPORT_TEXT_SIZE];
    int code = 0;
    ASSERT_EQ(report_flash_status(channel, 1000, &code, text, record), 0) << "a non-zero code is still an answer";
    EXPECT_EQ(code, 3);
    EXPECT_STREQ(text, sim_report_status_text(3));
    EXPECT_EQ(g_events, (std::vector<event>{{3, 0}, {4, 0}, {4, 0}, {4, 0}, {4, 0}, {5, 0}}));
    EXPECT_EQ(sim_bus_sleeps().size(), 8u);
    EXPECT_EQ(controller().firmware, image);
}

TEST_F(ReportCommands, ResultMinusTwoFinishesTheExchangeAndTheDeviceDoesNotKeepTheImage)
{
    start("report", "flash-result=0xFE");
    const std::vector<std::uint8_t> factory = controller().firmware;
    const std::vector<std::uint8_t> image = pattern(600);
    char text[REPORT_TEXT_SIZE];
    int code = 0;
    ASSERT_EQ(report_upgrade(channel, image.data(), 600, text, &code, nullptr), 0);
    EXPECT_EQ(code, -2);
    EXPECT_STREQ(text, sim_report_status_text(-2));
    EXPECT_EQ(controller().firmware, factory);
}

TEST_F(ReportCommands, ADeviceThatNeverGetsThereFailsAfterTheBound)
{
    start("report", "never-ready");
    EXPECT_EQ(report_prepare(channel), -1);
    EXPECT_EQ(sim_bus_sleeps().size(), REPORT_PREPARE_MAX_POLLS);
    EXPECT_EQ(dump()["report_prepare_replies"], std::to_string(REPORT_PREPARE_MAX_POLLS));
    start("bridge", "always-busy");
    char text[REPORT_TEXT_SIZE];
    int code = 0;
    EXPECT_EQ(report_flash_status(channel, 10, &code, text, record), -1);
    EXPECT_EQ(count_of(g_events, REPORT_EVENT_FLASH_BUSY), static_cast<int>(REPORT_FLASH_STATUS_MAX_POLLS));
    EXPECT_EQ(g_events.back(), event(REPORT_EVENT_FLASH_END, -1));
    const std::uint64_t seconds = sim_bus_now_us() / 1000000;
    EXPECT_GE(seconds, 299u) << "about five minutes of polls, then it gives up";
    EXPECT_LT(seconds, 310u);
}

TEST_F(ReportCommands, AFailedPollEndsTheWaitAtOnce)
{
    start("report", "reply-fail=prepare@2,reply-stall=flash-status@3");
    EXPECT_EQ(report_prepare(channel), -1);
    EXPECT_EQ(sim_bus_sleeps().size(), 1u);
    char text[REPORT_TEXT_SIZE];
    int code = 0;
    EXPECT_EQ(report_flash_status(channel, 10, &code, text, record), -1);
    EXPECT_EQ(g_events, (std::vector<event>{{3, 0}, {4, 0}, {4, 0}, {5, -1}}));
}

TEST_F(ReportCommands, InfoNeedsTheMagicAndStatusBeforeTheText)
{
    struct {
        const char* faults;
        int result;
        int status;  // starts at 0
        std::string text;
    } cases[] = {
        {"", 0, 0, SIM_REPORT_INFO_TEXT},
        {"info-status=5", -2, 5, ""},
        {"info-short=1", -1, 0, ""},
        {"info-short=4", -1, 0, ""},  // the magic, but no status
        {"info-short=5", 0, 0, ""},   // status, no text
        {"info-magic=0x5A3C96E2", -1, 0, ""},
        {"info-text=", 0, 0, ""},
        {"bad-status=info", -1, 0, ""},
        {"wrong-code=info", -1, 0, ""},
        {"long-length=info", -1, 0, ""},
    };
    for (const auto& c : cases) {
        for (const char* kind : {"report", "bridge"}) {
            SCOPED_TRACE(std::string(kind) + " " + c.faults);
            start(kind, c.faults);
            int status = 0;
            char text[REPORT_TEXT_SIZE] = "stale";
            EXPECT_EQ(report_get_info(channel, &status, text), c.result);
            EXPECT_EQ(status, c.status);
            EXPECT_EQ(std::string(text), c.text);
        }
    }
}

TEST_F(ReportCommands, DeviceTextsStayWithinTheirPayloadAndTheCallersBuffer)
{
    // A text without its NUL that fills a 1019-byte payload: only 255
    // characters and the terminator reach the 256-byte buffer.
    start("report", "feature-length=1024,no-nul=info,no-nul=flash-status@1-");
    char buffer[REPORT_TEXT_SIZE + 64];
    std::memset(buffer, 0x55, sizeof buffer);
    int status = 0;
    ASSERT_EQ(report_get_info(channel, &status, buffer), 0);
    EXPECT_EQ(std::strlen(buffer), REPORT_TEXT_SIZE - 1);
    EXPECT_EQ(std::string(buffer, 20), std::string(SIM_REPORT_INFO_TEXT).substr(0, 20));
    for (std::size_t i = REPORT_TEXT_SIZE; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], 0x55) << "written past the caller's buffer at " << i;

    const std::vector<std::uint8_t> image = pattern(3000);
    std::memset(buffer, 0x55, sizeof buffer);
    int code = 0;
    ASSERT_EQ(report_upgrade(channel, image.data(), 3000, buffer, &code, nullptr), 0);
    EXPECT_EQ(std::strlen(buffer), REPORT_TEXT_SIZE - 1);
    for (std::size_t i = REPORT_TEXT_SIZE; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], 0x55) << "written past the caller's buffer at " << i;
    EXPECT_EQ(controller().firmware, image) << "1015-byte chunks";
    EXPECT_EQ(dump()["report_data_requests"], "3");
}

TEST_F(ReportCommands, ATextWithoutItsNulEndsWithThePayload)
{
    start("report", "no-nul=info");  // 252-byte payload: 247 text bytes
    char text[REPORT_TEXT_SIZE];
    int status = 0;
    ASSERT_EQ(report_get_info(channel, &status, text), 0);
    EXPECT_EQ(std::strlen(text), 247u);
}

TEST_F(ReportCommands, ReadInfoJoinsTheFragmentsAtTheirOffsets)
{
    struct {
        const char* kind;
        const char* faults;
        std::size_t size;
        std::size_t fragment;
    } cases[] = {
        {"report", "", SIM_REPORT_DIAG_SIZE, 244},
        {"bridge", "", SIM_REPORT_DIAG_SIZE, 243},
        {"report", "diag-size=0", 0, 244},  // total 0, offset 0: empty at once
        {"report", "diag-size=65535", 65535, 244},
        {"report", "feature-length=33", SIM_REPORT_DIAG_SIZE, 20},
    };
    std::vector<char> text(REPORT_READ_INFO_SIZE);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.faults);
        start(c.kind, c.faults);
        std::fill(text.begin(), text.end(), 'Z');
        ASSERT_EQ(report_read_info(channel, text.data()), 0);
        const std::string expected = sim_report_diagnostic_text(c.size);
        EXPECT_EQ(std::string(text.data()), expected);
        EXPECT_EQ(dump()["report_read_info_replies"],
                  std::to_string((expected.size() + c.fragment - 1) / c.fragment + 1))
            << "the fragments, then the reply whose offset reached the total";
        EXPECT_TRUE(sim_bus_sleeps().empty()) << "fragments are fetched without a pause";
    }
}

TEST_F(ReportCommands, ReadInfoFailsRatherThanRunPastItsBuffer)
{
    struct {
        const char* faults;
    } cases[] = {
        {"diag-size=65536"},              // the terminator would not fit
        {"read-info-total=70000"},        // the first reply's total
        {"read-info-total=70000@3"},      // a later reply's total
        {"diag-size=65535,read-info-offset=65500@2"},  // a fragment that would run past the end
        {"read-info-stuck@1-"},  // the offset never moves on
        {"reply-fail=read-info@4"},
        {"long-length=read-info@2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        start("report", c.faults);
        std::vector<char> text(REPORT_READ_INFO_SIZE + 256, 'Z');
        EXPECT_EQ(report_read_info(channel, text.data()), -1);
        for (std::size_t i = REPORT_READ_INFO_SIZE; i < text.size(); ++i)
            ASSERT_EQ(text[i], 'Z') << "written past the buffer at " << i;
    }
}

TEST_F(ReportCommands, ResetPreparesFirstAndReadsNoReply)
{
    start("report", "prepare-polls=0");
    ASSERT_EQ(report_reset(channel), 0);
    auto d = dump();
    EXPECT_EQ(d["report_prepare_requests"], "1");
    EXPECT_EQ(d["report_reset_requests"], "1");
    EXPECT_EQ(d["report_reset_replies"], "0");
    EXPECT_FALSE(sim_bus_attached(controller().device)) << "it restarts";
    sim_bus_advance_us(controller().return_delay_ms * 1000);
    EXPECT_TRUE(sim_bus_attached(controller().device));

    report_channel_close(channel);
    channel = report_channel_open(DEVICE_VENDOR_ID, controller().runtime_product_id, nullptr);
    ASSERT_NE(channel, nullptr);
    int status = 0;
    char text[REPORT_TEXT_SIZE];
    EXPECT_EQ(report_get_info(channel, &status, text), 0) << "and speaks again";
}

TEST_F(ReportCommands, AResetWhosePrepareFailsIsNotSent)
{
    start("bridge", "request-fail=prepare");
    EXPECT_EQ(report_reset(channel), -1);
    EXPECT_EQ(dump()["report_reset_requests"], "0");
    EXPECT_TRUE(sim_bus_attached(controller().device));
}

TEST_F(ReportCommands, AChannelTooSmallForImageBytesFailsTheTransfer)
{
    start("report", "feature-length=9");  // payload 8: no room for image bytes
    const std::vector<std::uint8_t> image = pattern(100);
    EXPECT_EQ(report_send_image(channel, image.data(), 100, record), -1);
    EXPECT_EQ(g_events, (std::vector<event>{{0, 0}, {2, -1}}));
}
