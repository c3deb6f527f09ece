# Cross-compiles for 64-bit Windows (x86-64) with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARVEL_TARGET_BITS 64)
set(TARVEL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
