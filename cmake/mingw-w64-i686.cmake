# Cross build for 32-bit Windows (x86), for the 32-bit programs that can load
# only a 32-bit DLL, with Debian's MinGW-w64 (POSIX threads):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(ZVT_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
