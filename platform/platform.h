// The platform seam: one small function per operating-system service that
// flash-tool uses, each with the semantics of the Windows call it mirrors.
// Everything above this header is written once; a backend (win32, sim, ...)
// is chosen at link time by linking exactly one implementation of it.
#pragma once

#include <cstdint>

using plat_handle = void*;       // a file handle (CreateFileA, GetStdHandle)
using plat_winusb = void*;       // a WinUSB interface handle
using plat_devinfo = void*;      // a device information list (SetupDi)
using plat_preparsed = void*;    // parsed HID report descriptor

// CreateFileA's INVALID_HANDLE_VALUE.
inline plat_handle const PLAT_INVALID_HANDLE = reinterpret_cast<plat_handle>(~std::uintptr_t{0});

// Values of the Windows constants the callers pass through unchanged.
constexpr std::uint32_t PLAT_GENERIC_READ = 0x80000000u;
constexpr std::uint32_t PLAT_GENERIC_WRITE = 0x40000000u;
constexpr std::uint32_t PLAT_FILE_SHARE_READ = 0x1u;
constexpr std::uint32_t PLAT_FILE_SHARE_WRITE = 0x2u;
constexpr std::uint32_t PLAT_FILE_FLAG_OVERLAPPED = 0x40000000u;

// Last-error codes the program looks at or the backends report.
constexpr std::uint32_t PLAT_ERROR_FILE_NOT_FOUND = 2;
constexpr std::uint32_t PLAT_ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr std::uint32_t PLAT_ERROR_BAD_COMMAND = 22;
constexpr std::uint32_t PLAT_ERROR_GEN_FAILURE = 31;
constexpr std::uint32_t PLAT_ERROR_INVALID_PARAMETER = 87;
constexpr std::uint32_t PLAT_ERROR_INSUFFICIENT_BUFFER = 122;
constexpr std::uint32_t PLAT_ERROR_SEM_TIMEOUT = 121;
constexpr std::uint32_t PLAT_ERROR_NO_MORE_ITEMS = 259;
constexpr std::uint32_t PLAT_ERROR_DEVICE_NOT_CONNECTED = 1167;

constexpr std::uint8_t PLAT_USB_PIPE_CONTROL = 0;
constexpr std::uint8_t PLAT_USB_PIPE_ISOCHRONOUS = 1;
constexpr std::uint8_t PLAT_USB_PIPE_BULK = 2;
constexpr std::uint8_t PLAT_USB_PIPE_INTERRUPT = 3;

constexpr std::int32_t PLAT_HIDP_STATUS_SUCCESS = 0x00110000;

// USB_INTERFACE_DESCRIPTOR as WinUsb_QueryInterfaceSettings fills it.
struct plat_interface_descriptor {
    std::uint8_t length;
    std::uint8_t descriptor_type;
    std::uint8_t interface_number;
    std::uint8_t alternate_setting;
    std::uint8_t num_endpoints;
    std::uint8_t interface_class;
    std::uint8_t interface_subclass;
    std::uint8_t interface_protocol;
    std::uint8_t interface_string;
};

// WINUSB_PIPE_INFORMATION.
struct plat_pipe_information {
    std::uint8_t pipe_type;
    std::uint8_t pipe_id;
    std::uint16_t maximum_packet_size;
    std::uint8_t interval;
};

// HIDD_ATTRIBUTES.
struct plat_hid_attributes {
    std::uint16_t vendor_id;
    std::uint16_t product_id;
    std::uint16_t version_number;
};

// The fields of HIDP_CAPS that anyone reads.
struct plat_hid_caps {
    std::uint16_t usage;
    std::uint16_t usage_page;
    std::uint16_t input_report_byte_length;
    std::uint16_t output_report_byte_length;
    std::uint16_t feature_report_byte_length;
};

// SP_DEVICE_INTERFACE_DATA, kept opaque above the seam.
struct plat_device_interface {
    std::uintptr_t opaque[4];
};

// QueryDosDeviceA(NULL, buffer, size): every MS-DOS device name, each ended
// by a NUL. Returns the number of characters stored, 0 on failure (which
// includes a list that does not fit).
std::uint32_t plat_query_dos_device(char* buffer, std::uint32_t size);

