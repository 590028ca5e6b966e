// Finding and using the vendor HID collection over the virtual bus.
#include <gtest/gtest.h>

#include <vector>

#include "support.h"
#include "usb/usbhid_device_win.h"

namespace {

sim_interface hid(std::uint8_t number, std::uint16_t page, std::uint16_t usage, std::uint16_t length = 257)
{
    sim_interface i;
    i.number = number;
    i.iface_class = 3;
    i.driver = SIM_DRIVER_HID;
    i.usage_page = page;
    i.usage = usage;
    i.feature_length = length;
    return i;
}

sim_identity device(std::uint16_t vid, std::uint16_t pid, std::vector<sim_interface> ifs,
                    std::string serial = "")
{
    sim_identity id;
    id.vendor_id = vid;
    id.product_id = pid;
    id.product = "Panel";
    id.serial = std::move(serial);
    sim_interface winusb;
    winusb.number = static_cast<std::uint8_t>(ifs.size());
    ifs.push_back(winusb);
    id.interfaces = std::move(ifs);
    return id;
}

class feature_peer : public sim_peer {
public:
    int sets = 0, gets = 0;
    std::uint32_t last_length = 0;
    bool get_feature(int, std::uint8_t, std::uint8_t* r, std::uint32_t n) override
    {
        ++gets;
        last_length = n;
        r[1] = 0x42;
        return true;
    }
    bool set_feature(int, std::uint8_t, const std::uint8_t*, std::uint32_t n) override
    {
        ++sets;
        last_length = n;
        return true;
    }
};

class UsbHid : public ::testing::Test {
protected:
    void SetUp() override { fresh_bus(); }
    void TearDown() override { EXPECT_EQ(sim_bus_open_objects(), 0) << "something was left open"; }
};

}  // namespace

TEST_F(UsbHid, OpensTheVendorCollectionOnlyAndTakesTheDevicesIds)
{
    sim_bus_add_device(device(0x046D, 0xC077, {hid(0, 0x0001, 0x0002)}), nullptr);           // a mouse
    sim_bus_add_device(device(0x3F1C, 0x0150, {hid(0, 0xFF01, 0x02), hid(1, 0xFF00, 0xF1),  // near misses
                                               hid(2, 0xFF01, 0xF1, 65)}),
                       nullptr);
    sim_bus_add_device(device(0x3F1C, 0x0151, {hid(0, 0xFF01, 0xF1)}), nullptr);
    usbhid_device* dev = usbhid_device_open(ANY_ID, ANY_ID, nullptr);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->vendor_id, 0x3F1C);
    EXPECT_EQ(dev->product_id, 0x0150);
    EXPECT_EQ(usbhid_device_feature_length(dev), 65);  // the first match, interface 2
    usbhid_device_close(dev);

    dev = usbhid_device_open(0x3F1C, 0x0151, nullptr);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(usbhid_device_feature_length(dev), 257);
    usbhid_device_close(dev);

    EXPECT_EQ(usbhid_device_open(0x3F1C, 0x0999, nullptr), nullptr);
}

TEST_F(UsbHid, SerialPicksTheHidInterfaceOfThatDevice)
{
    sim_bus_add_device(device(0x3F1C, 0x0150, {hid(0, 0xFF01, 0xF1)}, "AAA"), nullptr);
    sim_bus_add_device(device(0x3F1C, 0x0150, {hid(0, 0xFF01, 0xF1, 129)}, "BBB"), nullptr);
    usbhid_device* dev = usbhid_device_open(0x3F1C, 0x0150, "BBB");
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(usbhid_device_feature_length(dev), 129);
    usbhid_device_close(dev);
    dev = usbhid_device_open(0x3F1C, 0x0150, "Panel");  // the product string also selects
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(usbhid_device_feature_length(dev), 257);
    usbhid_device_close(dev);
    EXPECT_EQ(usbhid_device_open(0x3F1C, 0x0150, "CCC"), nullptr);
}

