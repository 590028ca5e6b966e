// TQP frame reassembly, the wait step and the answer parsers, fed frames
// from the input: each frame is one selector byte (0: no frame yet, 1: a
// link failure, else: a frame of that many bytes, cut to the frame size)
// and the frame's bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "tqp/tqp_client.h"
#include "tqp/tqptransport.h"

namespace {

struct feed {
    const std::uint8_t* data;
    std::size_t size;
    std::vector<std::uint8_t> frame;  // exactly as long as the frame handed out
};

int send_frame(void*, const std::uint8_t*, std::uint32_t) { return 0; }

int receive_frame(void* context, const std::uint8_t** frame, std::uint32_t* length)
{
    auto* f = static_cast<feed*>(context);
    if (f->size == 0)
        return 1;
    const std::uint8_t sel = f->data[0];
    ++f->data;
    --f->size;
    if (sel == 0) {
        *frame = nullptr;
        *length = 0;
        return 0;
    }
    if (sel == 1)
        return 1;
    std::size_t n = sel < TQP_FRAME_SIZE ? sel : TQP_FRAME_SIZE;
    if (n > f->size)
        n = f->size;
    f->frame.assign(f->data, f->data + n);
    f->data += n;
    f->size -= n;
    *frame = f->frame.data();
    *length = static_cast<std::uint32_t>(n);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    feed f{data, size, {}};
    struct link l{send_frame, receive_frame, TQP_FRAME_SIZE, &f};
    transport_driver driver;
    tqptransport_init(&driver, &l);
    driver.answer_timeout_ms = 0;
    tqp_client_core core;
    tqp_client_core_defaults(&core);
    tqptransport_bind(&driver, &core);

    static const std::uint8_t CODES[] = {TQP_REQ_HELLO, TQP_REQ_BEGIN_UPGRADE, TQP_REQ_PROGRAM,
                                         TQP_REQ_DATA, TQP_REQ_RESET, TQP_REQ_SYSTEM_ERROR};
    for (unsigned i = 0; i < 4096 && f.size > 0; ++i) {
        tqp_answer answer{nullptr, 0};
        const std::uint8_t code = CODES[i % sizeof CODES];
        const int r = tqp_wait_answer(&core, &answer, code);
        if (r == TQP_ERR_IO)
            continue;
        if (r != TQP_OK)
            continue;
        tqp_answer_status(&answer);
        if (code == TQP_REQ_HELLO) {
            client_info device;
            client_info_init(&device);
            if (tqp_parse_hello_answer(&core, &answer, &device) == 0) {
                char serial[CLIENT_INFO_SERIAL_SIZE + 1];
                client_info_serial(&device, serial, sizeof serial);
                if (std::strlen(serial) > CLIENT_INFO_SERIAL_SIZE)
                    __builtin_trap();
                client_info own;
                client_info_init(&own);
                client_info_convert(&own, client_info_protocol(&device));
            }
        } else if (code == TQP_REQ_SYSTEM_ERROR) {
            std::uint64_t value = 0;
            tqp_parse_system_error(&answer, &value);
        }
    }
    tqptransport_close(&driver);
    return 0;
}