// CreateFileA(path, access, share, NULL, OPEN_EXISTING, flags, NULL).
plat_handle plat_create_file(const char* path, std::uint32_t access, std::uint32_t share,
                             std::uint32_t flags);
bool plat_close_handle(plat_handle handle);

bool plat_winusb_initialize(plat_handle file, plat_winusb* out);
bool plat_winusb_free(plat_winusb handle);
bool plat_winusb_get_descriptor(plat_winusb handle, std::uint8_t type, std::uint8_t index,
                                std::uint16_t language, std::uint8_t* buffer,
                                std::uint32_t length, std::uint32_t* transferred);
bool plat_winusb_query_interface_settings(plat_winusb handle, std::uint8_t alternate,
                                          plat_interface_descriptor* out);
bool plat_winusb_query_pipe(plat_winusb handle, std::uint8_t alternate, std::uint8_t index,
                            plat_pipe_information* out);
// setup: the 8-byte setup packet as it goes on the wire.
bool plat_winusb_control_transfer(plat_winusb handle, const std::uint8_t setup[8],
                                  std::uint8_t* buffer, std::uint32_t length,
                                  std::uint32_t* transferred);
bool plat_winusb_read_pipe(plat_winusb handle, std::uint8_t pipe, std::uint8_t* buffer,
                           std::uint32_t length, std::uint32_t* transferred);
bool plat_winusb_write_pipe(plat_winusb handle, std::uint8_t pipe, const std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t* transferred);

// GetLastError: the calling thread's last-error code, untouched by every
// successful seam call.
std::uint32_t plat_get_last_error();

// SetupDiGetClassDevsA(&GUID_DEVINTERFACE_HID, NULL, NULL,
// DIGCF_PRESENT | DIGCF_DEVICEINTERFACE). Null on failure.
plat_devinfo plat_setupdi_get_hid_class_devs();
// SetupDiEnumDeviceInterfaces(list, NULL, &GUID_DEVINTERFACE_HID, index, out).
bool plat_setupdi_enum_device_interfaces(plat_devinfo list, std::uint32_t index,
                                         plat_device_interface* out);
// SetupDiGetDeviceInterfaceDetailA, reduced to its device path: with a null
// path it fails with ERROR_INSUFFICIENT_BUFFER and stores the room the path
// needs (NUL included); with room enough it stores the path.
bool plat_setupdi_get_device_interface_detail(plat_devinfo list,
                                              const plat_device_interface* iface, char* path,
                                              std::uint32_t path_size,
                                              std::uint32_t* required_size);
bool plat_setupdi_destroy_device_info_list(plat_devinfo list);

bool plat_hidd_get_attributes(plat_handle handle, plat_hid_attributes* out);
bool plat_hidd_get_preparsed_data(plat_handle handle, plat_preparsed* out);
bool plat_hidd_free_preparsed_data(plat_preparsed data);
std::int32_t plat_hidp_get_caps(plat_preparsed data, plat_hid_caps* out);
bool plat_hidd_get_feature(plat_handle handle, std::uint8_t* buffer, std::uint32_t length);
bool plat_hidd_set_feature(plat_handle handle, const std::uint8_t* buffer, std::uint32_t length);
// HidD_GetSerialNumberString / HidD_GetProductString: UTF-16 text, NUL-ended
// when it fits; size is in bytes.
bool plat_hidd_get_serial_number_string(plat_handle handle, std::uint16_t* buffer,
                                        std::uint32_t size);
bool plat_hidd_get_product_string(plat_handle handle, std::uint16_t* buffer,
                                  std::uint32_t size);

// Sleep(ms).
void plat_sleep(std::uint32_t ms);
// GetTickCount64: milliseconds of a monotonic clock.
std::uint64_t plat_tick_count_ms();

// GetStdHandle(STD_INPUT_HANDLE), GetConsoleMode, SetConsoleMode.
plat_handle plat_get_std_input_handle();
bool plat_get_console_mode(plat_handle console, std::uint32_t* mode);
bool plat_set_console_mode(plat_handle console, std::uint32_t mode);
