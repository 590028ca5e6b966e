// The Linux backend against emulated hardware: the simulated controllers sit
// behind umockdev's sysfs and device nodes, and both the seam (in this
// process) and the real flash-tool (as a child) reach them through real
// libusb and hidraw calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/sim_bus.h"
#include "sim/sim_controller.h"
#include "tests/umockdev/umockdev_bed.h"
#include "usb/usb_device_win.h"
#include "usb/usbhid_device_win.h"

namespace {

constexpr int RUN_LIMIT_S = 40;

std::vector<std::string> name_list()
{
    std::vector<char> buffer(1 << 20);
    const std::uint32_t n = plat_query_dos_device(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    std::vector<std::string> names;
    for (std::uint32_t pos = 0; pos < n;) {
        names.emplace_back(buffer.data() + pos);
        pos += static_cast<std::uint32_t>(names.back().size() + 1);
    }
    return names;
}

std::vector<std::uint8_t> builtin_image()
{
    std::ifstream in(BUILTIN_IMAGE_FILE, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Output with the banner's build date cut out.
std::string without_date(std::string text)
{
    const std::string key = "[Build Info: ";
    const std::size_t at = text.find(key);
    if (at != std::string::npos) {
        const std::size_t end = text.find(']', at);
        text.replace(at + key.size(), end - at - key.size(), "DATE");
    }
    return text;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class LinuxBackend : public ::testing::Test {
protected:
    std::unique_ptr<um_bed, void (*)(um_bed*)> bed{um_bed_new()};
    sim_controller controller;

    void attach(const char* kind)
    {
        um_bed_lock(bed.get());
        ASSERT_TRUE(sim_controller_configure(controller, kind));
        controller.attach();
        um_bed_unlock(bed.get());
        um_bed_sync(bed.get());
    }
    um_run run(std::vector<std::string> args)
    {
        args.insert(args.begin(), FLASH_TOOL);
        return um_bed_run(bed.get(), args, RUN_LIMIT_S);
    }
    std::string sim_transcript(const char* kind, const std::string& options)
    {
        const std::string command = std::string(FLASH_TOOL_SIM) + " --sim-controller=" + kind + " " + options;
        std::string out;
        if (FILE* p = popen(command.c_str(), "r")) {
            char buf[4096];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
                out.append(buf, n);
            pclose(p);
        }
        return without_date(out);
    }
};

// --- the seam, in this process ----------------------------------------------

TEST_F(LinuxBackend, NamesHaveTheWindowsShapePerInterface)
{
    EXPECT_TRUE(name_list().empty());
    attach("dfu");
    const std::vector<std::string> names = name_list();
    ASSERT_EQ(names.size(), 3u);  // device node, MI_00, MI_01
    EXPECT_EQ(names[0].rfind("USB#VID_3F1C&PID_0150#", 0), 0u) << names[0];
    EXPECT_TRUE(contains(names[0], "{a5dcbf10-6530-11d2-901f-00c04fb951ed}"));
    EXPECT_EQ(names[1].rfind("USB#VID_3F1C&PID_0150&MI_00#", 0), 0u) << names[1];
    EXPECT_EQ(names[2].rfind("USB#VID_3F1C&PID_0150&MI_01#", 0), 0u) << names[2];
    EXPECT_TRUE(contains(names[2], "{dee824ef-729b-4a0e-9c14-b7117d33a817}"));

    // Only the interface no kernel driver holds is served; the HID one (usbhid) and
    // the device node are not.
    for (std::size_t i = 0; i < names.size(); ++i) {
        plat_handle file = plat_create_file(("\\\\?\\" + names[i]).c_str(), PLAT_GENERIC_READ | PLAT_GENERIC_WRITE,
                                            PLAT_FILE_SHARE_READ, PLAT_FILE_FLAG_OVERLAPPED);
        ASSERT_NE(file, PLAT_INVALID_HANDLE) << names[i];
        plat_winusb winusb = nullptr;
        EXPECT_EQ(plat_winusb_initialize(file, &winusb), i == 2) << names[i];
        if (i != 2)
            EXPECT_EQ(plat_get_last_error(), PLAT_ERROR_BAD_COMMAND);
        else
            EXPECT_TRUE(plat_winusb_free(winusb));
        EXPECT_TRUE(plat_close_handle(file));
    }
    EXPECT_EQ(usb_device_probe(nullptr), 0x0150);

    // In DFU mode the device has one interface: one name, without MI_.
    um_bed_lock(bed.get());
    controller.leave_bus(SIM_MODE_DFU);
    um_bed_unlock(bed.get());
    um_bed_sync(bed.get());
    EXPECT_TRUE(name_list().empty());
    for (int i = 0; i < 200 && usb_device_probe(nullptr) == 0; ++i) {
        plat_sleep(10);
        um_bed_sync(bed.get());
    }
    const std::vector<std::string> dfu = name_list();
    ASSERT_EQ(dfu.size(), 1u);
    EXPECT_EQ(dfu[0].rfind("USB#VID_3F1C&PID_0004#", 0), 0u) << dfu[0];
    EXPECT_FALSE(contains(dfu[0], "MI_"));
    EXPECT_EQ(usb_device_probe(nullptr), 0x0004);
}

TEST_F(LinuxBackend, StallGivesGenFailureAndAVanishedDeviceFails)
{
    attach("dfu");
    usb_device* dev = usb_device_open(0x3F1C, 0x0150, 1, nullptr);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(usb_device_bcd_device(dev), SIM_RUNTIME_BCD);

    // A vendor request the controller does not know: it stalls.
    plat_winusb winusb = dev->winusb_handle;
    const std::uint8_t vendor_in[8] = {0xC0, 0x01, 0, 0, 0, 0, 8, 0};
    std::uint8_t buf[64];
    std::uint32_t moved = 99;
    EXPECT_FALSE(plat_winusb_control_transfer(winusb, vendor_in, buf, sizeof buf, &moved));
    EXPECT_EQ(plat_get_last_error(), PLAT_ERROR_GEN_FAILURE);
    EXPECT_EQ(moved, 0u);

    // A string descriptor travels as a real control transfer.
    std::uint32_t got = 0;
    ASSERT_TRUE(plat_winusb_get_descriptor(winusb, 3, 2, 0x0409, buf, sizeof buf, &got));
    EXPECT_EQ(got, 2 + 2 * controller.product.size());

    // The device leaves the bus: the open handle fails from then on.
    um_bed_lock(bed.get());
    sim_bus_detach(controller.device);
    um_bed_unlock(bed.get());
    um_bed_sync(bed.get());
    const std::uint8_t dfu_getstatus[8] = {0xA1, 3, 0, 0, 1, 0, 6, 0};
    EXPECT_FALSE(plat_winusb_control_transfer(winusb, dfu_getstatus, buf, sizeof buf, &moved));
    EXPECT_EQ(plat_get_last_error(), PLAT_ERROR_DEVICE_NOT_CONNECTED);
    usb_device_close(dev);
    EXPECT_EQ(usb_device_probe(nullptr), 0);
}

TEST_F(LinuxBackend, HidInterfaceIsFoundThroughHidrawAndSysfs)
{
    attach("report");
    usbhid_device* hid = usbhid_device_open(0x3F1C, 0xFFFF, nullptr);
    ASSERT_NE(hid, nullptr);
    EXPECT_EQ(hid->product_id, 0x0150);
    EXPECT_EQ(usbhid_device_feature_length(hid), 257);
    usbhid_device_close(hid);

    // The serial number comes from the USB parent in sysfs.
    hid = usbhid_device_open(0x3F1C, 0xFFFF, controller.serial.c_str());
    EXPECT_NE(hid, nullptr);
    usbhid_device_close(hid);
    EXPECT_EQ(usbhid_device_open(0x3F1C, 0xFFFF, "NOT-THIS-ONE"), nullptr);

    // A controller without the vendor collection is passed over.
    um_bed_lock(bed.get());
    sim_bus_detach(controller.device);
    controller.has_vendor_hid = false;
    sim_bus_attach_after(controller.device, controller.identity(SIM_MODE_RUNTIME), 0);
    um_bed_unlock(bed.get());
    um_bed_sync(bed.get());
    EXPECT_EQ(usbhid_device_open(0x3F1C, 0xFFFF, nullptr), nullptr);
}

TEST_F(LinuxBackend, BridgePipesComeFromTheInterfaceDescriptor)
{
    attach("bridge");
    usb_device* dev = usb_device_open(0x3F1C, 0x800E, 0, nullptr);
    ASSERT_NE(dev, nullptr);  // one interface: found by the pass without MI_
    std::uint32_t in = 0, in_size = 0, out = 0, out_size = 0;
    EXPECT_EQ(usb_device_find_bulk_pipes(dev, &in, &in_size, &out, &out_size), 1);
    EXPECT_EQ(in, 0x81u);
    EXPECT_EQ(in_size, 64u);
    EXPECT_EQ(out, 0x02u);
    EXPECT_EQ(out_size, 64u);
    // A pipe the interface does not have, or the wrong direction, is refused.
    std::uint8_t buf[8] = {};
    std::uint32_t moved = 0;
    EXPECT_FALSE(plat_winusb_write_pipe(dev->winusb_handle, 0x03, buf, sizeof buf, &moved));
    EXPECT_EQ(plat_get_last_error(), PLAT_ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(plat_winusb_read_pipe(dev->winusb_handle, 0x02, buf, sizeof buf, &moved));
    usb_device_close(dev);
}

// --- the real program -------------------------------------------------------------

TEST_F(LinuxBackend, NothingAttached)
{
    const um_run r = run({"-n"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "No Ovandrel device detected\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "* Operations failed! Please retry or call tech support. *")) << r.out;
}

// Each controller kind upgraded by flash-tool over libusb and hidraw, with
// the same transcript as on the virtual bus, and the image kept.
struct upgrade_case {
    const char* kind;
    std::vector<std::string> options;
    const char* interface_line;
};

class LinuxUpgrade : public LinuxBackend, public ::testing::WithParamInterface<upgrade_case> {};

TEST_P(LinuxUpgrade, UpgradesAndLeavesTheImage)
{
    const upgrade_case& c = GetParam();
    attach(c.kind);
    const um_run r = run(c.options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, c.interface_line)) << r.out;
    EXPECT_TRUE(contains(r.out, "Operations succeeded!")) << r.out;
    std::string options;
    for (const std::string& o : c.options)
        options += o + " ";
    EXPECT_EQ(without_date(r.out), sim_transcript(c.kind, options));
    um_bed_lock(bed.get());
    const std::vector<std::uint8_t> image = builtin_image();
    EXPECT_EQ(controller.firmware.size(), image.size());
    EXPECT_TRUE(controller.firmware == image);
    um_bed_unlock(bed.get());
}

INSTANTIATE_TEST_SUITE_P(Controllers, LinuxUpgrade,
                         ::testing::Values(upgrade_case{"dfu", {"-n"}, "flash-tool using USB DFU interface\n\n"},
                                           upgrade_case{"report", {"-n"}, "flash-tool using USB HID interface\n\n"},
                                           upgrade_case{"tqp", {"-f", "-n"}, "flash-tool using USB TQP interface\n"}),
                         [](const auto& info) { return std::string(info.param.kind); });

}  // namespace
