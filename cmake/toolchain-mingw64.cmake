# Cross-compiles 64-bit Windows binaries with the posix-thread MinGW-w64 compilers
# (the win32-thread variant lacks std::thread, std::call_once and std::future).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NUV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${NUV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NUV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${NUV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${NUV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
