# Cross-build for 32-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-i686-win32):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
#   cmake --build build-win
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ODD_MINGW_PREFIX i686-w64-mingw32)
# The win32 thread model: the program needs no std::thread and no winpthread DLL.
find_program(CMAKE_CXX_COMPILER NAMES ${ODD_MINGW_PREFIX}-g++-win32 ${ODD_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${ODD_MINGW_PREFIX}-gcc-win32 ${ODD_MINGW_PREFIX}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${ODD_MINGW_PREFIX}-windres)
find_program(ODD_MINGW_OBJDUMP NAMES ${ODD_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${ODD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
