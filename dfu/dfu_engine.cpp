#include "dfu/dfu_engine.h"

#include <cstdlib>
#include <cstring>

#include "dfu/dfu_request.h"

namespace {

const char* const MSG_RECOVER_STATUS = "\n[ERROR: Communication error (1)]\n";
const char* const MSG_RECOVER_CLEAR = "\n[ERROR: Communication error (2)]\n";
const char* const MSG_RECOVER_ABORT = "\n[ERROR: Communication error (3)]\n";
const char* const MSG_DOWNLOAD = "\n[ERROR: Communication error (4)]\n";
const char* const MSG_MANIFEST_STATUS = "\n[ERROR: Communication error (5)]\n";
const char* const MSG_MANIFEST_TIMEOUT = "\n[ERROR: Manifestation timed out (6)]\n";

constexpr std::uint32_t MANIFEST_POLL_MS = 100;
// Two minutes of polls: far beyond any real manifestation, short of a hang.
constexpr std::uint32_t MANIFEST_POLL_LIMIT = 1200;

void emit(dfu_progress_fn callback, dfu_handle* h, int event, std::intptr_t arg)
{
    if (callback)
        callback(h, event, arg);
}

int dfu_recover(dfu_handle* h)
{
    dfu_status st{};
    if (dfu_get_status(h->device, &st) < 0) {
        h->message = MSG_RECOVER_STATUS;
        return -1;
    }
    if (st.bState == DFU_STATE_ERROR && dfu_clear_status(h->device) < 0) {
        h->message = MSG_RECOVER_CLEAR;
        return -1;
    }
    if ((st.bState == DFU_STATE_DNLOAD_IDLE || st.bState == DFU_STATE_UPLOAD_IDLE) &&
        dfu_abort(h->device) < 0) {
        h->message = MSG_RECOVER_ABORT;
        return -1;
    }
    return 0;
}

// 0 done; -1 a request failed, event 6 emitted with 0.
int dfu_download(dfu_handle* h, const std::uint8_t* image, std::uint32_t size, dfu_progress_fn callback)
{
    std::uint32_t offset = 0;
    std::int32_t block = 0;
    for (;;) {
        // An empty image has sent nothing before its only (zero-length) block.
        const std::uint32_t percent =
            size ? static_cast<std::uint32_t>(std::uint64_t{offset} * 100 / size) : 0;
        emit(callback, h, DFU_EVENT_PROGRESS, percent);
        const std::uint32_t rest = size - offset;
        const std::uint32_t length = rest < DFU_BLOCK_SIZE ? rest : DFU_BLOCK_SIZE;
        const int sent = dfu_dnload(h->device, image + offset, length, block);
        // A non-empty block that the device took none of would be sent again
        // and again: that is as much a failure as a refused request.
        if (sent < 0 || (length > 0 && sent == 0)) {
            h->message = MSG_DOWNLOAD;
            emit(callback, h, DFU_EVENT_DOWNLOAD_END, 0);
            return -1;
        }
        if (length == 0)
            break;
        ++block;
        offset += static_cast<std::uint32_t>(sent);
    }
    emit(callback, h, DFU_EVENT_PROGRESS, 100);
    emit(callback, h, DFU_EVENT_MANIFEST_BEGIN, 0);
    return 0;
}

// 0 the poll ended (in dfuIDLE or dfuERROR, event 6 emitted); -1 it failed.
int dfu_manifest(dfu_handle* h, dfu_progress_fn callback)
{
    dfu_status st{};
    for (std::uint32_t polls = 0;; ++polls) {
        if (polls == MANIFEST_POLL_LIMIT) {
            h->message = MSG_MANIFEST_TIMEOUT;
            emit(callback, h, DFU_EVENT_DOWNLOAD_END, 0);
            return -1;
        }
        sleep_ms(MANIFEST_POLL_MS);
        if (dfu_get_status(h->device, &st) < 0) {
            h->message = MSG_MANIFEST_STATUS;
            emit(callback, h, DFU_EVENT_DOWNLOAD_END, 0);
            return -1;
        }
        emit(callback, h, DFU_EVENT_MANIFEST_POLL, 0);
        if ((st.bState & ~8u) == DFU_STATE_IDLE)
            break;
    }
    if (st.bState == DFU_STATE_IDLE) {
        emit(callback, h, DFU_EVENT_DOWNLOAD_END, 1);
    } else {
        h->message = dfu_status_name(st.bStatus);
        h->status = st.bStatus;
        emit(callback, h, DFU_EVENT_DOWNLOAD_END, -1);
    }
    return 0;
}

// Text length on a complete upload; -1 when a request failed. Stops, as
// complete, when the text fills the room (terminator kept free).
int dfu_upload_text(dfu_handle* h, std::uint32_t* length)
{
    std::uint32_t len = 0;
    std::int32_t block = 0;
    int result = 0;
    for (;;) {
        std::uint8_t chunk[DFU_UPLOAD_BLOCK];
        const int got = dfu_upload(h->device, chunk, block);
        if (got < 0) {
            result = -1;
            break;
        }
        const std::uint32_t room = DFU_INFO_SIZE - 1 - len;
        const std::uint32_t take = static_cast<std::uint32_t>(got) < room ? static_cast<std::uint32_t>(got) : room;
        std::memcpy(h->info + len, chunk, take);
        len += take;
        ++block;
        if (got < static_cast<int>(DFU_UPLOAD_BLOCK) || len == DFU_INFO_SIZE - 1)
            break;
    }
    for (std::uint32_t i = 0; i < len; ++i) {
        if (h->info[i] == '\0')
            h->info[i] = ' ';
    }
    *length = len;
    return result;
}

}  // namespace

