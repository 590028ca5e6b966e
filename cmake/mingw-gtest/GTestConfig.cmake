# GoogleTest for the Windows cross build, compiled from the sources Debian's
# libgtest-dev ships (there is no mingw-w64 build of it to link against).
# Found through GTest_DIR; provides the targets find_package(GTest) gives.
if(NOT TARGET GTest::gtest)
  set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  if(NOT EXISTS ${GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${GTEST_SOURCE_DIR} (install libgtest-dev)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  # GoogleTest is not ours to hold to -Werror.
  add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(t gtest gtest_main gmock gmock_main)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -Wno-error)
      if(NOT TARGET GTest::${t})
        add_library(GTest::${t} ALIAS ${t})
      endif()
    endif()
  endforeach()
endif()
set(GTest_FOUND TRUE)
