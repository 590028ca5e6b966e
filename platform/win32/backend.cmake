# The win32 backend: the seam on the Windows API, for the real flash-tool.exe.
# Import libraries come from the toolchain (mingw-w64 ships winusb, setupapi
# and hid); the DLLs behind them are part of every Windows installation.
add_library(ft_platform_native STATIC ${CMAKE_CURRENT_LIST_DIR}/platform_win32.cpp)
target_include_directories(ft_platform_native PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(ft_platform_native PUBLIC winusb setupapi hid)
