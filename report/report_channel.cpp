#include "report/report_channel.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "usb/ids.h"
#include "usb/wire.h"

namespace {

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};
using byte_buffer = std::unique_ptr<std::uint8_t[], free_deleter>;

byte_buffer zeroed(std::size_t size)
{
    return byte_buffer(static_cast<std::uint8_t*>(std::calloc(1, size)));
}

int hid_set(usbhid_device* dev, std::uint8_t command, int length, const std::uint8_t* payload)
{
    const std::int32_t feature_length = usbhid_device_feature_length(dev);
    if (feature_length <= 0 || length < 0 || length + 3 >= feature_length)
        return -1;
    byte_buffer report = zeroed(static_cast<std::size_t>(feature_length));
    if (!report)
        return -1;
    report[0] = VENDOR_REPORT_ID;
    report[1] = command;
    wire_put16(&report[2], static_cast<std::uint32_t>(length));
    if (length > 0 && payload)
        std::memcpy(&report[REPORT_HID_REQUEST_HEADER], payload, static_cast<std::size_t>(length));
    return usbhid_device_set_feature(dev, report.get()) < 0 ? -1 : length;
}

int hid_get(usbhid_device* dev, std::uint8_t command, std::uint8_t* dest)
{
    const std::int32_t feature_length = usbhid_device_feature_length(dev);
    if (feature_length <= 4)
        return -1;
    byte_buffer report = zeroed(static_cast<std::size_t>(feature_length));
    if (!report)
        return -1;
    report[0] = VENDOR_REPORT_ID;
    if (usbhid_device_get_feature(dev, report.get()) < 0)
        return -1;
    if (report[1] != command || report[2] != 0)
        return -1;
    const int length = wire_get16(&report[3]);
    // A length the report cannot carry is a broken reply, not a payload.
    if (length + 4 >= feature_length)
        return -1;
    if (length > 0 && dest)
        std::memcpy(dest, &report[REPORT_HID_REPLY_HEADER], static_cast<std::size_t>(length));
    return length;
}

}  // namespace

report_channel* report_channel_open(std::uint16_t vendor_id, std::uint16_t product_id,
                                    const char* serial)
{
    const bool bridge = vendor_id == DEVICE_VENDOR_ID && product_id == BRIDGE_PRODUCT_ID;
    auto* channel = static_cast<report_channel*>(std::calloc(1, sizeof(report_channel)));
    if (!channel)
        return nullptr;
    channel->kind = bridge ? REPORT_CHANNEL_BRIDGE : REPORT_CHANNEL_HID;
    channel->device = nullptr;
    if (bridge)
        channel->device = usb_bridge_open(DEVICE_VENDOR_ID, BRIDGE_PRODUCT_ID, 0, serial);
    else
        channel->device = usbhid_device_open(vendor_id, product_id, serial);
    if (!channel->device) {
        std::free(channel);
        return nullptr;
    }
    return channel;
}

void report_channel_close(report_channel* channel)
{
    if (!channel)
        return;
    if (channel->kind == REPORT_CHANNEL_HID)
        usbhid_device_close(static_cast<usbhid_device*>(channel->device));
    else if (channel->kind == REPORT_CHANNEL_BRIDGE)
        usb_bridge_close(static_cast<usb_bridge*>(channel->device));
    std::free(channel);
}

int report_channel_payload_size(const report_channel* channel)
{
    if (!channel)
        return -1;
    switch (channel->kind) {
    case REPORT_CHANNEL_HID: {
        const std::int32_t feature_length =
            usbhid_device_feature_length(static_cast<const usbhid_device*>(channel->device));
        return feature_length > 0 ? feature_length - 1 : -1;
    }
    case REPORT_CHANNEL_BRIDGE:
        return USB_BRIDGE_PAYLOAD_SIZE;
    default:
        return -1;
    }
}

int report_channel_set(report_channel* channel, std::uint8_t command, int length,
                       const std::uint8_t* payload)
{
    if (!channel)
        return -1;
    if (channel->kind == REPORT_CHANNEL_HID)
        return hid_set(static_cast<usbhid_device*>(channel->device), command, length, payload);
    if (channel->kind == REPORT_CHANNEL_BRIDGE)
        return usb_bridge_set(static_cast<usb_bridge*>(channel->device), command, length, payload);
    return -1;
}

