// DFU status decoding, upload and the whole transfer (download, the
// manifestation poll, the upload of the result text) against a DFU-mode
// device whose answers are the input.
#include <cstdint>
#include <cstring>

#include "dfu/dfu_engine.h"
#include "dfu/dfu_request.h"
#include "fuzz/fuzz_peer.h"
#include "sim/sim_controller.h"

namespace {

int quiet(dfu_handle*, int, std::intptr_t) { return 0; }

const sim_identity& dfu_identity()
{
    static const sim_identity id = fuzz_model_identity("dfu", SIM_MODE_DFU);
    return id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t which = data[0];
    fuzz_peer peer(data + 1, size - 1);
    sim_bus_reset();
    const sim_identity& identity = dfu_identity();
    sim_bus_add_device(identity, &peer);

    dfu_handle* handle = dfu_new(identity.vendor_id, identity.product_id, 0, nullptr);
    if (!handle)
        return 0;
    static std::uint8_t image[9000];
    switch (which % 3) {
    case 0: {
        dfu_status st;
        for (int i = 0; i < 32 && peer.size > 0; ++i)
            if (dfu_get_status(dfu_usb_device(handle), &st) == 6)
                if (!dfu_status_name(st.bStatus))
                    __builtin_trap();
        break;
    }
    case 1: {
        std::uint8_t block[DFU_UPLOAD_BLOCK];
        for (int i = 0; i < 64 && peer.size > 0; ++i)
            if (dfu_upload(dfu_usb_device(handle), block, i) < 0)
                break;
        break;
    }
    default:
        dfu_transfer(handle, image, which & 8 ? 0 : sizeof image, quiet);
        if (std::strlen(dfu_info_text(handle)) >= DFU_INFO_SIZE)
            __builtin_trap();
        break;
    }
    dfu_take_message(handle);
    dfu_free(handle);
    if (sim_bus_open_objects() != 0)
        __builtin_trap();
    return 0;
}
