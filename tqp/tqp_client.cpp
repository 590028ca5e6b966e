#include "tqp/tqp_client.h"

#include <cstring>

#include "tqp/tqp_assert.h"
#include "usb/wire.h"

namespace {

// The largest message any transport of this program carries; data
// requests are built on the stack in a buffer of this size.
constexpr std::uint32_t MESSAGE_BUFFER_SIZE = 2047;

constexpr std::size_t NAME_OFFSET_V0 = 8;
constexpr std::size_t NAME_SIZE_V0 = 28;
constexpr std::size_t SERIAL_OFFSET_V2 = 8;
constexpr std::size_t NAME_OFFSET_V2 = 18;
constexpr std::size_t NAME_SIZE_V2 = 26;

int failing_receive(void*, const std::uint8_t**, std::uint32_t*) { return 1; }
int failing_send(void*, const std::uint8_t*, std::uint32_t) { return 1; }
int default_idle(void*) { return -1; }

int send_message(tqp_client_core* core, const std::uint8_t* message, std::uint32_t length)
{
    if (core->send(core->transport, message, length) != 0) {
        core->last_error = TQP_ERR_IO;
        return TQP_ERR_IO;
    }
    return TQP_OK;
}

int send_code(tqp_client_core* core, std::uint8_t code)
{
    return send_message(core, &code, 1);
}

// The BCD number of two bytes, or -1 when a digit is above 9.
int bcd_version(const std::uint8_t* p)
{
    const int digits[4] = {p[0] >> 4, p[0] & 0x0F, p[1] >> 4, p[1] & 0x0F};
    for (int d : digits)
        if (d > 9)
            return -1;
    return digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3];
}

bool name_field(int version, std::size_t* offset, std::size_t* size)
{
    if (version == 0 || version == 1) {
        *offset = NAME_OFFSET_V0;
        *size = NAME_SIZE_V0;
        return true;
    }
    if (version == 2) {
        *offset = NAME_OFFSET_V2;
        *size = NAME_SIZE_V2;
        return true;
    }
    return false;
}

// Copies up to the text's NUL or the field's end, NUL-fills the rest and
// keeps the last byte NUL.
void write_name(std::uint8_t* field, std::size_t size, const char* text, std::size_t text_max)
{
    std::size_t i = 0;
    for (; i < size && i < text_max && text[i] != '\0'; ++i)
        field[i] = static_cast<std::uint8_t>(text[i]);
    for (; i < size; ++i)
        field[i] = 0;
    field[size - 1] = 0;
}

}  // namespace

void tqp_client_core_defaults(tqp_client_core* core)
{
    core->max_message = 0;
    core->receive = failing_receive;
    core->send = failing_send;
    core->idle = default_idle;
    core->transport = nullptr;
    core->last_error = 0;
    core->message_hook = nullptr;
    core->event_hook = nullptr;
    core->hook_context = nullptr;
}

std::uint32_t tqp_max_data(const tqp_client_core* core)
{
    return core->max_message > 0 ? core->max_message - 1 : 0;
}

int tqp_send_hello(tqp_client_core* core, const client_info* own)
{
    TQP_ASSERT("tqp_client", own->record_length <= CLIENT_INFO_RECORD_SIZE);
    std::uint8_t message[4 + CLIENT_INFO_RECORD_SIZE];
    message[0] = TQP_REQ_HELLO;
    message[1] = static_cast<std::uint8_t>(own->record_length);
    message[2] = 0;
    message[3] = 0;
    std::memcpy(message + 4, own->record, own->record_length);
    return send_message(core, message, 4 + own->record_length);
}

int tqp_send_begin_upgrade(tqp_client_core* core, std::uint32_t image_size)
{
    std::uint8_t message[5];
    message[0] = TQP_REQ_BEGIN_UPGRADE;
    wire_put32(message + 1, image_size);
    return send_message(core, message, sizeof message);
}

int tqp_send_program(tqp_client_core* core) { return send_code(core, TQP_REQ_PROGRAM); }
int tqp_send_reset(tqp_client_core* core) { return send_code(core, TQP_REQ_RESET); }
int tqp_send_close(tqp_client_core* core) { return send_code(core, TQP_REQ_CLOSE); }
int tqp_send_system_error(tqp_client_core* core) { return send_code(core, TQP_REQ_SYSTEM_ERROR); }

int tqp_send_data(tqp_client_core* core, const std::uint8_t* bytes, std::uint32_t count)
{
    if (count > tqp_max_data(core) || count > MESSAGE_BUFFER_SIZE - 1) {
        core->last_error = TQP_ERR_TOO_LONG;
        return TQP_ERR_TOO_LONG;
    }
    std::uint8_t message[MESSAGE_BUFFER_SIZE];
    message[0] = TQP_REQ_DATA;
    if (count > 0)
        std::memcpy(message + 1, bytes, count);
    return send_message(core, message, 1 + count);
}

