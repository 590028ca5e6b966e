// TQP client messages: the requests the host sends, the sorting of what
// comes back while it waits, the two answers that carry data, and the
// client_info record of the hello. Works on a tqp_client_core whose
// transport operations were bound by the transport.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes of every TQP layer. Any other value from 1 to 255 is the
// device's own status byte, passed on unchanged.
constexpr int TQP_OK = 0;
constexpr int TQP_ERR_SEND = 4;
constexpr int TQP_ERR_IO = 5;
constexpr int TQP_ERR_AGAIN = 11;
constexpr int TQP_ERR_TOO_LONG = 22;
constexpr int TQP_ERR_TIMEOUT = 110;
constexpr int TQP_ERR_CLIENT_INFO = 0x1001;
constexpr int TQP_ERR_BAD_ANSWER = 0x1002;
constexpr int TQP_ERR_HELLO = 0x2001;
constexpr int TQP_ERR_LINK = 0x2002;

// Request codes, host to device.
constexpr std::uint8_t TQP_REQ_HELLO = 0xE0;
constexpr std::uint8_t TQP_REQ_BEGIN_UPGRADE = 0xE4;
constexpr std::uint8_t TQP_REQ_PROGRAM = 0xE5;
constexpr std::uint8_t TQP_REQ_DATA = 0xE6;
constexpr std::uint8_t TQP_REQ_RESET = 0xE7;
constexpr std::uint8_t TQP_REQ_CLOSE = 0xE8;
constexpr std::uint8_t TQP_REQ_SYSTEM_ERROR = 0xE9;

// Answer markers and the event code, device to host.
constexpr std::uint8_t TQP_ANSWER = 0xF0;
constexpr std::uint8_t TQP_ANSWER_DATA = 0xF1;
constexpr std::uint8_t TQP_EVENT = 0x6B;

// First bytes of unsolicited device messages.
constexpr std::uint8_t TQP_UNSOLICITED_DOLLAR = 0x24;
constexpr std::uint8_t TQP_UNSOLICITED_D = 0x44;
constexpr std::uint8_t TQP_UNSOLICITED_APOSTROPHE = 0x27;

using tqp_receive_fn = int (*)(void* transport, const std::uint8_t** message, std::uint32_t* length);
using tqp_send_fn = int (*)(void* transport, const std::uint8_t* message, std::uint32_t length);
using tqp_idle_fn = int (*)(void* transport);
using tqp_message_hook_fn = void (*)(void* context, const std::uint8_t* message, std::uint32_t length);
using tqp_event_hook_fn = void (*)(void* context);

struct tqp_client_core {
    std::uint32_t max_message;
    tqp_receive_fn receive;
    tqp_send_fn send;
    tqp_idle_fn idle;
    void* transport;
    std::int32_t last_error;
    tqp_message_hook_fn message_hook;
    tqp_event_hook_fn event_hook;
    void* hook_context;
};

// A view of a received answer; it points into the transport's reassembly
// buffer and stays valid until the next receive.
struct tqp_answer {
    const std::uint8_t* data;
    std::uint32_t length;
};

constexpr std::size_t CLIENT_INFO_RECORD_SIZE = 46;
constexpr std::size_t CLIENT_INFO_LAYOUT_V0 = 36;  // versions 0 and 1
constexpr std::size_t CLIENT_INFO_LAYOUT_V2 = 46;
constexpr std::size_t CLIENT_INFO_SERIAL_SIZE = 10;

struct client_info {
    std::uint8_t record[CLIENT_INFO_RECORD_SIZE];
    std::int32_t version;         // 0, 1 or 2; -1 when the version is not BCD
    std::uint32_t record_length;  // how many record bytes a hello sends
};

void tqp_client_core_defaults(tqp_client_core* core);
std::uint32_t tqp_max_data(const tqp_client_core* core);

// Each sender returns 0, or 5 when the transport refused the message
// (last_error becomes 5); tqp_send_data returns 22 for an overlong chunk.
int tqp_send_hello(tqp_client_core* core, const client_info* own);
int tqp_send_begin_upgrade(tqp_client_core* core, std::uint32_t image_size);
int tqp_send_program(tqp_client_core* core);
int tqp_send_data(tqp_client_core* core, const std::uint8_t* bytes, std::uint32_t count);
int tqp_send_reset(tqp_client_core* core);
int tqp_send_close(tqp_client_core* core);
int tqp_send_system_error(tqp_client_core* core);

// Takes at most one message: 0 with the answer to `code`, 11 when nothing
// for this request came (anything else that arrived is dropped), 5 when
// the transport's receive failed.
int tqp_wait_answer(tqp_client_core* core, tqp_answer* answer, std::uint8_t code);
int tqp_answer_status(const tqp_answer* answer);
int tqp_parse_hello_answer(tqp_client_core* core, const tqp_answer* answer, client_info* device);
int tqp_parse_system_error(const tqp_answer* answer, std::uint64_t* value);

int client_info_init(client_info* info);
void client_info_set_name(client_info* info, const char* name);
const std::uint8_t* client_info_protocol(const client_info* info);
const std::uint8_t* client_info_sw_version(const client_info* info);
const std::uint8_t* client_info_name(const client_info* info);
// Size of the name field of the record's layout, 0 when it has none.
std::size_t client_info_name_size(const client_info* info);
void client_info_serial(const client_info* info, char* buffer, std::size_t size);
int client_info_decode(client_info* info, const std::uint8_t* bytes, std::uint32_t count);
void client_info_convert(client_info* info, const std::uint8_t protocol[4]);
