# What the MinGW-w64 toolchain files share: Debian's cross compilers (POSIX
# threads) for ZVT_MINGW_TRIPLE, their own root for libraries and headers,
# and Wine to run what they build. Set ZVT_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZVT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZVT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZVT_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZVT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
