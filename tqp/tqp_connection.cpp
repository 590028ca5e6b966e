#include "tqp/tqp_connection.h"

#include <cstring>

#include "platform/platform.h"

namespace {

int silent_log(const char*, ...) { return 0; }

struct data_chunk {
    const std::uint8_t* bytes;
    std::uint32_t count;
};

using request_fn = int (*)(tqp_client_core* core, const void* arg);

int request_hello(tqp_client_core* core, const void* arg)
{
    return tqp_send_hello(core, static_cast<const client_info*>(arg));
}
int request_begin_upgrade(tqp_client_core* core, const void* arg)
{
    return tqp_send_begin_upgrade(core, *static_cast<const std::uint32_t*>(arg));
}
int request_data(tqp_client_core* core, const void* arg)
{
    const auto* chunk = static_cast<const data_chunk*>(arg);
    return tqp_send_data(core, chunk->bytes, chunk->count);
}
int request_program(tqp_client_core* core, const void*) { return tqp_send_program(core); }
int request_reset(tqp_client_core* core, const void*) { return tqp_send_reset(core); }
int request_close(tqp_client_core* core, const void*) { return tqp_send_close(core); }
int request_system_error(tqp_client_core* core, const void*) { return tqp_send_system_error(core); }

// One request and the wait for its answer, with the retry rule: 0 with the
// answer in *answer, or the code that ended the exchange. The wait ends
// when the answer arrives, a receive fails, or the idle hook reports that
// the answer is overdue; an overdue answer is asked for again while the
// budget lasts.
int exchange(tqp_connection* c, std::uint8_t code, request_fn send, const void* arg, int* budget,
             tqp_answer* answer)
{
    for (;;) {
        *answer = tqp_answer{nullptr, 0};
        const int sent = send(&c->core, arg);
        if (sent != 0)
            return sent;
        // The mark belongs to this send: a request sent again starts its
        // wait afresh, so that an answer to it is not taken for overdue.
        int mark = 0;
        int r = TQP_ERR_AGAIN;
        while ((r = tqp_wait_answer(&c->core, answer, code)) == TQP_ERR_AGAIN) {
            mark = tqp_idle(c);
            if (mark == TQP_ERR_TIMEOUT)
                break;
        }
        if (mark == TQP_ERR_TIMEOUT) {
            if (*budget > 0) {
                --*budget;
                continue;
            }
            return TQP_ERR_TIMEOUT;
        }
        if (r != TQP_OK)
            return TQP_ERR_IO;
        return TQP_OK;
    }
}

int status_exchange(tqp_connection* c, std::uint8_t code, request_fn send, const void* arg)
{
    int budget = c->retries;
    tqp_answer answer{nullptr, 0};
    const int r = exchange(c, code, send, arg, &budget, &answer);
    return r != TQP_OK ? r : tqp_answer_status(&answer);
}

// Back to the unbound state; the hooks and last_error stay.
void unbind(tqp_client_core* core)
{
    tqp_client_core fresh;
    tqp_client_core_defaults(&fresh);
    core->max_message = fresh.max_message;
    core->receive = fresh.receive;
    core->send = fresh.send;
    core->idle = fresh.idle;
    core->transport = fresh.transport;
}

void release(tqp_connection* c)
{
    tqptransport_close(&c->driver);
    unbind(&c->core);
    tqp_link_close(&c->hid);
    c->is_open = 0;
}

}  // namespace

void tqp_connection_defaults(tqp_connection* c)
{
    std::memset(c, 0, sizeof *c);
    tqp_client_core_defaults(&c->core);
    c->log_info = silent_log;
    c->log_error = silent_log;
    c->retries = 0;
    c->is_open = 0;
    c->hid = nullptr;
}

void tqp_connection_set_logs(tqp_connection* c, log_fn info, log_fn error)
{
    c->log_info = info;
    c->log_error = error;
}

tqp_client_core* tqp_connection_core(tqp_connection* c) { return &c->core; }

int tqp_connection_device_info(tqp_connection* c, const client_info** out)
{
    *out = &c->device_info;
    return 0;
}

int tqp_idle(tqp_connection* c)
{
    return c->core.idle(c->core.transport) == TQP_ERR_TIMEOUT ? TQP_ERR_TIMEOUT : 0;
}

