// The report channel's replies and the report commands (info, prepare,
// flash status, read-info reassembly) against a device whose answers are
// the input, on the HID collection or on the bridge (first input byte).
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "fuzz/fuzz_peer.h"
#include "report/report_commands.h"
#include "sim/sim_controller.h"
#include "usb/ids.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const bool bridge = data[0] & 1;
    const std::uint8_t which = data[1];
    fuzz_peer peer(data + 2, size - 2);
    sim_bus_reset();
    sim_identity identity;
    {
        sim_controller model;
        sim_controller_configure(model, bridge ? "bridge" : "report");
        identity = model.identity(SIM_MODE_RUNTIME);
    }
    sim_bus_add_device(identity, &peer);

    report_channel* channel = report_channel_open(identity.vendor_id, identity.product_id, nullptr);
    if (!channel)
        return 0;
    const int payload = report_channel_payload_size(channel);
    std::unique_ptr<std::uint8_t[]> dest(new std::uint8_t[payload > 0 ? payload : 1]);
    std::unique_ptr<char[]> text(new char[REPORT_READ_INFO_SIZE]);
    std::uint8_t image[600];
    for (std::size_t i = 0; i < sizeof image; ++i)
        image[i] = static_cast<std::uint8_t>(i * 7);
    int status = 0, result = 0;
    switch (which % 6) {
    case 0:
        report_get_info(channel, &status, text.get());
        break;
    case 1:
        report_read_info(channel, text.get());
        break;
    case 2:
        report_upgrade(channel, image, sizeof image, text.get(), &result, nullptr);
        break;
    case 3:
        report_flash_status(channel, sizeof image, &result, text.get(), nullptr);
        break;
    case 4:
        report_reset(channel);
        break;
    default:
        for (int i = 0; i < 64 && peer.size > 0; ++i)
            report_channel_get(channel, static_cast<std::uint8_t>(i % 6), dest.get());
        break;
    }
    report_channel_close(channel);
    if (sim_bus_open_objects() != 0)
        __builtin_trap();
    return 0;
}
