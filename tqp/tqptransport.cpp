#include "tqp/tqptransport.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "tqp/tqp_assert.h"

namespace {

constexpr std::uint32_t SHORT_MAX = 127;
constexpr std::uint8_t LONG_FIRST = 0x80;
constexpr std::uint8_t CONTINUATION = 0xC0;
constexpr std::uint32_t SEQUENCE_MODULO = 32;

// Every incoming message is gathered here; only the bytes that belong to
// the message are copied, so it never needs room for filler.
std::uint8_t g_reassembly[TQP_MAX_MESSAGE];

int hand_over(transport_driver* d)
{
    return d->send_frame(d->context, d->frame_out_tmp_buffer, d->tq_frame_size);
}

}  // namespace

int tqptransport_init(transport_driver* transport_driver, const struct link* link)
{
    TQP_ASSERT("tqptransport", sizeof(transport_driver->frame_out_tmp_buffer) >= link->tq_frame_size);
    // A frame must hold the long header and at least one message byte.
    TQP_ASSERT("tqptransport", link->tq_frame_size >= 3);
    std::memset(transport_driver->frame_out_tmp_buffer, 0, sizeof transport_driver->frame_out_tmp_buffer);
    transport_driver->send_frame = link->send_frame;
    transport_driver->receive_frame = link->receive_frame;
    transport_driver->tq_frame_size = link->tq_frame_size;
    transport_driver->context = link->context;
    transport_driver->answer_timeout_ms = TQPTRANSPORT_ANSWER_TIMEOUT_MS;
    transport_driver->wait_start_ms = plat_tick_count_ms();
    return 0;
}

void tqptransport_close(transport_driver* driver)
{
    driver->send_frame = nullptr;
    driver->receive_frame = nullptr;
    driver->tq_frame_size = 0;
    driver->context = nullptr;
}

int tqptransport_bind(transport_driver* driver, tqp_client_core* core)
{
    core->send = tqptransport_send;
    core->receive = tqptransport_receive;
    core->idle = tqptransport_idle;
    core->transport = driver;
    core->max_message = TQP_MAX_MESSAGE;
    return 0;
}

int tqptransport_send(void* driver, const std::uint8_t* message, std::uint32_t n)
{
    auto* d = static_cast<transport_driver*>(driver);
    if (!d || !d->send_frame || !message || n == 0 || n > TQP_MAX_MESSAGE)
        return TQP_ERR_SEND;
    const std::uint32_t f = d->tq_frame_size;
    std::uint8_t* frame = d->frame_out_tmp_buffer;
    std::memset(frame, 0, f);
    std::uint32_t sent = 0;
    if (n <= SHORT_MAX) {
        frame[0] = static_cast<std::uint8_t>(n);
        std::memcpy(frame + 1, message, std::min(n, f - 1));
        if (hand_over(d) != 0)
            return TQP_ERR_SEND;
        sent = f - 1;
    } else {
        frame[0] = static_cast<std::uint8_t>(LONG_FIRST | ((n >> 8) & 0x07));
        frame[1] = static_cast<std::uint8_t>(n & 0xFF);
        std::memcpy(frame + 2, message, std::min(n, f - 2));
        if (hand_over(d) != 0)
            return TQP_ERR_SEND;
        sent = f - 2;
    }
    for (std::uint32_t k = 1; sent < n; k = (k + 1) % SEQUENCE_MODULO) {
        std::uint32_t chunk = f - 1;
        if (n - sent < chunk) {
            chunk = n - sent;
            std::memset(frame, 0, f);
        }
        frame[0] = static_cast<std::uint8_t>(CONTINUATION | k);
        std::memcpy(frame + 1, message + sent, chunk);
        if (hand_over(d) != 0)
            return TQP_ERR_SEND;
        sent += chunk;
    }
    d->wait_start_ms = plat_tick_count_ms();
    return 0;
}

int tqptransport_receive(void* driver, const std::uint8_t** message, std::uint32_t* length)
{
    auto* d = static_cast<transport_driver*>(driver);
    if (!d || !d->receive_frame)
        return TQP_ERR_IO;
    const std::uint32_t f = d->tq_frame_size;
    const std::uint8_t* frame = nullptr;
    std::uint32_t got = 0;
    if (d->receive_frame(d->context, &frame, &got) != 0)
        return TQP_ERR_IO;
    if (got == 0) {
        *message = g_reassembly;
        *length = 0;
        return 0;
    }
    if (got != f)
        return TQP_ERR_IO;
    const std::uint8_t h = frame[0];
    std::uint32_t n = 0, offset = 0;
    if ((h & 0x80) == 0) {
        n = h & 0x7F;
        offset = 1;
    } else if ((h & 0xC0) == LONG_FIRST) {
        n = (static_cast<std::uint32_t>(h & 0x07) << 8) | frame[1];
        offset = 2;
    } else {
        return TQP_ERR_IO;  // a message cannot begin with a continuation frame
    }
    std::uint32_t have = std::min(n, f - offset);
    std::memcpy(g_reassembly, frame + offset, have);
    for (std::uint32_t k = 1; have < n; k = (k + 1) % SEQUENCE_MODULO) {
        // Continuation frames must be there when asked for.
        if (d->receive_frame(d->context, &frame, &got) != 0 || got != f)
            return TQP_ERR_IO;
        if ((frame[0] & 0x1F) != k)
            return TQP_ERR_IO;
        const std::uint32_t chunk = std::min(f - 1, n - have);
        std::memcpy(g_reassembly + have, frame + 1, chunk);
        have += chunk;
    }
    *message = g_reassembly;
    *length = n;
    return 0;
}

int tqptransport_idle(void* driver)
{
    auto* d = static_cast<transport_driver*>(driver);
    if (!d || d->answer_timeout_ms == 0)
        return 0;
    return plat_tick_count_ms() - d->wait_start_ms >= d->answer_timeout_ms ? TQP_ERR_TIMEOUT : 0;
}
