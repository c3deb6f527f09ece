# Cross-compiles for 32-bit Windows (x86) with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARVEL_TARGET_BITS 32)
set(TARVEL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
