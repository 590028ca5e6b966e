// The report channel's framing over HID feature reports and over the
// bridge's bulk pipes, against a peer that shows the raw bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "report/report_channel.h"
#include "support.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// Keeps what the host writes; answers reads with `reply` (cut or padded
// with zeros to what is read).
class wire_peer : public sim_peer {
public:
    std::vector<bytes> writes;
    bytes reply;
    bytes get_buffer;  // a feature read's buffer as the host handed it over

    bool get_feature(int, std::uint8_t, std::uint8_t* r, std::uint32_t n) override
    {
        get_buffer.assign(r, r + n);
        std::memset(r, 0, n);
        std::memcpy(r, reply.data(), std::min<std::size_t>(n, reply.size()));
        return true;
    }
    bool set_feature(int, std::uint8_t, const std::uint8_t* r, std::uint32_t n) override
    {
        writes.emplace_back(r, r + n);
        return true;
    }
    bool bulk(int, std::uint8_t, std::uint8_t pipe, std::uint8_t* d, std::uint32_t n,
              std::uint32_t* done, std::uint32_t*) override
    {
        if (pipe & 0x80) {
            *done = static_cast<std::uint32_t>(std::min<std::size_t>(n, reply.size()));
            std::memcpy(d, reply.data(), *done);
        } else {
            writes.emplace_back(d, d + n);
            *done = n;
        }
        return true;
    }
};

sim_identity hid_device(std::uint16_t feature_length)
{
    sim_identity id;
    id.product_id = 0x0150;
    id.product = "Panel";
    sim_interface hid;
    hid.number = 0;
    hid.iface_class = 3;
    hid.driver = SIM_DRIVER_HID;
    hid.usage_page = VENDOR_USAGE_PAGE;
    hid.usage = VENDOR_USAGE;
    hid.feature_length = feature_length;
    sim_interface winusb;
    winusb.number = 1;
    id.interfaces = {hid, winusb};
    return id;
}

sim_identity bridge_device(std::vector<sim_pipe> pipes = {{0x81, PLAT_USB_PIPE_BULK, 64},
                                                          {0x02, PLAT_USB_PIPE_BULK, 64}})
{
    sim_identity id;
    id.product_id = BRIDGE_PRODUCT_ID;
    id.product = "Bridge";
    sim_interface bulk;
    bulk.number = 0;
    bulk.pipes = std::move(pipes);
    id.interfaces = {bulk};
    return id;
}

bytes with_payload(bytes head, std::size_t payload_length)
{
    for (std::size_t i = 0; i < payload_length; ++i)
        head.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    return head;
}

class ReportChannel : public ::testing::Test {
protected:
    wire_peer peer;
    report_channel* channel = nullptr;

    void SetUp() override { fresh_bus(); }
    void TearDown() override
    {
        report_channel_close(channel);
        EXPECT_EQ(sim_bus_open_objects(), 0) << "something was left open";
    }
    void open_hid(std::uint16_t feature_length)
    {
        sim_bus_add_device(hid_device(feature_length), &peer);
        channel = report_channel_open(DEVICE_VENDOR_ID, 0x0150, nullptr);
        ASSERT_NE(channel, nullptr);
        ASSERT_EQ(channel->kind, REPORT_CHANNEL_HID);
    }
    void open_bridge()
    {
        sim_bus_add_device(bridge_device(), &peer);
        channel = report_channel_open(DEVICE_VENDOR_ID, BRIDGE_PRODUCT_ID, nullptr);
        ASSERT_NE(channel, nullptr);
        ASSERT_EQ(channel->kind, REPORT_CHANNEL_BRIDGE);
    }
};

}  // namespace

