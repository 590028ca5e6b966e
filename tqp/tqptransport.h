// TQP transport framing: messages of 1 to 2047 bytes cut into fixed-size
// frames for the link and joined again, and the idle hook that bounds a
// wait for an answer.
#pragma once

#include <cstdint>

#include "tqp/tqp_client.h"
#include "tqp/tqp_link.h"

constexpr std::uint32_t TQP_MAX_MESSAGE = 2047;

// How long the host waits for the answer to a request before the idle
// hook reports a time-out (110). Generous: a controller may erase its
// whole flash before it answers the begin-upgrade request.
constexpr std::uint32_t TQPTRANSPORT_ANSWER_TIMEOUT_MS = 30000;

struct transport_driver {
    std::uint8_t frame_out_tmp_buffer[TQP_FRAME_SIZE];
    tqp_send_frame_fn send_frame;
    tqp_receive_frame_fn receive_frame;
    std::uint32_t tq_frame_size;
    void* context;
    std::uint32_t answer_timeout_ms;  // 0: waits are not bounded
    std::uint64_t wait_start_ms;      // when the last message went out
};

int tqptransport_init(transport_driver* driver, const struct link* link);
void tqptransport_close(transport_driver* driver);
int tqptransport_bind(transport_driver* driver, tqp_client_core* core);
// 0 when every frame went to the link; 4 for an invalid message or a
// link failure.
int tqptransport_send(void* driver, const std::uint8_t* message, std::uint32_t length);
// 0 with a whole message, or with length 0 when nothing arrived; 5 on a
// link failure or a malformed, missing or out-of-sequence frame.
int tqptransport_receive(void* driver, const std::uint8_t** message, std::uint32_t* length);
// 110 once the answer to the last message sent is overdue, else 0.
int tqptransport_idle(void* driver);
