# Cross-compiles for Windows with mingw-w64 (POSIX thread model); programs
# built for the target run under wine.  Included by the toolchain file of
# each processor, which sets TARVEL_MINGW_TRIPLE, TARVEL_TARGET_BITS and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TARVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL beyond the system's own: the C++ runtime, libgcc and winpthreads
# are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs (and GoogleTest's discovery of their tests) run under wine,
# through a script of the build tree that gives them its own prefix and
# picks the loader that fits each program.
set(TARVEL_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(TARVEL_WINE_RUNNER "${CMAKE_BINARY_DIR}/run-under-wine")
configure_file(${CMAKE_CURRENT_LIST_DIR}/run-under-wine.in ${TARVEL_WINE_RUNNER} @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVEL_WINE_RUNNER})
