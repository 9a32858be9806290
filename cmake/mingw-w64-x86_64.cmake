# Cross-compiles for 64-bit Windows (package g++-mingw-w64-x86-64-win32).
set(MINGW_W64_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
