# End-to-end tests of the Linux backend under umockdev: the simulated
# controllers behind an emulated sysfs and device nodes, reached through
# real libusb and hidraw calls, both from the seam and from flash-tool.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UMOCKDEV QUIET IMPORTED_TARGET umockdev-1.0)
find_program(UMOCKDEV_WRAPPER umockdev-wrapper)
if(NOT UMOCKDEV_FOUND OR NOT UMOCKDEV_WRAPPER)
  message(STATUS "umockdev not found: the Linux end-to-end tests are not built (scripts/install-deps.sh linux)")
  return()
endif()

find_package(GTest REQUIRED)
# The controllers without the sim backend of the seam: this binary talks
# to them through the Linux backend.
file(GLOB FT_UMOCKDEV_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
list(REMOVE_ITEM FT_UMOCKDEV_SIM_SOURCES ${CMAKE_SOURCE_DIR}/sim/sim_main.cpp)
add_executable(ft_umockdev_tests
  ${CMAKE_SOURCE_DIR}/tests/umockdev/test_umockdev.cpp
  ${CMAKE_SOURCE_DIR}/tests/umockdev/umockdev_bed.cpp
  ${FT_UMOCKDEV_SIM_SOURCES})
target_include_directories(ft_umockdev_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(ft_umockdev_tests PRIVATE ft_core ft_platform_native PkgConfig::UMOCKDEV
  GTest::gtest GTest::gtest_main)
target_compile_definitions(ft_umockdev_tests PRIVATE
  FLASH_TOOL="$<TARGET_FILE:flash-tool>"
  FLASH_TOOL_SIM="$<TARGET_FILE:flash-tool-sim>"
  BUILTIN_IMAGE_FILE="${BUILTIN_IMAGE_FILE}")
add_dependencies(ft_umockdev_tests flash-tool flash-tool-sim)
# The whole binary runs under umockdev's preload library: the testbed needs
# it, and flash-tool inherits it with the testbed's location.
add_test(NAME linux_umockdev COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:ft_umockdev_tests>)
set_tests_properties(linux_umockdev PROPERTIES TIMEOUT 600)
if(FLASH_TOOL_SANITIZE)
  # The preload library comes before the sanitizer runtime; that is fine here.
  set_tests_properties(linux_umockdev PROPERTIES ENVIRONMENT "ASAN_OPTIONS=verify_asan_link_order=0")
endif()
