// The report channel's replies and the report commands (info, prepare,
// flash status, read-info reassembly) against a device whose answers are
// the input, on the HID collection or on the bridge (first input byte).
#include <cstdint>

#include "fuzz/fuzz_peer.h"
#include "report/report_commands.h"
#include "sim/sim_controller.h"
#include "usb/ids.h"

namespace {

// Made once: a controller model is too costly to build per input.
const sim_identity& identity_of(bool bridge)
{
    static const sim_identity ids[2] = {fuzz_model_identity("report", SIM_MODE_RUNTIME),
                                        fuzz_model_identity("bridge", SIM_MODE_RUNTIME)};
    return ids[bridge ? 1 : 0];
}

// Static, so ASan's redzones still guard their ends.
char text[REPORT_READ_INFO_SIZE];
std::uint8_t dest_room[1024];
std::uint8_t image[600];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const bool bridge = data[0] & 1;
    const std::uint8_t which = data[1];
    fuzz_peer peer(data + 2, size - 2);
    sim_bus_reset();
    const sim_identity& identity = identity_of(bridge);
    sim_bus_add_device(identity, &peer);

    report_channel* channel = report_channel_open(identity.vendor_id, identity.product_id, nullptr);
    if (!channel)
        return 0;
    const int payload = report_channel_payload_size(channel);
    if (payload < 0 || payload > static_cast<int>(sizeof dest_room))
        __builtin_trap();
    // Exactly the payload's room, ending where the array does.
    std::uint8_t* dest = dest_room + sizeof dest_room - payload;
    for (std::size_t i = 0; i < sizeof image; ++i)
        image[i] = static_cast<std::uint8_t>(i * 7);
    int status = 0, result = 0;
    switch (which % 6) {
    case 0:
        report_get_info(channel, &status, text);
        break;
    case 1:
        report_read_info(channel, text);
        break;
    case 2:
        report_upgrade(channel, image, sizeof image, text, &result, nullptr);
        break;
    case 3:
        report_flash_status(channel, sizeof image, &result, text, nullptr);
        break;
    case 4:
        report_reset(channel);
        break;
    default:
        for (int i = 0; i < 64 && peer.size > 0; ++i)
            report_channel_get(channel, static_cast<std::uint8_t>(i % 6), dest);
        break;
    }
    report_channel_close(channel);
    if (sim_bus_open_objects() != 0)
        __builtin_trap();
    return 0;
}
