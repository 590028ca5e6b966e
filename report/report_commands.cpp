#include "report/report_commands.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "usb/usb_device_win.h"
#include "usb/wire.h"

namespace {

constexpr int INFO_HEADER = 5;          // magic, status
constexpr int FLASH_STATUS_HEADER = 2;  // busy, result code
constexpr int READ_INFO_HEADER = 8;     // total, offset
constexpr int DATA_HEADER = 4;          // offset
constexpr int DATA_ROOM = 8;            // payload room a data chunk leaves unused

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

// Room for one reply's payload, whatever the channel's payload size (never
// less than the bridge's 256 bytes).
class reply_buffer {
public:
    explicit reply_buffer(const report_channel* channel)
    {
        const int n = report_channel_payload_size(channel);
        size_ = n > USB_BRIDGE_PAYLOAD_SIZE ? static_cast<std::size_t>(n) : USB_BRIDGE_PAYLOAD_SIZE;
        if (size_ > sizeof small_) {
            large_.reset(static_cast<std::uint8_t*>(std::calloc(1, size_)));
            data_ = large_.get();
        }
    }
    std::uint8_t* data() { return data_; }

private:
    std::uint8_t small_[USB_BRIDGE_PAYLOAD_SIZE] = {};
    std::unique_ptr<std::uint8_t, free_deleter> large_;
    std::uint8_t* data_ = small_;
    std::size_t size_ = 0;
};

void emit(progress_fn progress, int event, int arg)
{
    if (progress)
        progress(event, arg);
}

// A device text: up to its NUL, never past the payload it came in nor past
// the caller's buffer, always terminated.
void copy_text(char* out, std::size_t out_size, const std::uint8_t* text, int text_length)
{
    std::size_t n = 0;
    const std::size_t limit = text_length > 0 ? static_cast<std::size_t>(text_length) : 0;
    while (n < limit && n + 1 < out_size && text[n] != 0) {
        out[n] = static_cast<char>(text[n]);
        ++n;
    }
    out[n] = '\0';
}

}  // namespace

int report_get_info(report_channel* channel, int* status, char* text)
{
    text[0] = '\0';
    if (report_channel_set(channel, REPORT_CMD_INFO, 0, nullptr) < 0)
        return -1;
    reply_buffer reply(channel);
    if (!reply.data())
        return -1;
    const int length = report_channel_get(channel, REPORT_CMD_INFO, reply.data());
    // The whole magic and the status must be there before they are read.
    if (length < INFO_HEADER)
        return -1;
    if (wire_get32(reply.data()) != REPORT_INFO_MAGIC)
        return -1;
    *status = reply.data()[4];
    if (*status != 0)
        return -2;
    copy_text(text, REPORT_TEXT_SIZE, reply.data() + INFO_HEADER, length - INFO_HEADER);
    return 0;
}

int report_prepare(report_channel* channel)
{
    if (report_channel_set(channel, REPORT_CMD_PREPARE, 0, nullptr) < 0)
        return -1;
    reply_buffer reply(channel);
    if (!reply.data())
        return -1;
    for (std::uint32_t polls = 1;; ++polls) {
        const int length = report_channel_get(channel, REPORT_CMD_PREPARE, reply.data());
        if (length < 1)
            return -1;
        sleep_ms(REPORT_POLL_INTERVAL_MS);
        if (reply.data()[0] != 0)
            return 0;
        if (polls >= REPORT_PREPARE_MAX_POLLS)
            return -1;
    }
}

int report_send_image(report_channel* channel, const std::uint8_t* image, std::int32_t size,
                      progress_fn progress)
{
    emit(progress, REPORT_EVENT_TRANSFER_BEGIN, 0);
    const int payload_size = report_channel_payload_size(channel);
    // A channel too small to carry image bytes would never get through.
    if (payload_size <= DATA_ROOM || size < 0 || (size > 0 && !image)) {
        emit(progress, REPORT_EVENT_TRANSFER_END, -1);
        return -1;
    }
    const int chunk = payload_size - DATA_ROOM;
    std::unique_ptr<std::uint8_t, free_deleter> request(
        static_cast<std::uint8_t*>(std::calloc(1, static_cast<std::size_t>(chunk + DATA_HEADER))));
    reply_buffer reply(channel);
    if (!request || !reply.data()) {
        emit(progress, REPORT_EVENT_TRANSFER_END, -1);
        return -1;
    }

    std::uint32_t sent = 0;
    for (std::int32_t offset = 0; offset < size; offset += chunk) {
        const int length = size - offset < chunk ? size - offset : chunk;
        wire_put32(request.get(), static_cast<std::uint32_t>(offset));
        std::memcpy(request.get() + DATA_HEADER, image + offset, static_cast<std::size_t>(length));
        if (report_channel_set(channel, REPORT_CMD_DATA, length + DATA_HEADER, request.get()) < 0) {
            emit(progress, REPORT_EVENT_TRANSFER_END, -1);
            return -1;
        }
        ++sent;
        emit(progress, REPORT_EVENT_TRANSFER_PROGRESS,
             static_cast<int>(std::int64_t{offset} * 100 / size));
        if (size - offset <= chunk)
            break;  // offset + chunk could pass the largest int32
    }

    // The device counts in 16 bits.
    const int length = report_channel_get(channel, REPORT_CMD_DATA, reply.data());
    if (length < 2 || wire_get16(reply.data()) != (sent & 0xFFFFu)) {
        emit(progress, REPORT_EVENT_TRANSFER_END, -1);
        return -1;
    }
    emit(progress, REPORT_EVENT_TRANSFER_END, 0);
    return 0;
}