dfu_handle* dfu_new(std::uint16_t vendor_id, std::uint16_t product_id, std::int32_t interface_number,
                    const char* serial)
{
    auto* h = static_cast<dfu_handle*>(std::calloc(1, sizeof(dfu_handle)));
    if (!h)
        return nullptr;
    h->device = usb_device_open(vendor_id, product_id, interface_number, serial);
    if (!h->device) {
        std::free(h);
        return nullptr;
    }
    return h;
}

void dfu_free(dfu_handle* handle)
{
    if (!handle)
        return;
    usb_device_close(handle->device);
    std::free(handle);
}

const char* dfu_take_message(dfu_handle* handle)
{
    const char* m = handle->message;
    handle->message = nullptr;
    return m;
}

char* dfu_info_text(dfu_handle* handle) { return handle->info; }

usb_device* dfu_usb_device(dfu_handle* handle) { return handle->device; }

int dfu_detach_device(dfu_handle* handle, const char* kind, dfu_progress_fn callback)
{
    emit(callback, handle, DFU_EVENT_DETACH_BEGIN, reinterpret_cast<std::intptr_t>(kind));
    bool ok = true;
    if (usb_device_product_id(handle->device) == DFU_MODE_PRODUCT_ID) {
        dfu_status st{};
        ok = dfu_get_status(handle->device, &st) >= 0 &&
             (st.bState == DFU_STATE_IDLE || dfu_clear_status(handle->device) >= 0);
    }
    if (ok)
        ok = dfu_detach(handle->device) >= 0;
    emit(callback, handle, DFU_EVENT_DETACH_END, ok ? 1 : 0);
    return ok ? 0 : -1;
}

int dfu_transfer(dfu_handle* handle, const std::uint8_t* image, std::int32_t size, dfu_progress_fn callback)
{
    if (dfu_recover(handle) < 0)
        return -1;
    if (image) {
        handle->status = 0;
        emit(callback, handle, DFU_EVENT_DOWNLOAD_BEGIN, 0);
        const std::uint32_t bytes = size > 0 ? static_cast<std::uint32_t>(size) : 0;
        if (dfu_download(handle, image, bytes, callback) < 0 || dfu_manifest(handle, callback) < 0)
            return -1;
    }
    if (dfu_recover(handle) < 0)
        return -1;
    emit(callback, handle, DFU_EVENT_UPLOAD_BEGIN, 0);
    std::uint32_t length = 0;
    if (dfu_upload_text(handle, &length) < 0) {
        emit(callback, handle, DFU_EVENT_UPLOAD_END, 0);
    } else {
        handle->info[length] = '\0';
        emit(callback, handle, DFU_EVENT_UPLOAD_END, image ? 2 : 1);
    }
    return handle->status != 0 ? -2 : 0;
}