TEST_F(UsbHid, EnumerationThatKeepsFailingEnds)
{
    sim_bus_add_device(device(0x3F1C, 0x0150, {hid(0, 0xFF01, 0xF1)}), nullptr);
    sim_bus_add_fault(sim_fault{SIM_CALL_HID_ENUM, 1, 0, SIM_FAULT_FAIL, 13, 0});
    EXPECT_EQ(usbhid_device_open(ANY_ID, ANY_ID, nullptr), nullptr);
    EXPECT_LE(sim_bus_call_count(SIM_CALL_HID_ENUM), USBHID_MAX_ENUM_ERRORS);
}

TEST_F(UsbHid, UnusableInterfacesArePassedOver)
{
    sim_bus_add_device(device(0x3F1C, 0x0150, {hid(0, 0xFF01, 0xF1)}), nullptr);
    sim_bus_add_device(device(0x3F1C, 0x0151, {hid(0, 0xFF01, 0xF1)}), nullptr);
    const sim_call calls[] = {SIM_CALL_HID_ENUM, SIM_CALL_HID_DETAIL, SIM_CALL_CREATE_FILE,
                              SIM_CALL_HID_ATTRIBUTES, SIM_CALL_HID_PREPARSED, SIM_CALL_HID_CAPS};
    for (sim_call call : calls) {
        sim_bus_reset();
        sim_bus_add_device(device(0x3F1C, 0x0150, {hid(0, 0xFF01, 0xF1)}), nullptr);
        sim_bus_add_device(device(0x3F1C, 0x0151, {hid(0, 0xFF01, 0xF1)}), nullptr);
        sim_bus_add_fault(sim_fault{call, 1, 1, SIM_FAULT_FAIL, 31, 0});
        usbhid_device* dev = usbhid_device_open(ANY_ID, ANY_ID, nullptr);
        ASSERT_NE(dev, nullptr) << call;
        EXPECT_EQ(dev->product_id, 0x0151) << call;
        usbhid_device_close(dev);
        EXPECT_EQ(sim_bus_open_objects(), 0) << call;
    }
    sim_bus_reset();
    sim_bus_add_fault(sim_fault{SIM_CALL_HID_LIST, 1, 1, SIM_FAULT_FAIL, 31, 0});
    EXPECT_EQ(usbhid_device_open(ANY_ID, ANY_ID, nullptr), nullptr);
}

TEST_F(UsbHid, FeatureTransfersMoveWholeReports)
{
    feature_peer peer;
    sim_bus_add_device(device(0x3F1C, 0x0150, {hid(0, 0xFF01, 0xF1)}), &peer);
    usbhid_device* dev = usbhid_device_open(0x3F1C, 0x0150, nullptr);
    ASSERT_NE(dev, nullptr);
    std::vector<std::uint8_t> report(257, 0);
    report[0] = 0xFF;
    EXPECT_EQ(usbhid_device_set_feature(dev, report.data()), 257);
    EXPECT_EQ(peer.last_length, 257u);
    EXPECT_EQ(usbhid_device_get_feature(dev, report.data()), 257);
    EXPECT_EQ(report[1], 0x42);
    sim_bus_add_fault(sim_fault{SIM_CALL_GET_FEATURE, 2, 1, SIM_FAULT_FAIL, 31, 0});
    EXPECT_EQ(usbhid_device_get_feature(dev, report.data()), -1);
    sim_bus_add_fault(sim_fault{SIM_CALL_SET_FEATURE, 2, 1, SIM_FAULT_FAIL, 31, 0});
    EXPECT_EQ(usbhid_device_set_feature(dev, report.data()), -1);
    usbhid_device_close(dev);

    EXPECT_EQ(usbhid_device_feature_length(nullptr), -1);
    EXPECT_EQ(usbhid_device_get_feature(nullptr, report.data()), -1);
    EXPECT_EQ(usbhid_device_set_feature(nullptr, report.data()), -1);
    usbhid_device_close(nullptr);
}
