// The win32 backend of the seam: every function hands its arguments to the
// Windows call it is named after and returns what that call gave. The only
// additions are conversions between the seam's own records and the Windows
// structures, and keeping the thread's last-error code as the seam promises.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>
// The HID class headers carry no C++ linkage block of their own.
extern "C" {
#include <hidsdi.h>
}

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "usb/wire.h"

namespace {

// GUID_DEVINTERFACE_HID, defined here so that no header needs initguid.h.
const GUID HID_INTERFACE_CLASS = {0x4D1E55B2, 0xF16F, 0x11CF,
                                  {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) <= sizeof(plat_device_interface),
              "the seam's interface record must hold SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(ULONG) == sizeof(std::uint32_t) && sizeof(DWORD) == sizeof(std::uint32_t),
              "counts pass through unchanged");

// The seam promises that a successful call leaves GetLastError as it was,
// so that an error code survives until its reader asks for it. Windows
// calls may overwrite it even when they succeed; this puts it back.
class last_error_kept {
public:
    last_error_kept() : saved_(GetLastError()) {}
    bool operator()(BOOL ok) const
    {
        if (ok)
            SetLastError(saved_);
        return ok != FALSE;
    }

private:
    DWORD saved_;
};

SP_DEVICE_INTERFACE_DATA interface_data_of(const plat_device_interface* iface)
{
    SP_DEVICE_INTERFACE_DATA data;
    std::memcpy(&data, iface, sizeof data);
    return data;
}

}  // namespace

std::uint32_t plat_query_dos_device(char* buffer, std::uint32_t size)
{
    const last_error_kept keep;
    const DWORD n = QueryDosDeviceA(nullptr, buffer, size);
    keep(n != 0);
    return n;
}

plat_handle plat_create_file(const char* path, std::uint32_t access, std::uint32_t share,
                             std::uint32_t flags)
{
    const last_error_kept keep;
    HANDLE h = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    keep(h != INVALID_HANDLE_VALUE);
    return h;
}

bool plat_close_handle(plat_handle handle)
{
    const last_error_kept keep;
    return keep(CloseHandle(handle));
}

bool plat_winusb_initialize(plat_handle file, plat_winusb* out)
{
    const last_error_kept keep;
    WINUSB_INTERFACE_HANDLE h = nullptr;
    if (!keep(WinUsb_Initialize(file, &h)))
        return false;
    *out = h;
    return true;
}

bool plat_winusb_free(plat_winusb handle)
{
    const last_error_kept keep;
    return keep(WinUsb_Free(handle));
}

bool plat_winusb_get_descriptor(plat_winusb handle, std::uint8_t type, std::uint8_t index,
                                std::uint16_t language, std::uint8_t* buffer,
                                std::uint32_t length, std::uint32_t* transferred)
{
    const last_error_kept keep;
    ULONG n = 0;
    const bool ok = keep(WinUsb_GetDescriptor(handle, type, index, language, buffer, length, &n));
    *transferred = ok ? n : 0;
    return ok;
}

bool plat_winusb_query_interface_settings(plat_winusb handle, std::uint8_t alternate,
                                          plat_interface_descriptor* out)
{
    const last_error_kept keep;
    USB_INTERFACE_DESCRIPTOR d{};
    if (!keep(WinUsb_QueryInterfaceSettings(handle, alternate, &d)))
        return false;
    *out = plat_interface_descriptor{d.bLength,           d.bDescriptorType,    d.bInterfaceNumber,
                                     d.bAlternateSetting, d.bNumEndpoints,      d.bInterfaceClass,
                                     d.bInterfaceSubClass, d.bInterfaceProtocol, d.iInterface};
    return true;
}

bool plat_winusb_query_pipe(plat_winusb handle, std::uint8_t alternate, std::uint8_t index,
                            plat_pipe_information* out)
{
    const last_error_kept keep;
    WINUSB_PIPE_INFORMATION p{};
    if (!keep(WinUsb_QueryPipe(handle, alternate, index, &p)))
        return false;
    *out = plat_pipe_information{static_cast<std::uint8_t>(p.PipeType), p.PipeId,
                                 p.MaximumPacketSize, p.Interval};
    return true;
}

bool plat_winusb_control_transfer(plat_winusb handle, const std::uint8_t setup[8],
                                  std::uint8_t* buffer, std::uint32_t length,
                                  std::uint32_t* transferred)
{
    const last_error_kept keep;
    WINUSB_SETUP_PACKET packet{};
    packet.RequestType = setup[0];
    packet.Request = setup[1];
    packet.Value = wire_get16(setup + 2);
    packet.Index = wire_get16(setup + 4);
    packet.Length = wire_get16(setup + 6);
    ULONG n = 0;
    // On failure nothing runs after the call, so its last-error code is
    // what the caller reads next.
    const bool ok = keep(WinUsb_ControlTransfer(handle, packet, buffer, length, &n, nullptr));
    *transferred = ok ? n : 0;
    return ok;
}

bool plat_winusb_read_pipe(plat_winusb handle, std::uint8_t pipe, std::uint8_t* buffer,
                           std::uint32_t length, std::uint32_t* transferred)
{
    const last_error_kept keep;
    ULONG n = 0;
    const bool ok = keep(WinUsb_ReadPipe(handle, pipe, buffer, length, &n, nullptr));
    *transferred = ok ? n : 0;
    return ok;
}

bool plat_winusb_write_pipe(plat_winusb handle, std::uint8_t pipe, const std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t* transferred)
{
    const last_error_kept keep;
    ULONG n = 0;
    // WinUsb_WritePipe only reads the buffer; its prototype lacks the const.
    const bool ok = keep(WinUsb_WritePipe(handle, pipe, const_cast<std::uint8_t*>(buffer), length,
                                          &n, nullptr));
    *transferred = ok ? n : 0;
    return ok;
}