int tqp_hello(tqp_connection* c, client_info* own, client_info* device)
{
    int budget = c->retries;
    for (int pass = 0; pass < 2; ++pass) {
        tqp_answer answer{nullptr, 0};
        const int r = exchange(c, TQP_REQ_HELLO, request_hello, own, &budget, &answer);
        if (r != TQP_OK)
            return r;
        const int parsed = tqp_parse_hello_answer(&c->core, &answer, device);
        if (parsed == TQP_OK || parsed == TQP_ERR_CLIENT_INFO || parsed == TQP_ERR_BAD_ANSWER ||
            pass == 1)
            return parsed;
        // Rejected: speak the device's protocol version and try once more.
        client_info_convert(own, device->record);
    }
    return TQP_ERR_HELLO;  // not reached
}

int tqp_begin_upgrade(tqp_connection* c, std::uint32_t image_size)
{
    return status_exchange(c, TQP_REQ_BEGIN_UPGRADE, request_begin_upgrade, &image_size);
}

int tqp_write_data(tqp_connection* c, const std::uint8_t* bytes, std::uint32_t count)
{
    const data_chunk chunk{bytes, count};
    return status_exchange(c, TQP_REQ_DATA, request_data, &chunk);
}

int tqp_program(tqp_connection* c)
{
    return status_exchange(c, TQP_REQ_PROGRAM, request_program, nullptr);
}

int tqp_reset(tqp_connection* c) { return status_exchange(c, TQP_REQ_RESET, request_reset, nullptr); }

int tqp_end(tqp_connection* c) { return status_exchange(c, TQP_REQ_CLOSE, request_close, nullptr); }

int tqp_system_error(tqp_connection* c, std::uint64_t* value)
{
    int budget = c->retries;
    tqp_answer answer{nullptr, 0};
    const int r = exchange(c, TQP_REQ_SYSTEM_ERROR, request_system_error, nullptr, &budget, &answer);
    return r != TQP_OK ? r : tqp_parse_system_error(&answer, value);
}

int tqp_open(tqp_connection* c, const char* connection, const char* client_name)
{
    if (!connection || std::strncmp(connection, "USB", 3) != 0)
        return TQP_ERR_LINK;
    // The serial is whatever follows "USB:", of any length.
    const char* serial = std::strlen(connection) > 3 && connection[3] == ':' ? connection + 4 : nullptr;
    if (tqp_link_open(&c->hid, serial) != 0)
        return TQP_ERR_LINK;
    struct link link_record;
    tqp_link_init(&c->hid, &link_record);
    tqptransport_init(&c->driver, &link_record);
    tqptransport_bind(&c->driver, &c->core);
    c->is_open = 1;

    client_info own;
    client_info_init(&own);
    client_info_set_name(&own, client_name);
    if (tqp_hello(c, &own, &c->device_info) == TQP_OK)
        return TQP_OK;
    release(c);
    return TQP_ERR_HELLO;
}

int tqp_close(tqp_connection* c)
{
    if (c->is_open == 1) {
        (void)tqp_end(c);  // the device may already be restarting
        release(c);
    }
    return 0;
}

int tqp_upgrade(tqp_connection* c, const std::uint8_t* image, std::uint32_t size)
{
    if (!image) {
        c->log_error("NOTICE: Not doing upgrade since no image provided\n");
        return 0;
    }
    c->log_info("* Initialize     ");
    int r = tqp_begin_upgrade(c, size);
    if (r != 0) {
        c->log_error("[FAIL]: Failed to prepare firmware upgrade\n");
        return r;
    }
    c->log_info("[OK]\n");
    c->log_info("* Transfer image ");
    const std::uint32_t chunk = tqp_max_data(&c->core);
    if (chunk == 0 && size > 0) {  // no transport bound: nothing can carry the image
        c->log_error("[FAIL %d]\n", TQP_ERR_IO);
        return TQP_ERR_IO;
    }
    for (std::uint32_t offset = 0; offset < size; offset += chunk) {
        const std::uint32_t count = size - offset < chunk ? size - offset : chunk;
        r = tqp_write_data(c, image + offset, count);
        if (r != 0) {
            c->log_error("[FAIL %d]\n", r);
            return r;
        }
    }
    c->log_info("[OK]\n");
    c->log_info("* Program image  ");
    r = tqp_program(c);
    if (r != 0) {
        c->log_error("[FAIL %d]\n", r);
        return r;
    }
    // A controller that reports "still programming" for ever must not hold
    // the station for ever.
    const std::uint64_t start = plat_tick_count_ms();
    while ((r = tqp_program(c)) == TQP_ERR_AGAIN) {
        if (plat_tick_count_ms() - start >= TQP_PROGRAM_TIMEOUT_MS) {
            r = TQP_ERR_TIMEOUT;
            break;
        }
        c->log_info(".");
    }
    if (r != 0) {
        c->log_error("[FAIL %d]\n", r);
        return r;
    }
    c->log_info("[OK]\n");
    return 0;
}
