# Cross build for 64-bit Windows with Debian's mingw-w64 (packages g++-mingw-w64-x86-64-posix and
# mingw-w64-tools). The posix flavour of the compiler is the one with std::thread and std::mutex.
#
#   cmake --preset mingw          (or -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake)
#
# The programs are linked statically against libgcc, libstdc++ and winpthread, so that a .exe runs
# on a bare Windows or under Wine without any of the compiler's DLLs beside it. When Wine is
# installed it is the emulator of the build: the build-time tools (the synthetic firmware set),
# test discovery and ctest run the .exe files through it, in a Wine prefix of the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELLAN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELLAN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELLAN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PELLAN_MINGW_TRIPLE}-windres)
set(CMAKE_ASM_COMPILER ${PELLAN_MINGW_TRIPLE}-gcc-posix)

# Headers and libraries of the target come from the mingw sysroot only; programs run on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PELLAN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine as the emulator: a prefix of the build's own (made on first use), no debug chatter.
# wine64 is called directly: Debian's wine wrapper warns about a missing wine32 on every run.
find_program(PELLAN_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT PELLAN_WINE)
    find_program(PELLAN_WINE NAMES wine64 wine)
endif()
if(PELLAN_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        "${CMAKE_COMMAND};-E;env;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;WINEDEBUG=-all;${PELLAN_WINE}")
endif()
