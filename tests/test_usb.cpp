// WinUSB access over the virtual bus: the two scan passes, the probe,
// serial selection, class-transfer setup packets and pipe discovery.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support.h"
#include "usb/usb_device_win.h"

namespace {

sim_interface winusb_iface(std::uint8_t number, std::vector<sim_pipe> pipes = {})
{
    sim_interface i;
    i.number = number;
    i.pipes = std::move(pipes);
    return i;
}

sim_interface hid_iface(std::uint8_t number, std::uint16_t page = 0xFF01, std::uint16_t usage = 0xF1)
{
    sim_interface i;
    i.number = number;
    i.iface_class = 3;
    i.driver = SIM_DRIVER_HID;
    i.usage_page = page;
    i.usage = usage;
    i.feature_length = 257;
    return i;
}

sim_identity device(std::uint16_t pid, std::vector<sim_interface> ifs, std::string serial = "")
{
    sim_identity id;
    id.product_id = pid;
    id.product = "Touch " + std::to_string(pid);
    id.serial = std::move(serial);
    id.interfaces = std::move(ifs);
    return id;
}

// Records what the host sent and answers with a fixed reply.
class recording_peer : public sim_peer {
public:
    std::vector<std::uint8_t> setup;
    std::uint32_t buffer_length = 0;
    std::vector<std::uint8_t> reply;
    std::uint32_t fail_error = 0;

    bool control(int, std::uint8_t, const std::uint8_t s[8], std::uint8_t* data, std::uint32_t length,
                 std::uint32_t* done, std::uint32_t* error) override
    {
        setup.assign(s, s + 8);
        buffer_length = length;
        if (fail_error) {
            *error = fail_error;
            return false;
        }
        if (s[0] & 0x80) {
            *done = static_cast<std::uint32_t>(std::min<std::size_t>(reply.size(), length));
            std::memcpy(data, reply.data(), *done);
        } else {
            *done = length;
        }
        return true;
    }
};

class UsbDevice : public ::testing::Test {
protected:
    void SetUp() override { fresh_bus(); }
    void TearDown() override { EXPECT_EQ(sim_bus_open_objects(), 0) << "something was left open"; }
};

}  // namespace

TEST_F(UsbDevice, ProbeFindsACompositeDeviceThroughItsWinUsbInterface)
{
    // Interface 0 is the HID collection: its MI_00 names open but WinUSB
    // does not serve them, so the second pass finds interface 1.
    sim_bus_add_name("C:");
    sim_bus_add_device(device(0x0150, {hid_iface(0), winusb_iface(1)}), nullptr);
    EXPECT_EQ(usb_device_probe(nullptr), 0x0150);
    EXPECT_EQ(sim_bus_call_count(SIM_CALL_NAME_LIST), 2u);
    EXPECT_GT(sim_bus_call_count(SIM_CALL_WINUSB_INIT), 1u);
}