int report_channel_get(report_channel* channel, std::uint8_t command, std::uint8_t* dest)
{
    if (!channel)
        return -1;
    if (channel->kind == REPORT_CHANNEL_HID)
        return hid_get(static_cast<usbhid_device*>(channel->device), command, dest);
    if (channel->kind == REPORT_CHANNEL_BRIDGE)
        return usb_bridge_get(static_cast<usb_bridge*>(channel->device), command, dest);
    return -1;
}

usb_bridge* usb_bridge_open(std::uint16_t vendor_id, std::uint16_t product_id,
                            std::int32_t interface_number, const char* serial)
{
    auto* bridge = static_cast<usb_bridge*>(std::calloc(1, sizeof(usb_bridge)));
    if (!bridge)
        return nullptr;
    bridge->usb = usb_device_open(vendor_id, product_id, interface_number, serial);
    if (!bridge->usb) {
        std::free(bridge);
        return nullptr;
    }
    std::uint32_t in_pipe = 0, in_max = 0, out_pipe = 0, out_max = 0;
    if (usb_device_find_bulk_pipes(bridge->usb, &in_pipe, &in_max, &out_pipe, &out_max) != 1) {
        usb_device_close(bridge->usb);
        std::free(bridge);
        return nullptr;
    }
    bridge->in_pipe = static_cast<std::uint8_t>(in_pipe);
    bridge->in_max_packet = static_cast<std::int32_t>(in_max);
    bridge->out_pipe = static_cast<std::uint8_t>(out_pipe);
    bridge->out_max_packet = static_cast<std::int32_t>(out_max);
    bridge->payload_size = USB_BRIDGE_PAYLOAD_SIZE;
    return bridge;
}

void usb_bridge_close(usb_bridge* bridge)
{
    if (!bridge)
        return;
    if (bridge->usb)
        usb_device_close(bridge->usb);
    std::free(bridge);
}

int usb_bridge_set(usb_bridge* bridge, std::uint8_t command, int length, const std::uint8_t* payload)
{
    if (!bridge || bridge->payload_size <= 0 || length < 0 || length + 3 >= bridge->payload_size)
        return -1;
    const std::size_t frame_size = static_cast<std::size_t>(bridge->payload_size) + USB_BRIDGE_TAG_SIZE;
    byte_buffer frame = zeroed(frame_size);
    if (!frame)
        return -1;
    std::memcpy(&frame[0], USB_BRIDGE_SEND_TAG, USB_BRIDGE_TAG_SIZE);
    frame[4] = command;
    wire_put16(&frame[5], static_cast<std::uint32_t>(length));
    if (length > 0 && payload)
        std::memcpy(&frame[USB_BRIDGE_REQUEST_HEADER], payload, static_cast<std::size_t>(length));
    // A frame the device got only part of is no request.
    const int moved = usb_device_pipe_transfer(bridge->usb, bridge->out_pipe, frame.get(),
                                               static_cast<std::uint32_t>(frame_size));
    return moved != static_cast<int>(frame_size) ? -1 : length;
}

int usb_bridge_get(usb_bridge* bridge, std::uint8_t command, std::uint8_t* dest)
{
    if (!bridge || bridge->payload_size <= 4)
        return -1;
    byte_buffer frame = zeroed(USB_BRIDGE_FRAME_SIZE);
    if (!frame)
        return -1;
    std::uint8_t get[USB_BRIDGE_TAG_SIZE];
    std::memcpy(get, USB_BRIDGE_GET_TAG, sizeof get);
    if (usb_device_pipe_transfer(bridge->usb, bridge->out_pipe, get, sizeof get) != sizeof get)
        return -1;
    const int received =
        usb_device_pipe_transfer(bridge->usb, bridge->in_pipe, frame.get(), USB_BRIDGE_FRAME_SIZE);
    if (received < 0)
        return -1;
    if (frame[4] != command || frame[5] != 0)
        return -1;
    const int length = wire_get16(&frame[6]);
    // The length must fit the frame, and a non-empty payload must have
    // arrived: zeros the device never sent are not its payload.
    if (length + 4 >= USB_BRIDGE_PAYLOAD_SIZE)
        return -1;
    if (length > 0 && static_cast<int>(USB_BRIDGE_REPLY_HEADER) + length > received)
        return -1;
    if (length > 0 && dest)
        std::memcpy(dest, &frame[USB_BRIDGE_REPLY_HEADER], static_cast<std::size_t>(length));
    return length;
}
