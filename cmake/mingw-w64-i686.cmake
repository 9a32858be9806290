# Cross-compiles for 32-bit Windows (package g++-mingw-w64-i686-win32).
set(MINGW_W64_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
