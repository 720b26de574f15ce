# The Windows build (included from the top-level CMakeLists.txt when cross-compiling for
# Windows): the core with the Win32 platform layer as odd-fwupdate.exe, and the test-only
# ASPI layer WNASPI32.DLL built around the virtual drive. No tests and no Linux targets here:
# the Windows build is checked under wine (tests/win32).

file(GLOB ODD_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)
add_library(odd_platform_win32 STATIC ${ODD_WIN32_SOURCES})
target_include_directories(odd_platform_win32 PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(odd_platform_win32 PUBLIC winmm)

# Static: the exe needs no DLL of the compiler's.
add_executable(odd-fwupdate ${CMAKE_SOURCE_DIR}/src/run/main.cpp)
target_link_libraries(odd-fwupdate PRIVATE odd_core odd_platform_win32)
target_link_options(odd-fwupdate PRIVATE -static)

# The ASPI layer for the wine tests: exports 1 and 2 by ordinal, one virtual drive.
option(ODD_WIN32_TEST_ASPI "Build the test-only WNASPI32.DLL" ON)
if(ODD_WIN32_TEST_ASPI)
  add_library(wnaspi32 SHARED
    ${CMAKE_SOURCE_DIR}/sim/wnaspi32/wnaspi32.cpp
    ${CMAKE_SOURCE_DIR}/sim/wnaspi32/wnaspi32.def
    ${CMAKE_SOURCE_DIR}/sim/virtual_drive.cpp
    ${CMAKE_SOURCE_DIR}/sim/virtual_drive_legacy.cpp)
  target_include_directories(wnaspi32 PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/sim
                             ${CMAKE_SOURCE_DIR}/sim/wnaspi32)
  set_target_properties(wnaspi32 PROPERTIES PREFIX "" OUTPUT_NAME WNASPI32 SUFFIX .DLL)
  target_link_options(wnaspi32 PRIVATE -static)
endif()