int report_flash_status(report_channel* channel, std::int32_t size, int* result_code, char* text,
                        progress_fn progress)
{
    emit(progress, REPORT_EVENT_FLASH_BEGIN, 0);
    *result_code = 0;
    text[0] = '\0';
    std::uint8_t request[4];
    wire_put32(request, static_cast<std::uint32_t>(size));
    if (report_channel_set(channel, REPORT_CMD_FLASH_STATUS, sizeof request, request) < 0) {
        emit(progress, REPORT_EVENT_FLASH_END, -1);
        return -1;
    }
    reply_buffer reply(channel);
    if (!reply.data()) {
        emit(progress, REPORT_EVENT_FLASH_END, -1);
        return -1;
    }
    for (std::uint32_t polls = 1;; ++polls) {
        const int length = report_channel_get(channel, REPORT_CMD_FLASH_STATUS, reply.data());
        if (length < FLASH_STATUS_HEADER) {
            emit(progress, REPORT_EVENT_FLASH_END, -1);
            return -1;
        }
        if (reply.data()[0] == 0) {
            *result_code = static_cast<std::int8_t>(reply.data()[1]);
            copy_text(text, REPORT_TEXT_SIZE, reply.data() + FLASH_STATUS_HEADER,
                      length - FLASH_STATUS_HEADER);
            emit(progress, REPORT_EVENT_FLASH_END, 0);
            return 0;
        }
        emit(progress, REPORT_EVENT_FLASH_BUSY, 0);
        if (polls >= REPORT_FLASH_STATUS_MAX_POLLS) {
            emit(progress, REPORT_EVENT_FLASH_END, -1);
            return -1;
        }
        sleep_ms(REPORT_POLL_INTERVAL_MS);
    }
}

int report_reset(report_channel* channel)
{
    if (report_prepare(channel) < 0)
        return -1;
    return report_channel_set(channel, REPORT_CMD_RESET, 0, nullptr) < 0 ? -1 : 0;
}

int report_read_info(report_channel* channel, char* text)
{
    if (report_channel_set(channel, REPORT_CMD_READ_INFO, 0, nullptr) < 0)
        return -1;
    reply_buffer reply(channel);
    if (!reply.data())
        return -1;
    for (std::uint32_t replies = 0; replies < REPORT_READ_INFO_MAX_REPLIES; ++replies) {
        const int length = report_channel_get(channel, REPORT_CMD_READ_INFO, reply.data());
        if (length < READ_INFO_HEADER)
            return -1;
        const std::uint32_t total = wire_get32(reply.data());
        const std::uint32_t offset = wire_get32(reply.data() + 4);
        // The text and its terminator must fit the buffer, and so must
        // every fragment at its offset.
        if (total >= REPORT_READ_INFO_SIZE)
            return -1;
        if (offset >= total) {
            text[total] = '\0';
            return 0;
        }
        const std::uint32_t fragment = static_cast<std::uint32_t>(length - READ_INFO_HEADER);
        if (std::uint64_t{offset} + fragment > REPORT_READ_INFO_SIZE)
            return -1;
        std::memcpy(text + offset, reply.data() + READ_INFO_HEADER, fragment);
    }
    return -1;
}

int report_upgrade(report_channel* channel, const std::uint8_t* image, std::int32_t size,
                   char* text, int* result_code, progress_fn progress)
{
    *result_code = 0;
    if (report_prepare(channel) < 0)
        return -1;
    if (report_send_image(channel, image, size, progress) < 0)
        return -1;
    text[0] = '\0';
    return report_flash_status(channel, size, result_code, text, progress);
}
