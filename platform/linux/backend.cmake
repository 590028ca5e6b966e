# The Linux backend: the seam over libusb-1.0 and hidraw.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)

add_library(ft_platform_native STATIC ${CMAKE_SOURCE_DIR}/platform/linux/platform_linux.cpp)
target_include_directories(ft_platform_native PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(ft_platform_native PUBLIC PkgConfig::LIBUSB)

# Gives the logged-in user access to the maker's devices.
install(FILES ${CMAKE_SOURCE_DIR}/udev/70-flash-tool.rules DESTINATION lib/udev/rules.d)
