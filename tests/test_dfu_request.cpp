// The DFU class requests on the wire: setup packets, data stages, the
// DFU_GETSTATUS decoding, the detach rule and the status names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dfu/dfu_request.h"
#include "platform/platform.h"
#include "support.h"
#include "usb/usb_device_win.h"

namespace {

// A DFU interface that records each request and answers from a script.
class dfu_peer : public sim_peer {
public:
    std::vector<std::uint8_t> setup;
    std::vector<std::uint8_t> data_out;
    std::uint32_t stage = 0;
    std::vector<std::uint8_t> reply;
    std::uint32_t fail_error = 0;

    bool control(int, std::uint8_t, const std::uint8_t s[8], std::uint8_t* data, std::uint32_t length,
                 std::uint32_t* done, std::uint32_t* error) override
    {
        setup.assign(s, s + 8);
        stage = length;
        if (fail_error) {
            *error = fail_error;
            return false;
        }
        if (s[0] & 0x80) {
            const std::uint32_t n = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(reply.size()));
            std::memcpy(data, reply.data(), n);
            *done = n;
        } else {
            data_out.assign(data, data + length);
            *done = length;
        }
        return true;
    }
};

class DfuRequest : public ::testing::Test {
protected:
    dfu_peer peer;
    usb_device* dev = nullptr;

    void open(std::uint16_t pid, std::uint8_t iface_number)
    {
        fresh_bus();
        sim_identity id;
        id.product_id = pid;
        id.product = "DFU test device";
        sim_interface other;
        other.number = 0;
        sim_interface dfu;
        dfu.number = iface_number;
        id.interfaces.push_back(dfu);
        if (iface_number == 1)
            id.interfaces.insert(id.interfaces.begin(), other);
        sim_bus_add_device(id, &peer);
        dev = usb_device_open(DEVICE_VENDOR_ID, pid, iface_number, nullptr);
        ASSERT_NE(dev, nullptr);
    }
    void SetUp() override { open(DFU_MODE_PRODUCT_ID, 0); }
    void TearDown() override { usb_device_close(dev); }
};

std::vector<std::uint8_t> packet(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                 std::uint16_t index, std::uint16_t length)
{
    return {type, request, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
            static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
}

}  // namespace

TEST_F(DfuRequest, SetupPacketsAndResults)
{
    std::uint8_t buffer[64];
    dfu_status st{};
    const std::uint8_t block[5] = {1, 2, 3, 4, 5};
    peer.reply = {0, 0, 0, 0, 2, 0};
    struct row {
        const char* what;
        std::function<int()> call;
        std::vector<std::uint8_t> setup;
        int result;
    } rows[] = {
        {"detach", [&] { return dfu_detach(dev); }, packet(0x21, 0, 1000, 0, 0), 0},
        {"dnload", [&] { return dfu_dnload(dev, block, 5, 7); }, packet(0x21, 1, 7, 0, 5), 5},
        {"dnload empty", [&] { return dfu_dnload(dev, nullptr, 0, 3); }, packet(0x21, 1, 3, 0, 0), 0},
        {"dnload block 65536", [&] { return dfu_dnload(dev, block, 5, 65536); }, packet(0x21, 1, 0, 0, 5), 5},
        {"dnload block 65537", [&] { return dfu_dnload(dev, block, 5, 65537); }, packet(0x21, 1, 1, 0, 5), 5},
        {"upload", [&] { return dfu_upload(dev, buffer, 2); }, packet(0xA1, 2, 2, 0, 64), 6},
        {"getstatus", [&] { return dfu_get_status(dev, &st); }, packet(0xA1, 3, 0, 0, 6), 6},
        {"clrstatus", [&] { return dfu_clear_status(dev); }, packet(0x21, 4, 0, 0, 0), 0},
        {"abort", [&] { return dfu_abort(dev); }, packet(0x21, 6, 0, 0, 0), 0},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.call(), r.result);
        EXPECT_EQ(peer.setup, r.setup);
    }
    // The data stage of a block carries its bytes; an empty block has none.
    dfu_dnload(dev, block, 5, 0);
    EXPECT_EQ(peer.data_out, std::vector<std::uint8_t>(block, block + 5));
    dfu_dnload(dev, block, 0, 0);
    EXPECT_EQ(peer.stage, 0u);
}

