// A TQP connection: the link, the transport, the client core and the
// device's client_info, with the exchanges the front end's TQP branch
// runs: hello, system error, upgrade, restart and close.
#pragma once

#include <cstdint>

#include "app/console.h"
#include "tqp/tqp_client.h"
#include "tqp/tqptransport.h"

// How long the host keeps polling a controller that answers "still
// programming" before it gives up with 110.
constexpr std::uint32_t TQP_PROGRAM_TIMEOUT_MS = 180000;

struct tqp_connection {
    tqp_client_core core;
    transport_driver driver;
    client_info device_info;
    log_fn log_info;
    log_fn log_error;
    std::int32_t retries;
    std::int32_t is_open;
    usbhid_device* hid;
};

void tqp_connection_defaults(tqp_connection* c);
void tqp_connection_set_logs(tqp_connection* c, log_fn info, log_fn error);
tqp_client_core* tqp_connection_core(tqp_connection* c);
int tqp_connection_device_info(tqp_connection* c, const client_info** out);

// 0; TQP_ERR_LINK when the string does not begin with "USB" or the link
// does not open; TQP_ERR_HELLO when the hello failed in any way.
int tqp_open(tqp_connection* c, const char* connection, const char* client_name);
int tqp_close(tqp_connection* c);

int tqp_hello(tqp_connection* c, client_info* own, client_info* device);
int tqp_begin_upgrade(tqp_connection* c, std::uint32_t image_size);
int tqp_write_data(tqp_connection* c, const std::uint8_t* bytes, std::uint32_t count);
int tqp_program(tqp_connection* c);
int tqp_system_error(tqp_connection* c, std::uint64_t* value);
int tqp_reset(tqp_connection* c);
int tqp_end(tqp_connection* c);
int tqp_idle(tqp_connection* c);

// 0, or the code of the failed step; prints its progress and failures
// through the connection's sinks.
int tqp_upgrade(tqp_connection* c, const std::uint8_t* image, std::uint32_t size);