std::uint32_t plat_get_last_error() { return GetLastError(); }

plat_devinfo plat_setupdi_get_hid_class_devs()
{
    const last_error_kept keep;
    HDEVINFO list = SetupDiGetClassDevsA(&HID_INTERFACE_CLASS, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (!keep(list != INVALID_HANDLE_VALUE))
        return nullptr;
    return list;
}

bool plat_setupdi_enum_device_interfaces(plat_devinfo list, std::uint32_t index,
                                         plat_device_interface* out)
{
    const last_error_kept keep;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!keep(SetupDiEnumDeviceInterfaces(list, nullptr, &HID_INTERFACE_CLASS, index, &data)))
        return false;
    *out = plat_device_interface{};
    std::memcpy(out, &data, sizeof data);
    return true;
}

bool plat_setupdi_get_device_interface_detail(plat_devinfo list,
                                              const plat_device_interface* iface, char* path,
                                              std::uint32_t path_size,
                                              std::uint32_t* required_size)
{
    const last_error_kept keep;
    SP_DEVICE_INTERFACE_DATA data = interface_data_of(iface);
    constexpr DWORD PATH_OFFSET = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    DWORD required = 0;
    if (!path || path_size == 0) {
        // Size query: Windows fails it with ERROR_INSUFFICIENT_BUFFER and
        // reports the size of the whole detail record.
        SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &required, nullptr);
        if (required_size)
            *required_size = required > PATH_OFFSET ? required - PATH_OFFSET : 0;
        return false;
    }
    // The detail record is the size field followed by the path; the seam
    // hands out the path alone.
    const DWORD record_size = PATH_OFFSET + path_size;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::calloc(1, record_size));
    if (!detail) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    const BOOL ok = SetupDiGetDeviceInterfaceDetailA(list, &data, detail, record_size, &required,
                                                     nullptr);
    const DWORD error = GetLastError();
    if (ok) {
        std::memcpy(path, detail->DevicePath, path_size);
        path[path_size - 1] = '\0';
    }
    std::free(detail);
    SetLastError(error);  // free may have touched it
    if (required_size)
        *required_size = required > PATH_OFFSET ? required - PATH_OFFSET : 0;
    return keep(ok);
}

bool plat_setupdi_destroy_device_info_list(plat_devinfo list)
{
    const last_error_kept keep;
    return keep(SetupDiDestroyDeviceInfoList(list));
}

bool plat_hidd_get_attributes(plat_handle handle, plat_hid_attributes* out)
{
    const last_error_kept keep;
    HIDD_ATTRIBUTES a{};
    a.Size = sizeof a;
    if (!keep(HidD_GetAttributes(handle, &a)))
        return false;
    *out = plat_hid_attributes{a.VendorID, a.ProductID, a.VersionNumber};
    return true;
}

bool plat_hidd_get_preparsed_data(plat_handle handle, plat_preparsed* out)
{
    const last_error_kept keep;
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!keep(HidD_GetPreparsedData(handle, &data)))
        return false;
    *out = data;
    return true;
}

bool plat_hidd_free_preparsed_data(plat_preparsed data)
{
    const last_error_kept keep;
    return keep(HidD_FreePreparsedData(static_cast<PHIDP_PREPARSED_DATA>(data)));
}

std::int32_t plat_hidp_get_caps(plat_preparsed data, plat_hid_caps* out)
{
    HIDP_CAPS caps{};
    const NTSTATUS status = HidP_GetCaps(static_cast<PHIDP_PREPARSED_DATA>(data), &caps);
    if (status == HIDP_STATUS_SUCCESS)
        *out = plat_hid_caps{caps.Usage, caps.UsagePage, caps.InputReportByteLength,
                             caps.OutputReportByteLength, caps.FeatureReportByteLength};
    return status;
}

bool plat_hidd_get_feature(plat_handle handle, std::uint8_t* buffer, std::uint32_t length)
{
    const last_error_kept keep;
    return keep(HidD_GetFeature(handle, buffer, length));
}

bool plat_hidd_set_feature(plat_handle handle, const std::uint8_t* buffer, std::uint32_t length)
{
    const last_error_kept keep;
    // HidD_SetFeature only reads the report; its prototype lacks the const.
    return keep(HidD_SetFeature(handle, const_cast<std::uint8_t*>(buffer), length));
}

bool plat_hidd_get_serial_number_string(plat_handle handle, std::uint16_t* buffer,
                                        std::uint32_t size)
{
    const last_error_kept keep;
    return keep(HidD_GetSerialNumberString(handle, buffer, size));
}

bool plat_hidd_get_product_string(plat_handle handle, std::uint16_t* buffer, std::uint32_t size)
{
    const last_error_kept keep;
    return keep(HidD_GetProductString(handle, buffer, size));
}

void plat_sleep(std::uint32_t ms) { Sleep(ms); }

std::uint64_t plat_tick_count_ms() { return GetTickCount64(); }

plat_handle plat_get_std_input_handle()
{
    const last_error_kept keep;
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    keep(h != INVALID_HANDLE_VALUE);
    return h;
}

bool plat_get_console_mode(plat_handle console, std::uint32_t* mode)
{
    const last_error_kept keep;
    DWORD m = 0;
    if (!keep(GetConsoleMode(console, &m)))
        return false;
    *mode = m;
    return true;
}

bool plat_set_console_mode(plat_handle console, std::uint32_t mode)
{
    const last_error_kept keep;
    return keep(SetConsoleMode(console, mode));
}