TEST_F(DfuRequest, RequestsOnTheRunTimeInterfaceCarryItsNumber)
{
    usb_device_close(dev);
    dev = nullptr;
    open(0x0150, 1);
    EXPECT_EQ(dfu_detach(dev), 0);
    EXPECT_EQ(peer.setup, packet(0x21, 0, 1000, 1, 0));
    dfu_status st{};
    peer.reply = {0, 0, 0, 0, 0, 0};
    EXPECT_EQ(dfu_get_status(dev, &st), 6);
    EXPECT_EQ(peer.setup, packet(0xA1, 3, 0, 1, 6));
}

TEST_F(DfuRequest, GetStatusDecoding)
{
    struct row {
        std::vector<std::uint8_t> answer;
        int result;
        dfu_status expected;
    } rows[] = {
        {{0x00, 0xF4, 0x01, 0x00, 0x02, 0x00}, 6, {0, 500, 2, 0}},
        {{0x0A, 0x10, 0x27, 0x00, 0x0A, 0x03}, 6, {10, 10000, 10, 3}},
        {{0x07, 0xFF, 0xFF, 0xFF, 0x07, 0xFF}, 6, {7, 0xFFFFFF, 7, 255}},
        // Short answers leave the record as it was.
        {{0x0A, 0x10, 0x27, 0x00, 0x0A}, -1, {0x55, 0x55, 0x55, 0x55}},
        {{}, -1, {0x55, 0x55, 0x55, 0x55}},
    };
    for (auto& r : rows) {
        peer.reply = r.answer;
        dfu_status st{0x55, 0x55, 0x55, 0x55};
        EXPECT_EQ(dfu_get_status(dev, &st), r.result);
        EXPECT_EQ(st.bStatus, r.expected.bStatus);
        EXPECT_EQ(st.bwPollTimeout, r.expected.bwPollTimeout);
        EXPECT_EQ(st.bState, r.expected.bState);
        EXPECT_EQ(st.iString, r.expected.iString);
    }
    // A failed transfer likewise.
    peer.fail_error = PLAT_ERROR_GEN_FAILURE;
    dfu_status st{1, 2, 3, 4};
    EXPECT_EQ(dfu_get_status(dev, &st), -1);
    EXPECT_EQ(st.bState, 3);
}

TEST_F(DfuRequest, UploadStoresOnlyWhatCameAndAppendsNothing)
{
    std::uint8_t buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    peer.reply = std::vector<std::uint8_t>(10, 'a');
    EXPECT_EQ(dfu_upload(dev, buffer, 0), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 64), std::string(10, 'a') + std::string(54, '#'));
    // A device that offers more than a block gives no more than a block.
    peer.reply = std::vector<std::uint8_t>(100, 'b');
    EXPECT_EQ(dfu_upload(dev, buffer, 1), 64);
    peer.reply.clear();
    EXPECT_EQ(dfu_upload(dev, buffer, 2), 0);
}

TEST_F(DfuRequest, OnlyDetachLooksAtTheErrorCode)
{
    std::uint8_t buffer[64];
    dfu_status st{};
    const std::uint8_t block[4] = {};
    struct row {
        std::uint32_t error;
        int detach;
    } rows[] = {{PLAT_ERROR_GEN_FAILURE, 0}, {PLAT_ERROR_SEM_TIMEOUT, -1}, {PLAT_ERROR_DEVICE_NOT_CONNECTED, -1}};
    for (auto& r : rows) {
        SCOPED_TRACE(r.error);
        peer.fail_error = r.error;
        EXPECT_EQ(dfu_detach(dev), r.detach);
        EXPECT_EQ(dfu_dnload(dev, block, 4, 0), -1);
        EXPECT_EQ(dfu_upload(dev, buffer, 0), -1);
        EXPECT_EQ(dfu_get_status(dev, &st), -1);
        EXPECT_EQ(dfu_clear_status(dev), -1);
        EXPECT_EQ(dfu_abort(dev), -1);
    }
}

TEST(DfuStatusName, EveryCode)
{
    const char* names[] = {"OK", "ERROR Target", "ERROR File", "ERROR Write", "ERROR Erase",
                           "ERROR Check Erased", "ERROR Prog", "ERROR Verify", "ERROR Address",
                           "ERROR Not Done", "ERROR Firmware", "ERROR Vendor", "ERROR USBR",
                           "ERROR POR", "ERROR Unknown", "ERROR Stalled Packet"};
    for (std::uint32_t code = 0; code < 16; ++code)
        EXPECT_STREQ(dfu_status_name(code), names[code]) << code;
    for (std::uint32_t code : {16u, 255u, 0x10000u, 0xFFFFFFFFu})
        EXPECT_STREQ(dfu_status_name(code), "ERROR Unknown Status Value") << code;
}