TEST_F(ReportChannel, HidRequestsAreWholeZeroPaddedReportsWithinTheLengthLimit)
{
    open_hid(257);
    EXPECT_EQ(report_channel_payload_size(channel), 256);
    const bytes payload = with_payload({}, 254);
    struct {
        int length;
        int result;
    } cases[] = {{0, 0}, {1, 1}, {253, 253}, {254, -1}, {-1, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        peer.writes.clear();
        EXPECT_EQ(report_channel_set(channel, 0x03, c.length, payload.data()), c.result);
        if (c.result < 0) {
            EXPECT_TRUE(peer.writes.empty()) << "nothing is sent for a request too long";
            continue;
        }
        ASSERT_EQ(peer.writes.size(), 1u);
        bytes expected = with_payload({0xFF, 0x03, static_cast<std::uint8_t>(c.length),
                                       static_cast<std::uint8_t>(c.length >> 8)},
                                      static_cast<std::size_t>(c.length));
        expected.resize(257, 0);
        EXPECT_EQ(peer.writes[0], expected);
    }
}

TEST_F(ReportChannel, HidLimitsFollowTheFeatureLength)
{
    open_hid(65);
    EXPECT_EQ(report_channel_payload_size(channel), 64);
    EXPECT_EQ(report_channel_set(channel, 1, 61, nullptr), 61);  // no payload given: zeros
    EXPECT_EQ(report_channel_set(channel, 1, 62, nullptr), -1);
    ASSERT_EQ(peer.writes.size(), 1u);
    bytes expected(65, 0);
    expected[0] = 0xFF;
    expected[1] = 1;
    expected[2] = 61;
    EXPECT_EQ(peer.writes[0], expected);
}

TEST_F(ReportChannel, BridgeRequestsAreAlways260ByteTaggedFrames)
{
    open_bridge();
    EXPECT_EQ(report_channel_payload_size(channel), 256);
    const bytes payload = with_payload({}, 253);
    struct {
        int length;
        int result;
    } cases[] = {{0, 0}, {248, 248}, {252, 252}, {253, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        peer.writes.clear();
        EXPECT_EQ(report_channel_set(channel, 0x02, c.length, payload.data()), c.result);
        if (c.result < 0) {
            EXPECT_TRUE(peer.writes.empty());
            continue;
        }
        ASSERT_EQ(peer.writes.size(), 1u);
        bytes expected = with_payload({'T', 'Q', 'P', 'S', 0x02, static_cast<std::uint8_t>(c.length),
                                       static_cast<std::uint8_t>(c.length >> 8)},
                                      static_cast<std::size_t>(c.length));
        expected.resize(260, 0);
        EXPECT_EQ(peer.writes[0], expected);
    }
}

// Each reply as the device sends it, and what the host makes of it: the
// result and the payload placed.
TEST_F(ReportChannel, HidRepliesAreAcceptedByCodeStatusAndFit)
{
    open_hid(257);
    struct {
        const char* what;
        bytes reply;
        int result;
        std::size_t placed;
    } cases[] = {
        {"well formed", {0xFF, 3, 0, 2, 0, 0xAA, 0xBB}, 2, 2},
        {"report ID not examined", {0x00, 3, 0, 1, 0, 0x11}, 1, 1},
        {"empty payload", {0xFF, 3, 0, 0, 0}, 0, 0},
        {"another command", {0xFF, 2, 0, 2, 0, 0xAA, 0xBB}, -1, 0},
        {"non-zero status", {0xFF, 3, 5, 2, 0, 0xAA, 0xBB}, -1, 0},
        {"largest payload", with_payload({0xFF, 3, 0, 252, 0}, 252), 252, 252},
        {"length past the report", with_payload({0xFF, 3, 0, 253, 0}, 252), -1, 0},
        {"length far past the report", {0xFF, 3, 0, 0xFF, 0xFF}, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        peer.reply = c.reply;
        bytes dest(256, 0xEE);
        EXPECT_EQ(report_channel_get(channel, 3, dest.data()), c.result);
        bytes expected(256, 0xEE);
        std::copy_n(c.reply.begin() + 5, c.placed, expected.begin());
        EXPECT_EQ(dest, expected);
        // The host reads into a zeroed report with its ID set.
        bytes handed(257, 0);
        handed[0] = 0xFF;
        EXPECT_EQ(peer.get_buffer, handed);
    }
    peer.reply = {0xFF, 3, 0, 2, 0, 0xAA, 0xBB};
    EXPECT_EQ(report_channel_get(channel, 3, nullptr), 2) << "no destination: nothing placed, length told";
}

TEST_F(ReportChannel, BridgeRepliesAreAskedForThenReadAndAcceptedByCodeStatusAndFit)
{
    open_bridge();
    struct {
        const char* what;
        bytes reply;
        int result;
        std::size_t placed;
    } cases[] = {
        {"well formed", {'T', 'Q', 'P', 'R', 3, 0, 2, 0, 0xAA, 0xBB}, 2, 2},
        {"tag not examined", {0, 1, 2, 3, 3, 0, 1, 0, 0x11}, 1, 1},
        {"code and status only", {0, 0, 0, 0, 3, 0}, 0, 0},
        {"another command", {0, 0, 0, 0, 4, 0, 2, 0, 0xAA, 0xBB}, -1, 0},
        {"non-zero status", {0, 0, 0, 0, 3, 1, 2, 0, 0xAA, 0xBB}, -1, 0},
        {"largest payload", with_payload({0, 0, 0, 0, 3, 0, 251, 0}, 251), 251, 251},
        {"length past the frame", with_payload({0, 0, 0, 0, 3, 0, 252, 0}, 252), -1, 0},
        {"length past what arrived", with_payload({0, 0, 0, 0, 3, 0, 20, 0}, 19), -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        peer.writes.clear();
        peer.reply = c.reply;
        bytes dest(256, 0xEE);
        EXPECT_EQ(report_channel_get(channel, 3, dest.data()), c.result);
        bytes expected(256, 0xEE);
        std::copy_n(c.reply.begin() + 8, c.placed, expected.begin());
        EXPECT_EQ(dest, expected);
        ASSERT_EQ(peer.writes.size(), 1u);
        EXPECT_EQ(peer.writes[0], (bytes{'T', 'Q', 'P', 'G'})) << "the read request goes alone";
    }
}

TEST(ReportChannelFaults, AFailedTransferIsAFailedExchange)
{
    struct {
        const char* fault;
        bool bridge;
        bool get;  // else set
    } cases[] = {
        {"set-feature-fail", false, false},
        {"get-feature-fail", false, true},
        {"write-fail", true, false},
        {"write-fail", true, true},  // the read request
        {"read-fail", true, true},
        {"write-short=259", true, false},  // a frame the device got only part of
        {"write-short=3", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + (c.get ? " on a get" : " on a set"));
        fresh_bus();
        wire_peer peer;
        peer.reply = c.bridge ? bytes{0, 0, 0, 0, 3, 0, 0, 0} : bytes{0xFF, 3, 0, 0, 0};
        sim_bus_add_device(c.bridge ? bridge_device() : hid_device(257), &peer);
        report_channel* channel =
            report_channel_open(DEVICE_VENDOR_ID, c.bridge ? BRIDGE_PRODUCT_ID : 0x0150, nullptr);
        ASSERT_NE(channel, nullptr);
        sim_controller parser;
        std::string error;
        ASSERT_TRUE(sim_controller_faults(parser, c.fault, &error)) << error;
        if (c.get)
            EXPECT_EQ(report_channel_get(channel, 3, nullptr), -1);
        else
            EXPECT_EQ(report_channel_set(channel, 3, 0, nullptr), -1);
        // The next exchange goes through again.
        EXPECT_EQ(c.get ? report_channel_get(channel, 3, nullptr) : report_channel_set(channel, 3, 0, nullptr), 0);
        report_channel_close(channel);
        EXPECT_EQ(sim_bus_open_objects(), 0);
    }
}

TEST_F(ReportChannel, OpenPicksTheKindByIdsAndLeavesNothingOpenOnFailure)
{
    sim_bus_add_device(hid_device(257), &peer);
    EXPECT_EQ(report_channel_open(DEVICE_VENDOR_ID, BRIDGE_PRODUCT_ID, nullptr), nullptr)
        << "the bridge's IDs make a bridge channel, and there is no bridge";
    EXPECT_EQ(report_channel_open(DEVICE_VENDOR_ID, 0x0151, nullptr), nullptr);
    channel = report_channel_open(DEVICE_VENDOR_ID, 0x0150, nullptr);
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->kind, REPORT_CHANNEL_HID);
    EXPECT_EQ(report_channel_payload_size(nullptr), -1);
    report_channel_close(nullptr);

    // A bridge without an OUT pipe is not usable, and is closed again.
    sim_bus_add_device(bridge_device({{0x81, PLAT_USB_PIPE_BULK, 64}, {0x03, PLAT_USB_PIPE_INTERRUPT, 8}}),
                       &peer);
    const int before = sim_bus_open_objects();
    EXPECT_EQ(usb_bridge_open(DEVICE_VENDOR_ID, BRIDGE_PRODUCT_ID, 0, nullptr), nullptr);
    EXPECT_EQ(sim_bus_open_objects(), before) << "the half-opened bridge is closed again";
    usb_bridge_close(nullptr);
}

TEST(ReportChannelBridge, OpenRecordsThePipes)
{
    fresh_bus();
    wire_peer peer;
    sim_bus_add_device(bridge_device({{0x83, PLAT_USB_PIPE_INTERRUPT, 8},
                                      {0x82, PLAT_USB_PIPE_BULK, 512},
                                      {0x81, PLAT_USB_PIPE_BULK, 64},
                                      {0x01, PLAT_USB_PIPE_BULK, 256}}),
                       &peer);
    usb_bridge* bridge = usb_bridge_open(DEVICE_VENDOR_ID, BRIDGE_PRODUCT_ID, 0, nullptr);
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(bridge->in_pipe, 0x82);
    EXPECT_EQ(bridge->in_max_packet, 512);
    EXPECT_EQ(bridge->out_pipe, 0x01);
    EXPECT_EQ(bridge->out_max_packet, 256);
    EXPECT_EQ(bridge->payload_size, 256);
    usb_bridge_close(bridge);
    EXPECT_EQ(sim_bus_open_objects(), 0);
}
