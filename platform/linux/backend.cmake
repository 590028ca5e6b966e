# The Linux backend: the seam over libusb-1.0 and hidraw.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)

add_library(ft_platform_native STATIC ${CMAKE_SOURCE_DIR}/platform/linux/platform_linux.cpp)
target_include_directories(ft_platform_native PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(ft_platform_native PUBLIC PkgConfig::LIBUSB)

# Gives the logged-in user access to the maker's devices. udev reads
# /usr/lib/udev/rules.d and /etc/udev/rules.d only: with a prefix other than
# /usr, point this at /etc/udev/rules.d.
set(FLASH_TOOL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where cmake --install puts the udev rule")
install(FILES ${CMAKE_SOURCE_DIR}/udev/70-flash-tool.rules DESTINATION ${FLASH_TOOL_UDEV_RULES_DIR})
