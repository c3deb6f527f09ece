# Cross-compiles for 32-bit Windows with mingw-w64 (POSIX thread model);
# programs built for the target run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL beyond the system's own: the C++ runtime, libgcc and winpthreads
# are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs (and GoogleTest's discovery of their tests) run under wine,
# through a script of the build tree that gives them its own prefix.
set(TARVEL_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(TARVEL_WINE_RUNNER "${CMAKE_BINARY_DIR}/run-under-wine")
configure_file(${CMAKE_CURRENT_LIST_DIR}/run-under-wine.in ${TARVEL_WINE_RUNNER} @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVEL_WINE_RUNNER})
