# Cross-compiling tarnhop for Windows (x86_64) with mingw-w64 on Debian
# (g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARNHOP_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNHOP_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TARNHOP_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TARNHOP_MINGW_PREFIX}-windres)

# Libraries and headers come from the cross environment only; programs run at build
# time (gzip and friends) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TARNHOP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