int tqp_wait_answer(tqp_client_core* core, tqp_answer* answer, std::uint8_t code)
{
    const std::uint8_t* message = nullptr;
    std::uint32_t length = 0;
    if (core->receive(core->transport, &message, &length) != 0)
        return TQP_ERR_IO;
    if (length == 0 || message == nullptr)
        return TQP_ERR_AGAIN;
    const std::uint8_t kind = message[0];
    if (kind == TQP_ANSWER || kind == TQP_ANSWER_DATA) {
        if (length < 3) {
            *answer = tqp_answer{nullptr, 0};
            return TQP_ERR_AGAIN;
        }
        if (message[2] == TQP_EVENT && core->event_hook) {
            core->event_hook(core->hook_context);
            return TQP_ERR_AGAIN;
        }
        if (message[2] == code) {
            *answer = tqp_answer{message, length};
            return TQP_OK;
        }
        *answer = tqp_answer{nullptr, 0};  // an answer to another request
        return TQP_ERR_AGAIN;
    }
    if (kind == TQP_UNSOLICITED_DOLLAR || kind == TQP_UNSOLICITED_D ||
        kind == TQP_UNSOLICITED_APOSTROPHE) {
        if (core->message_hook)
            core->message_hook(core->hook_context, message, length);
        return TQP_ERR_AGAIN;
    }
    return TQP_ERR_AGAIN;
}

int tqp_answer_status(const tqp_answer* answer)
{
    return answer->data && answer->length >= 2 ? answer->data[1] : TQP_ERR_BAD_ANSWER;
}

int tqp_parse_hello_answer(tqp_client_core* core, const tqp_answer* answer, client_info* device)
{
    const std::uint8_t* a = answer->data;
    if (!a || answer->length < 4 || a[0] != TQP_ANSWER_DATA || a[2] != TQP_REQ_HELLO ||
        answer->length < 4u + a[3]) {
        core->last_error = TQP_ERR_BAD_ANSWER;
        return TQP_ERR_BAD_ANSWER;
    }
    if (client_info_decode(device, a + 4, a[3]) != 0) {
        core->last_error = TQP_ERR_CLIENT_INFO;
        return TQP_ERR_CLIENT_INFO;
    }
    const int status = a[1];
    if (status != 0)
        core->last_error = status;
    return status;
}

int tqp_parse_system_error(const tqp_answer* answer, std::uint64_t* value)
{
    const std::uint8_t* a = answer->data;
    if (!a || answer->length < 4 || a[0] != TQP_ANSWER_DATA || a[2] != TQP_REQ_SYSTEM_ERROR ||
        answer->length < 4u + a[3] || a[3] <= 7)
        return TQP_ERR_BAD_ANSWER;
    *value = wire_get64(a + 4);
    return a[1];
}

int client_info_init(client_info* info)
{
    std::memset(info->record, 0, sizeof info->record);
    info->record[0] = 0x00;
    info->record[1] = 0x02;
    info->record[2] = 0x00;
    info->record[3] = 0x02;
    info->version = 2;
    info->record_length = CLIENT_INFO_RECORD_SIZE;
    return 0;
}

void client_info_set_name(client_info* info, const char* name)
{
    std::size_t offset = 0, size = 0;
    const bool known = name_field(info->version, &offset, &size);
    TQP_ASSERT("tqp_client", known);
    write_name(info->record + offset, size, name ? name : "", size);
}

const std::uint8_t* client_info_protocol(const client_info* info)
{
    return info->version >= 0 && info->version <= 2 ? info->record : nullptr;
}

const std::uint8_t* client_info_sw_version(const client_info* info)
{
    return info->version >= 0 && info->version <= 2 ? info->record + 4 : nullptr;
}

const std::uint8_t* client_info_name(const client_info* info)
{
    std::size_t offset = 0, size = 0;
    return name_field(info->version, &offset, &size) ? info->record + offset : nullptr;
}

std::size_t client_info_name_size(const client_info* info)
{
    std::size_t offset = 0, size = 0;
    return name_field(info->version, &offset, &size) ? size : 0;
}

void client_info_serial(const client_info* info, char* buffer, std::size_t size)
{
    if (size == 0)
        return;
    if (info->version == 2 && size > CLIENT_INFO_SERIAL_SIZE) {
        std::memcpy(buffer, info->record + SERIAL_OFFSET_V2, CLIENT_INFO_SERIAL_SIZE);
        buffer[CLIENT_INFO_SERIAL_SIZE] = '\0';
    } else {
        buffer[0] = '\0';
    }
}

int client_info_decode(client_info* info, const std::uint8_t* bytes, std::uint32_t count)
{
    if (count <= 3)
        return TQP_ERR_CLIENT_INFO;
    const int version = bcd_version(bytes);
    info->version = version;
    if (version < 0)
        return TQP_ERR_CLIENT_INFO;
    std::size_t layout = 0;
    if (version == 0 || version == 1)
        layout = CLIENT_INFO_LAYOUT_V0;
    else if (version == 2)
        layout = CLIENT_INFO_LAYOUT_V2;
    if (layout == 0 || count < layout)
        return TQP_ERR_CLIENT_INFO;
    std::memcpy(info->record, bytes, layout);
    return 0;
}

void client_info_convert(client_info* info, const std::uint8_t protocol[4])
{
    const int version = bcd_version(protocol);
    std::size_t new_offset = 0, new_size = 0, old_offset = 0, old_size = 0;
    // Only a record that decoded gives the protocol bytes, and only the own
    // record (always a known version) is converted.
    if (!name_field(version, &new_offset, &new_size) ||
        !name_field(info->version, &old_offset, &old_size))
        return;
    const client_info old = *info;
    const int old_version = info->version;
    info->version = version;
    std::memcpy(info->record, protocol, 4);
    write_name(info->record + new_offset, new_size,
               reinterpret_cast<const char*>(old.record + old_offset), old_size);
    if (version == 2 && old_version != 2)
        std::memset(info->record + SERIAL_OFFSET_V2, 0, CLIENT_INFO_SERIAL_SIZE);  // none known
}