TEST_F(UsbDevice, SingleInterfaceDeviceIsFoundOnlyBySecondPass)
{
    sim_bus_add_device(device(0x0004, {winusb_iface(0)}), nullptr);
    usb_device* dev = usb_device_open(0x3F1C, ANY_ID, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(sim_bus_call_count(SIM_CALL_NAME_LIST), 2u);
    EXPECT_EQ(usb_device_vendor_id(dev), 0x3F1C);
    EXPECT_EQ(usb_device_product_id(dev), 0x0004);  // the real ID replaces ANY_ID
    EXPECT_EQ(usb_device_bcd_device(dev), 0x0100);
    EXPECT_EQ(dev->interface_number, 0);
    usb_device_close(dev);
}

TEST_F(UsbDevice, FirstPassPrefersNamesOfTheAskedInterface)
{
    // The single-interface device comes first in the list, but only the
    // composite one has an MI_00 name WinUSB serves.
    sim_bus_add_device(device(0x0004, {winusb_iface(0)}), nullptr);
    sim_bus_add_device(device(0x0200, {winusb_iface(0), winusb_iface(1)}), nullptr);
    EXPECT_EQ(usb_device_probe(nullptr), 0x0200);
    EXPECT_EQ(sim_bus_call_count(SIM_CALL_NAME_LIST), 1u);
}

TEST_F(UsbDevice, SeveralDevicesTheFirstInNameOrderWins)
{
    sim_bus_add_device(device(0x0300, {hid_iface(0), winusb_iface(1)}), nullptr);
    sim_bus_add_device(device(0x0301, {hid_iface(0), winusb_iface(1)}), nullptr);
    EXPECT_EQ(usb_device_probe(nullptr), 0x0300);
}

TEST_F(UsbDevice, ProbeSeesNothingItCannotUse)
{
    struct {
        const char* what;
        std::vector<sim_identity> devices;
        std::vector<sim_fault> faults;
    } cases[] = {
        {"no device", {}, {}},
        {"another vendor", {[] { auto d = device(0x0150, {winusb_iface(0)}); d.vendor_id = 0x1234; return d; }()}, {}},
        {"product ID 0", {device(0x0000, {winusb_iface(0)})}, {}},
        {"no WinUSB interface", {[] {
             auto d = device(0x0150, {hid_iface(0), winusb_iface(1)});
             d.interfaces[1].driver = SIM_DRIVER_OTHER;
             return d;
         }()},
         {}},
        {"name list cannot be had", {device(0x0150, {winusb_iface(0)})},
         {sim_fault{SIM_CALL_NAME_LIST, 1, 0, SIM_FAULT_FAIL, 122, 0}}},
        {"every open fails", {device(0x0150, {winusb_iface(0)})},
         {sim_fault{SIM_CALL_CREATE_FILE, 1, 0, SIM_FAULT_FAIL, 5, 0}}},
        {"WinUSB refuses", {device(0x0150, {winusb_iface(0)})},
         {sim_fault{SIM_CALL_WINUSB_INIT, 1, 0, SIM_FAULT_FAIL, 22, 0}}},
        {"descriptor unreadable", {device(0x0150, {winusb_iface(0)})},
         {sim_fault{SIM_CALL_GET_DESCRIPTOR, 1, 0, SIM_FAULT_FAIL, 31, 0}}},
    };
    for (auto& c : cases) {
        fresh_bus();
        for (auto& d : c.devices)
            sim_bus_add_device(d, nullptr);
        for (auto& f : c.faults)
            sim_bus_add_fault(f);
        EXPECT_EQ(usb_device_probe(nullptr), 0) << c.what;
        EXPECT_EQ(sim_bus_open_objects(), 0) << c.what;
    }
}

TEST_F(UsbDevice, NameListThatDoesNotFitFindsNothing)
{
    sim_bus_add_device(device(0x0150, {winusb_iface(0)}), nullptr);
    for (int i = 0; i < 5000; ++i)
        sim_bus_add_name("Volume{" + std::string(240, 'a' + i % 26) + "}");
    EXPECT_EQ(usb_device_probe(nullptr), 0);
}

TEST_F(UsbDevice, NamesLongerThanThePathBufferArePassedOver)
{
    // The device's instance part is its serial; a 300-character one makes
    // every name of the first device too long. The second is still found.
    sim_bus_add_device(device(0x0150, {winusb_iface(0)}, std::string(300, 'S')), nullptr);
    sim_bus_add_device(device(0x0151, {winusb_iface(0)}, "SHORT"), nullptr);
    EXPECT_EQ(usb_device_probe(nullptr), 0x0151);
    EXPECT_EQ(sim_bus_call_count(SIM_CALL_CREATE_FILE), 1u);  // the long names are never opened
}

TEST_F(UsbDevice, SerialSelectsByUsbSerialStringOrProductString)
{
    sim_bus_add_device(device(0x0150, {hid_iface(0), winusb_iface(1)}, "AAA111"), nullptr);
    sim_bus_add_device(device(0x0151, {hid_iface(0), winusb_iface(1)}, "BBB222"), nullptr);
    EXPECT_EQ(usb_device_probe("BBB222"), 0x0151);
    EXPECT_EQ(usb_device_probe("AAA111"), 0x0150);
    EXPECT_EQ(usb_device_probe("Touch 337"), 0x0151);  // the product string of 0x0151
    EXPECT_EQ(usb_device_probe("CCC333"), 0);
    EXPECT_EQ(usb_device_probe(""), 0);
    EXPECT_EQ(usb_device_probe(std::string(300, 'A').c_str()), 0);
}

TEST_F(UsbDevice, ClassTransfersSendTheSetupPacketsOfTheirDirection)
{
    recording_peer peer;
    sim_bus_add_device(device(0x0150, {hid_iface(0), winusb_iface(1)}), &peer);
    usb_device* dev = usb_device_open(0x3F1C, 0x0150, 1, nullptr);
    ASSERT_NE(dev, nullptr);

    const std::uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::uint32_t count = 99;
    EXPECT_EQ(usb_device_class_out(dev, 1, 0x1234, data, 10, &count), 0);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(peer.setup, (std::vector<std::uint8_t>{0x21, 0x01, 0x34, 0x12, 0x01, 0x00, 0x0A, 0x00}));
    EXPECT_EQ(peer.buffer_length, 10u);

    EXPECT_EQ(usb_device_class_out(dev, 0, 1000, nullptr, 0, &count), 0);
    EXPECT_EQ(peer.setup, (std::vector<std::uint8_t>{0x21, 0x00, 0xE8, 0x03, 0x01, 0x00, 0x00, 0x00}));

    // Device to host: wLength as asked, the platform always handed 64 bytes
    // of room; fewer bytes may come back.
    peer.reply = {0, 0xF4, 0x01, 0x00, 0x02};
    std::uint8_t in[64] = {};
    EXPECT_EQ(usb_device_class_in(dev, 3, 0, in, 6, &count), 0);
    EXPECT_EQ(peer.setup, (std::vector<std::uint8_t>{0xA1, 0x03, 0x00, 0x00, 0x01, 0x00, 0x06, 0x00}));
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(in[1], 0xF4);

    // A failed transfer leaves the count at 0 and the platform's error
    // code for the caller to read.
    peer.fail_error = 31;
    count = 7;
    EXPECT_EQ(usb_device_class_out(dev, 0, 1000, nullptr, 0, &count), -1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(plat_get_last_error(), 31u);
    peer.fail_error = 1167;
    EXPECT_EQ(usb_device_class_in(dev, 3, 0, in, 6, &count), -1);
    EXPECT_EQ(plat_get_last_error(), 1167u);
    usb_device_close(dev);
}

TEST_F(UsbDevice, TransfersFailOnceTheDeviceHasLeftTheBus)
{
    recording_peer peer;
    const int id = sim_bus_add_device(device(0x0150, {hid_iface(0), winusb_iface(1)}), &peer);
    usb_device* dev = usb_device_open(0x3F1C, 0x0150, 1, nullptr);
    ASSERT_NE(dev, nullptr);
    sim_bus_detach(id);
    sim_bus_attach_after(id, sim_bus_identity(id), 0);  // back at once, but as a new device
    std::uint32_t count = 0;
    EXPECT_EQ(usb_device_class_out(dev, 0, 0, nullptr, 0, &count), -1);
    EXPECT_EQ(plat_get_last_error(), 1167u);
    usb_device_close(dev);
}

TEST_F(UsbDevice, BulkPipeDiscovery)
{
    constexpr std::uint8_t BULK = PLAT_USB_PIPE_BULK, INTR = PLAT_USB_PIPE_INTERRUPT;
    struct {
        const char* what;
        std::vector<sim_pipe> pipes;
        int result;
        std::uint32_t in, in_max, out, out_max;  // 0xEE: left untouched
    } cases[] = {
        {"no endpoints", {}, 0, 0xEE, 0xEE, 0xEE, 0xEE},
        {"in and out", {{0x81, BULK, 64}, {0x02, BULK, 512}}, 1, 0x81, 64, 0x02, 512},
        {"only in", {{0x81, BULK, 64}}, 0, 0x81, 64, 0xEE, 0xEE},
        {"two ins: lower index wins", {{0x83, BULK, 32}, {0x81, BULK, 64}, {0x01, BULK, 64}}, 1, 0x83, 32, 0x01, 64},
        {"interrupt pipes are not bulk", {{0x81, INTR, 8}, {0x02, INTR, 8}}, 0, 0xEE, 0xEE, 0xEE, 0xEE},
    };
    for (auto& c : cases) {
        fresh_bus();
        sim_bus_add_device(device(0x0150, {winusb_iface(0, c.pipes)}), nullptr);
        usb_device* dev = usb_device_open(0x3F1C, ANY_ID, 0, nullptr);
        ASSERT_NE(dev, nullptr) << c.what;
        std::uint32_t in = 0xEE, in_max = 0xEE, out = 0xEE, out_max = 0xEE;
        EXPECT_EQ(usb_device_find_bulk_pipes(dev, &in, &in_max, &out, &out_max), c.result) << c.what;
        EXPECT_EQ(in, c.in) << c.what;
        EXPECT_EQ(in_max, c.in_max) << c.what;
        EXPECT_EQ(out, c.out) << c.what;
        EXPECT_EQ(out_max, c.out_max) << c.what;
        usb_device_close(dev);
    }
    fresh_bus();
    sim_bus_add_device(device(0x0150, {winusb_iface(0, {{0x81, BULK, 64}, {0x02, BULK, 64}})}), nullptr);
    usb_device* dev = usb_device_open(0x3F1C, ANY_ID, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    sim_bus_add_fault(sim_fault{SIM_CALL_QUERY_PIPE, 2, 1, SIM_FAULT_FAIL, 31, 0});
    std::uint32_t in = 0xEE, in_max = 0xEE, out = 0xEE, out_max = 0xEE;
    EXPECT_EQ(usb_device_find_bulk_pipes(dev, &in, &in_max, &out, &out_max), -1);
    EXPECT_EQ(in, 0x81u);  // what was found before the failure stays stored
    sim_bus_add_fault(sim_fault{SIM_CALL_QUERY_INTERFACE, 2, 1, SIM_FAULT_FAIL, 31, 0});
    EXPECT_EQ(usb_device_find_bulk_pipes(dev, &in, &in_max, &out, &out_max), -1);
    usb_device_close(dev);
}

TEST_F(UsbDevice, PipeTransferDirectionComesFromBitSeven)
{
    class echo_peer : public sim_peer {
    public:
        std::vector<std::uint8_t> last;
        bool bulk(int, std::uint8_t, std::uint8_t pipe, std::uint8_t* data, std::uint32_t length,
                  std::uint32_t* done, std::uint32_t*) override
        {
            if (pipe & 0x80) {
                const std::uint32_t n = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(last.size()));
                std::memcpy(data, last.data(), n);
                *done = n;
            } else {
                last.assign(data, data + length);
                *done = length;
            }
            return true;
        }
    } peer;
    sim_bus_add_device(device(0x800E, {winusb_iface(0, {{0x81, PLAT_USB_PIPE_BULK, 64}, {0x02, PLAT_USB_PIPE_BULK, 64}})}),
                       &peer);
    usb_device* dev = usb_device_open(0x3F1C, 0x800E, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    std::uint8_t out[4] = {'T', 'Q', 'P', 'G'};
    EXPECT_EQ(usb_device_pipe_transfer(dev, 0x02, out, 4), 4);
    std::uint8_t in[260] = {};
    EXPECT_EQ(usb_device_pipe_transfer(dev, 0x81, in, sizeof in), 4);
    EXPECT_EQ(std::memcmp(in, "TQPG", 4), 0);
    EXPECT_EQ(usb_device_pipe_transfer(dev, 0x05, out, 4), -1);  // no such pipe
    sim_bus_add_fault(sim_fault{SIM_CALL_READ_PIPE, 1, 0, SIM_FAULT_FAIL, 121, 0});
    EXPECT_EQ(usb_device_pipe_transfer(dev, 0x81, in, sizeof in), -1);
    usb_device_close(dev);
}
