# What both mingw-w64 toolchain files share: Debian's cross-compilers of the win32 thread
# model for the processor that the including file names in MINGW_W64_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_W64_PROCESSOR})

set(CMAKE_C_COMPILER ${MINGW_W64_PROCESSOR}-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER ${MINGW_W64_PROCESSOR}-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER ${MINGW_W64_PROCESSOR}-w64-mingw32-windres)

# Headers and libraries from the target's sysroot only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_W64_PROCESSOR}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
